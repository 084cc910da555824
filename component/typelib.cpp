#include "component/typelib.h"

#include <sstream>

#include "platform/registry.h"

namespace zevo::com {

namespace {

// Splits a line into words; a double-quoted word keeps its blanks.
bool Tokens(const std::string& line, std::vector<std::string>* words) {
    size_t i = 0;
    while (i < line.size()) {
        if (line[i] == ' ' || line[i] == '\t') {
            ++i;
        } else if (line[i] == '"') {
            const size_t end = line.find('"', i + 1);
            if (end == std::string::npos) return false;
            words->push_back(line.substr(i + 1, end - i - 1));
            i = end + 1;
        } else {
            size_t end = i;
            while (end < line.size() && line[end] != ' ' && line[end] != '\t') ++end;
            words->push_back(line.substr(i, end - i));
            i = end;
        }
    }
    return true;
}

bool ParseType(const std::string& word, VarType* type) {
    if (word == "BSTR")
        *type = VT_BSTR;
    else if (word == "long")
        *type = VT_I4;
    else if (word == "short")
        *type = VT_I2;
    else if (word == "VARIANT_BOOL")
        *type = VT_BOOL;
    else
        return false;
    return true;
}

bool HasFlag(const std::vector<std::string>& words, size_t from, const char* flag) {
    for (size_t i = from; i < words.size(); ++i) {
        if (words[i] == flag) return true;
    }
    return false;
}

}  // namespace

const char* TypeName(VarType type) {
    switch (type) {
        case VT_BSTR:
            return "BSTR";
        case VT_I4:
            return "long";
        case VT_I2:
            return "short";
        case VT_BOOL:
            return "VARIANT_BOOL";
        default:
            return "void";
    }
}

const TypeMember* TypeInterface::FindName(const std::string& wanted) const {
    for (const TypeMember& m : members) {
        if (RegNamesEqual(m.name.c_str(), wanted.c_str())) return &m;
    }
    return nullptr;
}

const TypeMember* TypeInterface::FindId(DISPID id) const {
    for (const TypeMember& m : members) {
        if (m.id == id) return &m;
    }
    return nullptr;
}

const TypeInterface* TypeLib::FindInterface(const std::string& wanted) const {
    for (const TypeInterface& i : interfaces) {
        if (i.name == wanted) return &i;
    }
    return nullptr;
}

const TypeCoClass* TypeLib::FindCoClass(const GUID& clsid) const {
    for (const TypeCoClass& c : coclasses) {
        if (c.clsid == clsid) return &c;
    }
    return nullptr;
}

const TypeInterface* TypeLib::DefaultInterface(const GUID& clsid) const {
    const TypeCoClass* coclass = FindCoClass(clsid);
    return coclass ? FindInterface(coclass->defaultInterface) : nullptr;
}

bool ParseTypeLib(const std::string& text, TypeLib* lib, std::string* error) {
    *lib = TypeLib();
    std::istringstream in(text);
    std::string line;
    int lineNumber = 0;
    enum class Block { None, Library, Interface, CoClass } block = Block::None;
    bool sawLibrary = false;
    auto fail = [&](const std::string& why) {
        if (error) *error = "line " + std::to_string(lineNumber) + ": " + why;
        return false;
    };
    while (std::getline(in, line)) {
        ++lineNumber;
        std::vector<std::string> w;
        if (!Tokens(line, &w)) return fail("unterminated string");
        if (w.empty() || w[0][0] == '#') continue;
        const std::string& keyword = w[0];
        if (keyword == "library") {
            if (sawLibrary || w.size() < 4) return fail("bad library statement");
            int major = 0, minor = 0;
            char dot = 0;
            std::istringstream version(w[3]);
            if (!GuidFromString(w[2], &lib->libid) || !(version >> major >> dot >> minor) ||
                dot != '.') {
                return fail("bad library id or version");
            }
            lib->name = w[1];
            lib->major = major;
            lib->minor = minor;
            lib->control = HasFlag(w, 4, "control");
            sawLibrary = true;
            block = Block::Library;
        } else if (keyword == "dispinterface") {
            if (!sawLibrary || w.size() < 3) return fail("bad dispinterface statement");
            TypeInterface itf;
            if (!GuidFromString(w[2], &itf.iid)) return fail("bad interface id");
            itf.name = w[1];
            itf.hidden = HasFlag(w, 3, "hidden");
            lib->interfaces.push_back(itf);
            block = Block::Interface;
        } else if (keyword == "coclass") {
            if (!sawLibrary || w.size() < 3) return fail("bad coclass statement");
            TypeCoClass coclass;
            if (!GuidFromString(w[2], &coclass.clsid)) return fail("bad class id");
            coclass.name = w[1];
            coclass.creatable = HasFlag(w, 3, "creatable");
            coclass.control = HasFlag(w, 3, "control");
            lib->coclasses.push_back(coclass);
            block = Block::CoClass;
        } else if (keyword == "end") {
            if (block != Block::Interface && block != Block::CoClass)
                return fail("end outside a block");
            block = Block::Library;
        } else if (keyword == "helpstring" && w.size() == 2) {
            if (block == Block::Library)
                lib->helpString = w[1];
            else if (block == Block::Interface)
                lib->interfaces.back().helpString = w[1];
            else if (block == Block::CoClass)
                lib->coclasses.back().helpString = w[1];
            else
                return fail("helpstring outside a block");
        } else if ((keyword == "helpfile" || keyword == "importlib") && w.size() == 2 &&
                   block == Block::Library) {
            (keyword == "helpfile" ? lib->helpFile : lib->importLib) = w[1];
        } else if ((keyword == "property" || keyword == "method") && block == Block::Interface) {
            TypeMember member;
            const bool property = keyword == "property";
            if (w.size() < 4 || (property && w.size() != 4) || (!property && (w.size() % 2) != 0)) {
                return fail("bad member statement");
            }
            try {
                member.id = std::stoi(w[1]);
            } catch (...) {
                return fail("bad member id");
            }
            member.name = w[2];
            member.kind = property ? TypeMember::Kind::Property : TypeMember::Kind::Method;
            if (!ParseType(w[3], &member.type)) return fail("unknown type " + w[3]);
            for (size_t i = 4; i + 1 < w.size(); i += 2) {
                TypeParam param;
                if (!ParseType(w[i], &param.type)) return fail("unknown type " + w[i]);
                param.name = w[i + 1];
                member.params.push_back(param);
            }
            TypeInterface& itf = lib->interfaces.back();
            if (itf.FindId(member.id) || itf.FindName(member.name)) return fail("duplicate member");
            itf.members.push_back(member);
        } else if ((keyword == "default" || keyword == "source") && w.size() == 2 &&
                   block == Block::CoClass) {
            (keyword == "default" ? lib->coclasses.back().defaultInterface
                                  : lib->coclasses.back().defaultSource) = w[1];
        } else {
            return fail("unknown statement " + keyword);
        }
    }
    if (!sawLibrary) return fail("no library statement");
    if (block != Block::Library) return fail("block not ended");
    return true;
}

}  // namespace zevo::com
