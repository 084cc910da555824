// The viewer control module: the module object, the two class factories and the four
// entry points containers and the registration tool call. The module's resources
// (type library, strings, templates, version block) are embedded in its .zevo_rsrc
// section, where tools read them from the file.
#include <memory>

#include "component/resources.h"
#include "component/server.h"
#include "component/typelib.h"
#include "control/player_ocx_ctrl.h"

// The resource text, assembled into the module's own section.
asm(".pushsection .zevo_rsrc,\"a\",@progbits\n"
    ".globl zevo_ocx_rsrc_begin\n"
    ".hidden zevo_ocx_rsrc_begin\n"
    "zevo_ocx_rsrc_begin:\n"
    ".incbin \"" ZEVO_OCX_RSRC
    "\"\n"
    ".globl zevo_ocx_rsrc_end\n"
    ".hidden zevo_ocx_rsrc_end\n"
    "zevo_ocx_rsrc_end:\n"
    ".byte 0\n"
    ".popsection\n");
extern "C" const char zevo_ocx_rsrc_begin[];
extern "C" const char zevo_ocx_rsrc_end[];

namespace zevo {

using namespace com;

namespace {

struct Resources {
    ModuleResources resources;
    TypeLib typeLib;
    bool ok = false;
    Resources() {
        std::string error;
        ok = ParseResources(std::string(zevo_ocx_rsrc_begin, zevo_ocx_rsrc_end), &resources) &&
             resources.Find("TYPELIB", 1) &&
             ParseTypeLib(*resources.Find("TYPELIB", 1), &typeLib, &error);
    }
};

const Resources& TheResources() {
    static const Resources resources;
    return resources;
}

// The module object: its start and end do what every module does, nothing more.
class CZEVOPlayerOCXApp {
public:
    CZEVOPlayerOCXApp() { InitInstance(); }
    ~CZEVOPlayerOCXApp() { ExitInstance(); }
    CZEVOPlayerOCXApp(const CZEVOPlayerOCXApp&) = delete;
    CZEVOPlayerOCXApp& operator=(const CZEVOPlayerOCXApp&) = delete;
    bool InitInstance() { return true; }
    int ExitInstance() { return 0; }
};

CZEVOPlayerOCXApp theApp;

StaticClassFactory gControlFactory(CLSID_ZEVOPlayerOCXCtrl, &CZEVOPlayerOCXCtrl::Create);
StaticClassFactory gPageFactory(CLSID_ZEVOPlayerOCXPropPage, &CZEVOPlayerOCXPropPage::Create);

// Each factory registers its class: the control as a control class with its ProgID,
// the property page by class id and name only.
bool UpdateRegistryAll(bool doRegister) {
    const std::string path = ThisModulePath();
    if (path.empty()) return false;
    ClassRegistration control;
    control.clsid = CLSID_ZEVOPlayerOCXCtrl;
    control.progId = kControlProgId;
    control.userTypeName = OcxString(1).toStdString();
    control.control = true;
    control.toolboxBitmap = 1;
    control.miscStatus = kControlMiscStatus;
    control.libid = LIBID_ZEVOPLAYEROCXLib;
    control.major = CZEVOPlayerOCXCtrl::kVersionMajor;
    control.minor = CZEVOPlayerOCXCtrl::kVersionMinor;
    ClassRegistration page;
    page.clsid = CLSID_ZEVOPlayerOCXPropPage;
    page.userTypeName = OcxString(2).toStdString();
    if (!doRegister) {
        const bool controlGone = UnregisterClass(control.clsid, control.progId);
        return UnregisterClass(page.clsid, {}) && controlGone;
    }
    return RegisterClass(control, path) && RegisterClass(page, path);
}

}  // namespace

const ModuleResources* OcxResources() {
    return TheResources().ok ? &TheResources().resources : nullptr;
}

const TypeLib* OcxTypeLib() {
    return TheResources().ok ? &TheResources().typeLib : nullptr;
}

QString OcxString(int id) {
    const std::string* text = OcxResources() ? OcxResources()->Find("STRING", id) : nullptr;
    return text ? QString::fromStdString(*text) : QString();
}

}  // namespace zevo

using namespace zevo;
using namespace zevo::com;

#define ZEVO_EXPORT extern "C" __attribute__((visibility("default")))

ZEVO_EXPORT HRESULT DllRegisterServer() {
    const TypeLib* lib = OcxTypeLib();
    const std::string path = ThisModulePath();
    if (!lib || path.empty() || !RegisterTypeLib(*lib, path)) return SELFREG_E_TYPELIB;
    if (!UpdateRegistryAll(true)) return SELFREG_E_CLASS;
    return S_OK;
}

ZEVO_EXPORT HRESULT DllUnregisterServer() {
    if (!UnregisterTypeLib(LIBID_ZEVOPLAYEROCXLib, CZEVOPlayerOCXCtrl::kVersionMajor,
                           CZEVOPlayerOCXCtrl::kVersionMinor)) {
        return SELFREG_E_TYPELIB;
    }
    if (!UpdateRegistryAll(false)) return SELFREG_E_CLASS;
    return S_OK;
}

ZEVO_EXPORT HRESULT DllGetClassObject(const GUID& clsid, const GUID& iid, void** object) {
    if (!object) return E_POINTER;
    *object = nullptr;
    for (StaticClassFactory* factory : {&gControlFactory, &gPageFactory}) {
        if (factory->Clsid() == clsid) return factory->QueryInterface(iid, object);
    }
    return CLASS_E_CLASSNOTAVAILABLE;
}

ZEVO_EXPORT HRESULT DllCanUnloadNow() {
    return ModuleLockCount() == 0 ? S_OK : S_FALSE;
}
