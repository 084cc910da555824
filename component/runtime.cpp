#include "component/runtime.h"

#include <dlfcn.h>
#include <limits.h>
#include <stdlib.h>

#include <cstdio>
#include <map>
#include <mutex>

#include "component/resources.h"
#include "platform/registry.h"

namespace zevo::com {

namespace {

std::mutex gModulesLock;
std::map<std::string, Module> gModules;

// The default value of a key below Software\Classes, or false.
bool ReadDefault(const std::string& subKey, std::string* value) {
    HKEY key = nullptr;
    if (RegOpenKeyEx(HKEY_CURRENT_USER, (std::string(kClassesKey) + "\\" + subKey).c_str(),
                     KEY_QUERY_VALUE, &key) != REG_SUCCESS) {
        return false;
    }
    uint32_t type = 0;
    uint32_t size = 0;
    bool ok = RegQueryValueEx(key, "", &type, nullptr, &size) == REG_SUCCESS && type == REG_SZ;
    if (ok) {
        std::string data(size, '\0');
        ok = RegQueryValueEx(key, "", &type, reinterpret_cast<unsigned char*>(data.data()),
                             &size) == REG_SUCCESS;
        // Strings are stored with their terminator.
        while (!data.empty() && data.back() == '\0') data.pop_back();
        *value = data;
    }
    RegCloseKey(key);
    return ok;
}

}  // namespace

HRESULT LoadModule(const std::string& path, Module* module, std::string* error) {
    char resolved[PATH_MAX];
    const std::string full = realpath(path.c_str(), resolved) ? std::string(resolved) : path;
    std::lock_guard lock(gModulesLock);
    auto it = gModules.find(full);
    if (it != gModules.end()) {
        *module = it->second;
        return S_OK;
    }
    // Never unloaded: Qt and GStreamer code of the module may still run (timers, types).
    void* handle = dlopen(full.c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE);
    if (!handle) {
        if (error) *error = dlerror();
        return CO_E_DLLNOTFOUND;
    }
    Module m;
    m.path = full;
    m.handle = handle;
    m.registerServer = reinterpret_cast<DllRegisterServerFn>(dlsym(handle, "DllRegisterServer"));
    m.unregisterServer =
        reinterpret_cast<DllUnregisterServerFn>(dlsym(handle, "DllUnregisterServer"));
    m.getClassObject = reinterpret_cast<DllGetClassObjectFn>(dlsym(handle, "DllGetClassObject"));
    m.canUnloadNow = reinterpret_cast<DllCanUnloadNowFn>(dlsym(handle, "DllCanUnloadNow"));
    if (!m.registerServer || !m.unregisterServer || !m.getClassObject || !m.canUnloadNow) {
        if (error) *error = full + " is not a component module (an entry point is missing)";
        dlclose(handle);
        return CO_E_ERRORINDLL;
    }
    gModules[full] = m;
    *module = m;
    return S_OK;
}

HRESULT CLSIDFromProgID(const std::string& progId, GUID* clsid) {
    std::string text;
    if (progId.empty() || !ReadDefault(progId + "\\CLSID", &text)) return REGDB_E_CLASSNOTREG;
    return GuidFromString(text, clsid) ? S_OK : REGDB_E_CLASSNOTREG;
}

HRESULT InprocServerPath(const GUID& clsid, std::string* path) {
    if (!ReadDefault("CLSID\\" + GuidToString(clsid) + "\\InprocServer32", path) || path->empty()) {
        return REGDB_E_CLASSNOTREG;
    }
    return S_OK;
}

HRESULT CoGetClassObject(const GUID& clsid, const GUID& iid, void** object) {
    if (!object) return E_POINTER;
    *object = nullptr;
    std::string path;
    HRESULT hr = InprocServerPath(clsid, &path);
    if (FAILED(hr)) return hr;
    Module module;
    hr = LoadModule(path, &module, nullptr);
    if (FAILED(hr)) return hr;
    return module.getClassObject(clsid, iid, object);
}

HRESULT CoCreateInstance(const GUID& clsid, IUnknown* outer, const GUID& iid, void** object) {
    if (!object) return E_POINTER;
    *object = nullptr;
    ComPtr<IClassFactory> factory;
    const HRESULT hr = CoGetClassObject(clsid, IID_IClassFactory, factory.Out());
    if (FAILED(hr)) return hr;
    return factory->CreateInstance(outer, iid, object);
}

HRESULT LoadTypeLibFromModule(const std::string& path, TypeLib* lib, std::string* error) {
    ModuleResources resources;
    if (!ReadModuleResources(path, &resources, error)) return TYPE_E_CANTLOADLIBRARY;
    const std::string* text = resources.Find("TYPELIB", 1);
    if (!text) {
        if (error) *error = "no type library in " + path;
        return TYPE_E_CANTLOADLIBRARY;
    }
    return ParseTypeLib(*text, lib, error) ? S_OK : TYPE_E_CANTLOADLIBRARY;
}

HRESULT LoadRegTypeLib(const GUID& libid, int major, int minor, TypeLib* lib) {
    std::string path;
    const std::string version = std::to_string(major) + "." + std::to_string(minor);
    if (!ReadDefault("TypeLib\\" + GuidToString(libid) + "\\" + version + "\\0\\linux64", &path)) {
        return TYPE_E_LIBNOTREGISTERED;
    }
    const HRESULT hr = LoadTypeLibFromModule(path, lib, nullptr);
    if (FAILED(hr)) return hr;
    return lib->libid == libid && lib->major == major && lib->minor == minor
               ? S_OK
               : TYPE_E_CANTLOADLIBRARY;
}

std::string HResultText(HRESULT hr) {
    static const std::map<HRESULT, const char*> kNames = {
        {S_OK, "S_OK"},
        {S_FALSE, "S_FALSE"},
        {E_NOINTERFACE, "E_NOINTERFACE"},
        {E_FAIL, "E_FAIL"},
        {E_POINTER, "E_POINTER"},
        {E_INVALIDARG, "E_INVALIDARG"},
        {E_OUTOFMEMORY, "E_OUTOFMEMORY"},
        {DISP_E_MEMBERNOTFOUND, "DISP_E_MEMBERNOTFOUND"},
        {DISP_E_TYPEMISMATCH, "DISP_E_TYPEMISMATCH"},
        {DISP_E_UNKNOWNNAME, "DISP_E_UNKNOWNNAME"},
        {DISP_E_BADPARAMCOUNT, "DISP_E_BADPARAMCOUNT"},
        {TYPE_E_LIBNOTREGISTERED, "TYPE_E_LIBNOTREGISTERED"},
        {TYPE_E_CANTLOADLIBRARY, "TYPE_E_CANTLOADLIBRARY"},
        {CLASS_E_NOAGGREGATION, "CLASS_E_NOAGGREGATION"},
        {CLASS_E_CLASSNOTAVAILABLE, "CLASS_E_CLASSNOTAVAILABLE"},
        {REGDB_E_CLASSNOTREG, "REGDB_E_CLASSNOTREG"},
        {SELFREG_E_TYPELIB, "SELFREG_E_TYPELIB"},
        {SELFREG_E_CLASS, "SELFREG_E_CLASS"},
        {CO_E_DLLNOTFOUND, "CO_E_DLLNOTFOUND"},
        {CO_E_ERRORINDLL, "CO_E_ERRORINDLL"},
    };
    char hex[16];
    std::snprintf(hex, sizeof(hex), "0x%08X", static_cast<uint32_t>(hr));
    auto it = kNames.find(hr);
    return it == kNames.end() ? std::string(hex) : std::string(it->second) + " (" + hex + ")";
}

}  // namespace zevo::com
