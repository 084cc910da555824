#pragma once
// The module's side of the component model: counting live objects and server locks for
// DllCanUnloadNow, the module's own path, static class factories, and writing and
// removing registration entries in the standard layout under Software\Classes:
//
//   CLSID\{clsid}                   = user type name
//     InprocServer32                = module path; ThreadingModel = "Apartment"
//     ProgID                        = ProgID                          (controls)
//     Control                                                        (controls)
//     MiscStatus = "0"; MiscStatus\1 = status for the content aspect  (controls)
//     ToolboxBitmap32               = "module path, bitmap id"        (controls)
//     TypeLib                       = {libid}                        (controls)
//     Version                       = "major.minor"                  (controls)
//   ProgID                          = user type name; ProgID\CLSID = {clsid}
//   TypeLib\{libid}\major.minor     = library help string
//     0\linux64                     = module path
//     FLAGS                         = library flags ("2" for a control library)
//     HELPDIR                       = module folder
#include <atomic>
#include <string>
#include <vector>

#include "component/com.h"
#include "component/typelib.h"

namespace zevo::com {

// Live objects plus server locks of this module.
void ModuleLock();
void ModuleUnlock();
long ModuleLockCount();

// The file this code was loaded from (absolute), empty when unknown.
std::string ThisModulePath();

struct ClassRegistration {
    GUID clsid;
    std::string progId;        // empty: no ProgID key
    std::string userTypeName;  // the class key's default value
    bool control = false;      // control keys: Control, MiscStatus, ToolboxBitmap32, ...
    int toolboxBitmap = 1;
    uint32_t miscStatus = 0;
    GUID libid;
    int major = 1;
    int minor = 0;
};

// Writes the class's entries; existing values are replaced. False when the hive fails.
bool RegisterClass(const ClassRegistration& reg, const std::string& modulePath);
// Removes the class key with everything under it, and its ProgID key when named.
// Missing keys are not an error.
bool UnregisterClass(const GUID& clsid, const std::string& progId);

bool RegisterTypeLib(const TypeLib& lib, const std::string& modulePath);
// False when that version of the library is not registered or the hive fails.
bool UnregisterTypeLib(const GUID& libid, int major, int minor);

// Base of the module's objects: the reference count and the module lock.
class ObjectBase {
public:
    ObjectBase() { ModuleLock(); }
    virtual ~ObjectBase() { ModuleUnlock(); }
    ObjectBase(const ObjectBase&) = delete;
    ObjectBase& operator=(const ObjectBase&) = delete;

protected:
    uint32_t AddRefObject() { return ++mRefs; }
    uint32_t ReleaseObject() {
        const uint32_t left = --mRefs;
        if (left == 0) delete this;
        return left;
    }

private:
    std::atomic<uint32_t> mRefs{0};
};

// A class factory that lives as long as the module (a static object): references to it
// do not keep the module loaded, locks do.
class StaticClassFactory : public IClassFactory {
public:
    using Creator = HRESULT (*)(const GUID& iid, void** object);
    StaticClassFactory(const GUID& clsid, Creator creator) : mClsid(clsid), mCreator(creator) {}
    virtual ~StaticClassFactory() = default;

    const GUID& Clsid() const { return mClsid; }

    HRESULT QueryInterface(const GUID& iid, void** object) override;
    uint32_t AddRef() override { return 2; }
    uint32_t Release() override { return 1; }
    HRESULT CreateInstance(IUnknown* outer, const GUID& iid, void** object) override;
    HRESULT LockServer(bool lock) override;

private:
    GUID mClsid;
    Creator mCreator;
};

}  // namespace zevo::com
