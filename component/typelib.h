#pragma once
// Type libraries: the description of a module's classes and dispatch interfaces that
// containers read to resolve member names, ids, kinds and types without the module's
// code. A module carries its library as a TYPELIB resource (see resources.h) in this
// text format, one statement per line, `#` starting a comment line:
//
//   library NAME {LIBID} MAJOR.MINOR [control]
//     helpstring "TEXT"
//     helpfile "FILE"
//     importlib "FILE"
//   dispinterface NAME {IID} [hidden]
//     helpstring "TEXT"
//     property ID NAME TYPE
//     method ID NAME RESULT-TYPE [PARAM-TYPE PARAM-NAME]...
//   end
//   coclass NAME {CLSID} [creatable] [control]
//     helpstring "TEXT"
//     default INTERFACE
//     source INTERFACE
//   end
//
// Types: BSTR, long, short, VARIANT_BOOL. A property is read/write. Ids are unique per
// interface, names unique without regard to case.
#include <string>
#include <vector>

#include "component/com.h"

namespace zevo::com {

struct TypeParam {
    VarType type = VT_EMPTY;
    std::string name;
};

struct TypeMember {
    enum class Kind { Property, Method };
    DISPID id = 0;
    std::string name;
    Kind kind = Kind::Method;
    VarType type = VT_EMPTY;  // the property's or the method's result type
    std::vector<TypeParam> params;
};

struct TypeInterface {
    std::string name;
    GUID iid;
    bool hidden = false;
    std::string helpString;
    std::vector<TypeMember> members;

    const TypeMember* FindName(const std::string& name) const;
    const TypeMember* FindId(DISPID id) const;
};

struct TypeCoClass {
    std::string name;
    GUID clsid;
    bool creatable = false;
    bool control = false;
    std::string helpString;
    std::string defaultInterface;
    std::string defaultSource;
};

struct TypeLib {
    std::string name;
    GUID libid;
    int major = 0;
    int minor = 0;
    bool control = false;
    std::string helpString;
    std::string helpFile;
    std::string importLib;
    std::vector<TypeInterface> interfaces;
    std::vector<TypeCoClass> coclasses;

    const TypeInterface* FindInterface(const std::string& name) const;
    const TypeCoClass* FindCoClass(const GUID& clsid) const;
    // The default dispatch interface of the class, or null.
    const TypeInterface* DefaultInterface(const GUID& clsid) const;
};

// False with a message naming the line for text that is not a library.
bool ParseTypeLib(const std::string& text, TypeLib* lib, std::string* error);

// The type's name in the format ("BSTR", "long", ...).
const char* TypeName(VarType type);

}  // namespace zevo::com
