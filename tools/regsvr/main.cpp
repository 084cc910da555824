// zevo-regsvr: registers a component module in the current user's hive, or removes its
// registration, by calling the module's own entry point; --info prints the module's
// version block and type library from the file without running it.
//
// Exit codes: 0 done, 1 usage, 2 the module cannot be loaded or read, 3 it is not a
// component module, 4 its entry point reported a failure.
#include <cstdio>
#include <cstring>
#include <string>

#include "component/resources.h"
#include "component/runtime.h"

using namespace zevo::com;

namespace {

const char kUsage[] =
    "usage: zevo-regsvr MODULE        register the module's classes\n"
    "       zevo-regsvr -u MODULE     remove its registration\n"
    "       zevo-regsvr --info MODULE print its version block and type library\n"
    "       zevo-regsvr --help | --version\n";

int Usage() {
    std::fputs(kUsage, stderr);
    return 1;
}

int Info(const std::string& path) {
    ModuleResources resources;
    std::string error;
    if (!ReadModuleResources(path, &resources, &error)) {
        std::fprintf(stderr, "zevo-regsvr: %s\n", error.c_str());
        return 2;
    }
    if (const std::string* version = resources.Find("VERSION", 1)) {
        std::printf("[VERSION 1]\n%s\n", version->c_str());
    }
    TypeLib lib;
    if (FAILED(LoadTypeLibFromModule(path, &lib, &error))) {
        std::fprintf(stderr, "zevo-regsvr: %s\n", error.c_str());
        return 2;
    }
    std::printf("[TYPELIB 1]\nlibrary %s %s %d.%d \"%s\"\n", lib.name.c_str(),
                GuidToString(lib.libid).c_str(), lib.major, lib.minor, lib.helpString.c_str());
    for (const TypeInterface& itf : lib.interfaces) {
        std::printf("dispinterface %s %s%s\n", itf.name.c_str(), GuidToString(itf.iid).c_str(),
                    itf.hidden ? " hidden" : "");
        for (const TypeMember& m : itf.members) {
            std::printf("  %d %s %s %s", m.id, m.name.c_str(),
                        m.kind == TypeMember::Kind::Property ? "property" : "method",
                        TypeName(m.type));
            for (const TypeParam& p : m.params)
                std::printf(" %s %s", TypeName(p.type), p.name.c_str());
            std::printf("\n");
        }
    }
    for (const TypeCoClass& c : lib.coclasses) {
        std::printf("coclass %s %s default %s source %s\n", c.name.c_str(),
                    GuidToString(c.clsid).c_str(), c.defaultInterface.c_str(),
                    c.defaultSource.c_str());
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    bool unregister = false;
    bool info = false;
    std::string path;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            std::fputs(kUsage, stdout);
            return 0;
        }
        if (std::strcmp(argv[i], "--version") == 0) {
            std::printf("zevo-regsvr %s\n", ZEVO_VERSION);
            return 0;
        }
    }
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "-u") == 0) {
            unregister = true;
        } else if (std::strcmp(argv[i], "--info") == 0) {
            info = true;
        } else if (argv[i][0] == '-' || !path.empty()) {
            return Usage();
        } else {
            path = argv[i];
        }
    }
    if (path.empty() || (info && unregister)) return Usage();
    if (info) return Info(path);

    Module module;
    std::string error;
    const HRESULT loaded = LoadModule(path, &module, &error);
    if (loaded == CO_E_ERRORINDLL) {
        std::fprintf(stderr, "zevo-regsvr: %s\n", error.c_str());
        return 3;
    }
    if (FAILED(loaded)) {
        std::fprintf(stderr, "zevo-regsvr: cannot load %s: %s\n", path.c_str(), error.c_str());
        return 2;
    }
    const char* entry = unregister ? "DllUnregisterServer" : "DllRegisterServer";
    const HRESULT hr = unregister ? module.unregisterServer() : module.registerServer();
    if (FAILED(hr)) {
        std::fprintf(
            stderr, "zevo-regsvr: %s in %s failed: %s%s\n", entry, module.path.c_str(),
            HResultText(hr).c_str(),
            unregister && hr == SELFREG_E_TYPELIB ? " (the module is not registered)" : "");
        return 4;
    }
    std::printf("%s in %s succeeded.\n", entry, module.path.c_str());
    return 0;
}
