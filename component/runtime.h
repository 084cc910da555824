#pragma once
// The container's side of the component model: classes are found by ProgID and class id
// in the per-user hive under Software\Classes, their module is loaded by the path the
// hive names, and the module's class factory creates the object. Type libraries are
// found the same way and read from the module file without running it.
#include <string>

#include "component/com.h"
#include "component/typelib.h"

namespace zevo::com {

// Where registrations live, under the current user's root.
constexpr const char* kClassesKey = "Software\\Classes";

// A module loaded by path, with its four entry points. Modules stay loaded for the
// life of the process: what they create may have handed out code the process still runs.
struct Module {
    std::string path;
    void* handle = nullptr;
    DllRegisterServerFn registerServer = nullptr;
    DllUnregisterServerFn unregisterServer = nullptr;
    DllGetClassObjectFn getClassObject = nullptr;
    DllCanUnloadNowFn canUnloadNow = nullptr;
};

// Loads (or finds already loaded) the module at path. CO_E_DLLNOTFOUND when it cannot be
// loaded, CO_E_ERRORINDLL when an entry point is missing; error says why.
HRESULT LoadModule(const std::string& path, Module* module, std::string* error);

// The class id registered for a ProgID; REGDB_E_CLASSNOTREG when there is none.
HRESULT CLSIDFromProgID(const std::string& progId, GUID* clsid);
// The module path registered for a class (InprocServer32); REGDB_E_CLASSNOTREG.
HRESULT InprocServerPath(const GUID& clsid, std::string* path);

HRESULT CoGetClassObject(const GUID& clsid, const GUID& iid, void** object);
HRESULT CoCreateInstance(const GUID& clsid, IUnknown* outer, const GUID& iid, void** object);

// Reads the registered type library MAJOR.MINOR from the file its registration names;
// TYPE_E_LIBNOTREGISTERED, TYPE_E_CANTLOADLIBRARY.
HRESULT LoadRegTypeLib(const GUID& libid, int major, int minor, TypeLib* lib);
// Reads the TYPELIB 1 resource of a module file.
HRESULT LoadTypeLibFromModule(const std::string& path, TypeLib* lib, std::string* error);

// Text of an HRESULT for messages: the known names, else hex.
std::string HResultText(HRESULT hr);

}  // namespace zevo::com
