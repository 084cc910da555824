#include "component/server.h"

#include <dlfcn.h>
#include <limits.h>
#include <stdlib.h>

#include "component/runtime.h"
#include "platform/registry.h"

namespace zevo::com {

namespace {

std::atomic<long> gModuleLocks{0};

std::string ClassesPath(const std::string& subKey) {
    return std::string(kClassesKey) + "\\" + subKey;
}

// Sets a string value (with its terminator, as every text in the hive) on a key below
// Software\Classes, creating the key.
bool SetString(const std::string& subKey, const char* name, const std::string& value) {
    HKEY key = nullptr;
    if (RegCreateKeyEx(HKEY_CURRENT_USER, ClassesPath(subKey).c_str(),
                       KEY_SET_VALUE | KEY_QUERY_VALUE | KEY_CREATE_SUB_KEY, &key,
                       nullptr) != REG_SUCCESS) {
        return false;
    }
    const bool ok =
        RegSetValueEx(key, name, REG_SZ, reinterpret_cast<const unsigned char*>(value.c_str()),
                      static_cast<uint32_t>(value.size() + 1)) == REG_SUCCESS;
    RegCloseKey(key);
    return ok;
}

bool CreateKey(const std::string& subKey) {
    HKEY key = nullptr;
    if (RegCreateKeyEx(HKEY_CURRENT_USER, ClassesPath(subKey).c_str(), KEY_QUERY_VALUE, &key,
                       nullptr) != REG_SUCCESS) {
        return false;
    }
    RegCloseKey(key);
    return true;
}

bool DeleteTree(const std::string& subKey) {
    const int rc = RegDeleteTree(HKEY_CURRENT_USER, ClassesPath(subKey).c_str());
    return rc == REG_SUCCESS || rc == REG_ERROR_FILE_NOT_FOUND;
}

bool HasSubKeys(const std::string& subKey) {
    HKEY key = nullptr;
    if (RegOpenKeyEx(HKEY_CURRENT_USER, ClassesPath(subKey).c_str(), KEY_QUERY_VALUE, &key) !=
        REG_SUCCESS) {
        return false;
    }
    char name[REG_MAX_KEY_NAME + 1];
    uint32_t chars = sizeof(name);
    const bool has = RegEnumKeyEx(key, 0, name, &chars) == REG_SUCCESS;
    RegCloseKey(key);
    return has;
}

std::string Version(int major, int minor) {
    return std::to_string(major) + "." + std::to_string(minor);
}

}  // namespace

void ModuleLock() {
    ++gModuleLocks;
}

void ModuleUnlock() {
    --gModuleLocks;
}

long ModuleLockCount() {
    return gModuleLocks.load();
}

std::string ThisModulePath() {
    Dl_info info{};
    if (dladdr(reinterpret_cast<void*>(&ThisModulePath), &info) == 0 || !info.dli_fname) return {};
    char resolved[PATH_MAX];
    return realpath(info.dli_fname, resolved) ? std::string(resolved) : std::string(info.dli_fname);
}

bool RegisterClass(const ClassRegistration& reg, const std::string& modulePath) {
    const std::string clsid = "CLSID\\" + GuidToString(reg.clsid);
    bool ok = SetString(clsid, "", reg.userTypeName) &&
              SetString(clsid + "\\InprocServer32", "", modulePath) &&
              SetString(clsid + "\\InprocServer32", "ThreadingModel", "Apartment");
    if (ok && reg.control) {
        ok = CreateKey(clsid + "\\Control") && SetString(clsid + "\\MiscStatus", "", "0") &&
             SetString(clsid + "\\MiscStatus\\1", "", std::to_string(reg.miscStatus)) &&
             SetString(clsid + "\\ToolboxBitmap32", "",
                       modulePath + ", " + std::to_string(reg.toolboxBitmap)) &&
             SetString(clsid + "\\TypeLib", "", GuidToString(reg.libid)) &&
             SetString(clsid + "\\Version", "", Version(reg.major, reg.minor));
    }
    if (ok && !reg.progId.empty()) {
        ok = SetString(clsid + "\\ProgID", "", reg.progId) &&
             SetString(reg.progId, "", reg.userTypeName) &&
             SetString(reg.progId + "\\CLSID", "", GuidToString(reg.clsid));
    }
    return ok;
}

bool UnregisterClass(const GUID& clsid, const std::string& progId) {
    bool ok = DeleteTree("CLSID\\" + GuidToString(clsid));
    if (!progId.empty()) ok = DeleteTree(progId) && ok;
    return ok;
}

bool RegisterTypeLib(const TypeLib& lib, const std::string& modulePath) {
    const std::string key =
        "TypeLib\\" + GuidToString(lib.libid) + "\\" + Version(lib.major, lib.minor);
    const size_t slash = modulePath.rfind('/');
    const std::string folder =
        slash == std::string::npos ? std::string(".") : modulePath.substr(0, slash);
    return SetString(key, "", lib.helpString) && SetString(key + "\\0\\linux64", "", modulePath) &&
           SetString(key + "\\FLAGS", "", lib.control ? "2" : "0") &&
           SetString(key + "\\HELPDIR", "", folder);
}

bool UnregisterTypeLib(const GUID& libid, int major, int minor) {
    const std::string lib = "TypeLib\\" + GuidToString(libid);
    const int rc =
        RegDeleteTree(HKEY_CURRENT_USER, ClassesPath(lib + "\\" + Version(major, minor)).c_str());
    if (rc != REG_SUCCESS) return false;
    // The library's key goes with its last version.
    return HasSubKeys(lib) || DeleteTree(lib);
}

HRESULT StaticClassFactory::QueryInterface(const GUID& iid, void** object) {
    if (!object) return E_POINTER;
    if (iid == IID_IUnknown || iid == IID_IClassFactory) {
        *object = static_cast<IClassFactory*>(this);
        return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
}

HRESULT StaticClassFactory::CreateInstance(IUnknown* outer, const GUID& iid, void** object) {
    if (!object) return E_POINTER;
    *object = nullptr;
    if (outer) return CLASS_E_NOAGGREGATION;
    return mCreator(iid, object);
}

HRESULT StaticClassFactory::LockServer(bool lock) {
    if (lock) {
        ModuleLock();
    } else {
        ModuleUnlock();
    }
    return S_OK;
}

}  // namespace zevo::com
