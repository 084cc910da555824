// The control module as a container sees it, in process: registration entries in the
// hive, creation by ProgID through the hive and the module, dispatch by name and by id,
// object safety, the module's unload answer, the window, drawing, persistence, the
// property page, and what 100 controls leave behind.
#include <dirent.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <QApplication>
#include <QDialog>
#include <QImage>
#include <QLabel>
#include <QPainter>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QThread>
#include <QWidget>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>

#include "component/resources.h"
#include "component/runtime.h"
#include "control/player_ocx_ids.h"
#include "platform/message_box.h"
#include "platform/registry.h"

namespace zevo {
namespace {

using namespace com;

// name -> value of one key; "" is the default value.
using Values = std::map<std::string, std::string>;
// key path below Software\Classes -> its values.
using Hive = std::map<std::string, Values>;

void DumpKey(HKEY key, const std::string& path, Hive* hive) {
    Values& values = (*hive)[path];
    for (uint32_t i = 0;; ++i) {
        char name[1024];
        uint32_t chars = sizeof(name);
        unsigned char data[4096];
        uint32_t bytes = sizeof(data);
        uint32_t type = 0;
        if (RegEnumValue(key, i, name, &chars, &type, data, &bytes) != REG_SUCCESS) break;
        std::string text(reinterpret_cast<char*>(data), bytes);
        while (!text.empty() && text.back() == '\0') text.pop_back();
        values[name] = (type == REG_SZ ? "" : "type" + std::to_string(type) + ":") + text;
    }
    for (uint32_t i = 0;; ++i) {
        char name[REG_MAX_KEY_NAME + 1];
        uint32_t chars = sizeof(name);
        if (RegEnumKeyEx(key, i, name, &chars) != REG_SUCCESS) break;
        HKEY child = nullptr;
        ASSERT_EQ(RegOpenKeyEx(key, name, KEY_QUERY_VALUE, &child), REG_SUCCESS) << name;
        DumpKey(child, path.empty() ? name : path + "\\" + name, hive);
        RegCloseKey(child);
    }
}

Hive DumpClasses() {
    Hive hive;
    HKEY key = nullptr;
    if (RegOpenKeyEx(HKEY_CURRENT_USER, kClassesKey, KEY_QUERY_VALUE, &key) != REG_SUCCESS)
        return hive;
    DumpKey(key, "", &hive);
    RegCloseKey(key);
    return hive;
}

void SetDefault(const std::string& path, const std::string& value) {
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyEx(HKEY_CURRENT_USER, path.c_str(), KEY_SET_VALUE, &key, nullptr),
              REG_SUCCESS);
    ASSERT_EQ(RegSetValueEx(key, "", REG_SZ, reinterpret_cast<const unsigned char*>(value.c_str()),
                            static_cast<uint32_t>(value.size() + 1)),
              REG_SUCCESS);
    RegCloseKey(key);
}

// Everything the module writes, for a module at path.
Hive Registered(const std::string& path) {
    const std::string ctrl = "CLSID\\{5E5065B5-C1E2-4EE2-B288-D21416DEB426}";
    const std::string page = "CLSID\\{04AC5044-85D9-418B-AB08-93DD483BA0F7}";
    const std::string lib = "TypeLib\\{142AFD4E-ADE6-45B7-B9A4-02DEA4F3E85A}";
    const std::string folder = path.substr(0, path.rfind('/'));
    return {
        {ctrl, {{"", "ZEVOPlayerOCX Control"}}},
        {ctrl + "\\Control", {}},
        {ctrl + "\\InprocServer32", {{"", path}, {"ThreadingModel", "Apartment"}}},
        {ctrl + "\\MiscStatus", {{"", "0"}}},
        {ctrl + "\\MiscStatus\\1", {{"", "131473"}}},
        {ctrl + "\\ProgID", {{"", "ZEVOPLAYEROCX.ZEVOPlayerOCXCtrl.1"}}},
        {ctrl + "\\ToolboxBitmap32", {{"", path + ", 1"}}},
        {ctrl + "\\TypeLib", {{"", "{142AFD4E-ADE6-45B7-B9A4-02DEA4F3E85A}"}}},
        {ctrl + "\\Version", {{"", "1.0"}}},
        {page, {{"", "ZEVOPlayerOCX Property Page"}}},
        {page + "\\InprocServer32", {{"", path}, {"ThreadingModel", "Apartment"}}},
        {"ZEVOPLAYEROCX.ZEVOPlayerOCXCtrl.1", {{"", "ZEVOPlayerOCX Control"}}},
        {"ZEVOPLAYEROCX.ZEVOPlayerOCXCtrl.1\\CLSID",
         {{"", "{5E5065B5-C1E2-4EE2-B288-D21416DEB426}"}}},
        {lib, {}},
        {lib + "\\1.0", {{"", "ZEVOPlayerOCX ActiveX Control module"}}},
        {lib + "\\1.0\\0", {}},
        {lib + "\\1.0\\0\\linux64", {{"", path}}},
        {lib + "\\1.0\\FLAGS", {{"", "2"}}},
        {lib + "\\1.0\\HELPDIR", {{"", folder}}},
    };
}

Hive Merged(Hive a, const Hive& b) {
    for (const auto& [k, v] : b) a[k] = v;
    return a;
}

std::string Describe(const Hive& hive) {
    std::string text;
    for (const auto& [key, values] : hive) {
        text += key + "\n";
        for (const auto& [n, v] : values) text += "    " + (n.empty() ? "@" : n) + " = " + v + "\n";
    }
    return text;
}

class ControlModule : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        qputenv("QT_QPA_PLATFORM", "offscreen");
        sHome = new QTemporaryDir;
        qputenv("HOME", sHome->path().toUtf8());
        qputenv("XDG_CONFIG_HOME", (sHome->path() + "/.config").toUtf8());
        // Plays into the null device, so the audio output runs its thread.
        const QString alsa = sHome->path() + "/asound.conf";
        std::ofstream(alsa.toStdString()) << "pcm.!default { type null }\n";
        qputenv("ALSA_CONFIG_PATH", alsa.toUtf8());
        // No service answers here: connects fail at once instead of waiting.
        qputenv("ZEVO_P2P_SERVER", "127.0.0.1:9");
        static int argc = 1;
        static char arg0[] = "test_control_module";
        static char* argv[] = {arg0, nullptr};
        sApp = new QApplication(argc, argv);
        SetMessageBoxHook([](const QString&, const QString&) {});
    }
    static void TearDownTestSuite() {
        SetMessageBoxHook({});
        delete sApp;
        delete sHome;
    }
    void SetUp() override {
        std::string error;
        ASSERT_EQ(LoadModule(ZEVO_OCX_MODULE, &mModule, &error), S_OK) << error;
        // Every test starts from an empty class registry.
        RegDeleteTree(HKEY_CURRENT_USER, kClassesKey);
    }

    ComPtr<IDispatch> CreateControl() {
        GUID clsid;
        ComPtr<IDispatch> control;
        EXPECT_EQ(CLSIDFromProgID(kControlProgId, &clsid), S_OK);
        EXPECT_EQ(CoCreateInstance(clsid, nullptr, IID_IDispatch, control.Out()), S_OK);
        return control;
    }

    static QTemporaryDir* sHome;
    static QApplication* sApp;
    Module mModule;
};

QTemporaryDir* ControlModule::sHome = nullptr;
QApplication* ControlModule::sApp = nullptr;

TEST_F(ControlModule, RegistersExactlyItsEntriesAndRemovesThemAll) {
    // Entries of others, under the same parents, must survive.
    SetDefault("Software\\Classes\\CLSID\\{00000000-1111-2222-3333-444444444444}", "Other");
    SetDefault("Software\\Classes\\TypeLib\\{00000000-1111-2222-3333-555555555555}\\1.0",
               "OtherLib");
    SetDefault("Software\\Classes\\.avi", "aviFile");
    const Hive before = DumpClasses();

    EXPECT_EQ(mModule.unregisterServer(), SELFREG_E_TYPELIB) << "nothing registered yet";
    ASSERT_EQ(mModule.registerServer(), S_OK);
    EXPECT_EQ(DumpClasses(), Merged(before, Registered(mModule.path))) << Describe(DumpClasses());

    // The host's lookups: ProgID -> class -> module; class -> type library -> its members.
    GUID clsid;
    ASSERT_EQ(CLSIDFromProgID(kControlProgId, &clsid), S_OK);
    EXPECT_EQ(clsid, CLSID_ZEVOPlayerOCXCtrl);
    EXPECT_EQ(CLSIDFromProgID(kPropPageProgId, &clsid), REGDB_E_CLASSNOTREG) << "no page ProgID";
    TypeLib lib;
    ASSERT_EQ(LoadRegTypeLib(LIBID_ZEVOPLAYEROCXLib, 1, 0, &lib), S_OK);
    EXPECT_EQ(LoadRegTypeLib(LIBID_ZEVOPLAYEROCXLib, 2, 0, &lib), TYPE_E_LIBNOTREGISTERED);

    // A second build registered over the first replaces every path.
    QTemporaryDir second;
    const std::string copy = second.path().toStdString() + "/zevoplayerocx.so";
    std::filesystem::copy_file(mModule.path, copy);
    Module other;
    ASSERT_EQ(LoadModule(copy, &other, nullptr), S_OK);
    ASSERT_EQ(other.registerServer(), S_OK);
    EXPECT_EQ(DumpClasses(), Merged(before, Registered(other.path))) << Describe(DumpClasses());
    std::string path;
    ASSERT_EQ(InprocServerPath(CLSID_ZEVOPlayerOCXCtrl, &path), S_OK);
    EXPECT_EQ(path, other.path);

    ASSERT_EQ(other.unregisterServer(), S_OK);
    EXPECT_EQ(DumpClasses(), before) << Describe(DumpClasses());
    EXPECT_EQ(mModule.unregisterServer(), SELFREG_E_TYPELIB);
    ComPtr<IDispatch> none;
    EXPECT_EQ(CLSIDFromProgID(kControlProgId, &clsid), REGDB_E_CLASSNOTREG);
    EXPECT_EQ(CoCreateInstance(CLSID_ZEVOPlayerOCXCtrl, nullptr, IID_IDispatch, none.Out()),
              REGDB_E_CLASSNOTREG);

    // A hive that cannot be written fails the first step.
    const QByteArray saved = qgetenv("XDG_CONFIG_HOME");
    const std::string blocker = second.path().toStdString() + "/file";
    std::ofstream(blocker) << "x";
    qputenv("XDG_CONFIG_HOME", QByteArray::fromStdString(blocker));
    EXPECT_EQ(mModule.registerServer(), SELFREG_E_TYPELIB);
    qputenv("XDG_CONFIG_HOME", saved);
}

TEST_F(ControlModule, ResourcesAndVersionBlockAreReadableFromTheFile) {
    ModuleResources res;
    std::string error;
    ASSERT_TRUE(ReadModuleResources(mModule.path, &res, &error)) << error;
    const std::map<int, std::string> strings = {{1, "ZEVOPlayerOCX Control"},
                                                {2, "ZEVOPlayerOCX Property Page"},
                                                {101, "Ready"},
                                                {102, "Time"},
                                                {103, " "},
                                                {104, " "},
                                                {200, "General"}};
    for (const auto& [id, text] : strings) {
        ASSERT_NE(res.Find("STRING", id), nullptr) << id;
        EXPECT_EQ(*res.Find("STRING", id), text) << id;
        EXPECT_EQ((res.languages[{"STRING", id}]), 2052);
    }
    const std::map<std::string, std::string> version = {
        {"FileVersion", "2, 0, 7, 0"},
        {"ProductVersion", "2, 0, 7, 0"},
        {"FileDescription", "ZEVO2PlayerOCX ActiveX"},
        {"ProductName", "ZEVO2PlayerOCX ActiveX"},
        {"InternalName", "ZEVO2PlayerOCX"},
        {"OriginalFilename", "ZEVO2PlayerOCX.OCX"},
        {"CompanyName", "\xE3\x80\x80"},
        {"Translation", "0x0409 1200"},
        {"FILEVERSION", "2,0,7,0"},
    };
    for (const auto& [name, value] : version) EXPECT_EQ(res.VersionValue(name), value) << name;
    EXPECT_NE(res.Find("VERSION", 1)->find("\nOLESelfRegister=\n"), std::string::npos);
    const QImage bitmap =
        QImage::fromData(QByteArray::fromStdString(*res.Find("BITMAP", 1)), "XPM");
    EXPECT_EQ(bitmap.size(), QSize(16, 15));

    TypeLib lib;
    ASSERT_EQ(LoadTypeLibFromModule(mModule.path, &lib, &error), S_OK) << error;
    EXPECT_EQ(lib.name, "ZEVOPLAYEROCXLib");
    EXPECT_TRUE(lib.control);
    EXPECT_EQ(lib.helpString, "ZEVOPlayerOCX ActiveX Control module");
    EXPECT_EQ(lib.helpFile, "ZEVOPlayerOCX.hlp");
    EXPECT_EQ(lib.importLib, "stdole2.tlb");
    const TypeInterface* itf = lib.DefaultInterface(CLSID_ZEVOPlayerOCXCtrl);
    ASSERT_NE(itf, nullptr);
    EXPECT_TRUE(itf->hidden);
    EXPECT_EQ(itf->iid, DIID__DZEVOPlayerOCX);
    EXPECT_EQ(itf->members.size(), 12u);
    const TypeInterface* events = lib.FindInterface("_DZEVOPlayerOCXEvents");
    ASSERT_NE(events, nullptr);
    EXPECT_TRUE(events->members.empty());
    EXPECT_EQ(lib.FindCoClass(CLSID_ZEVOPlayerOCXCtrl)->defaultSource, "_DZEVOPlayerOCXEvents");
}

// One dispatch call: member, by name or by id, arguments, expected result or failure.
struct Call {
    const char* name;
    uint16_t flags;
    std::vector<Variant> args;
    HRESULT hr;
    Variant result;
};

void RunCalls(IDispatch* control, const std::vector<Call>& calls, const char* phase) {
    for (const Call& c : calls) {
        DISPID id = DISPID_UNKNOWN;
        const char* names[] = {c.name};
        ASSERT_EQ(control->GetIDsOfNames(names, 1, &id), S_OK) << c.name;
        Variant result;
        const HRESULT hr = control->Invoke(id, c.flags, c.args.data(),
                                           static_cast<uint32_t>(c.args.size()), &result);
        EXPECT_EQ(hr, c.hr) << phase << " " << c.name;
        if (SUCCEEDED(hr) && c.result.vt != VT_EMPTY) {
            EXPECT_EQ(result.vt, c.result.vt) << phase << " " << c.name;
            EXPECT_EQ(result.intVal, c.result.intVal) << phase << " " << c.name;
            EXPECT_EQ(result.strVal, c.result.strVal) << phase << " " << c.name;
        }
    }
}

TEST_F(ControlModule, DispatchByNameAndIdWithAndWithoutPlayer) {
    ASSERT_EQ(mModule.registerServer(), S_OK);
    ComPtr<IDispatch> control = CreateControl();
    ASSERT_TRUE(control);

    // Names resolve without regard to case, to the ids of the type library.
    const std::vector<std::pair<const char*, DISPID>> ids = {
        {"DID", 1},         {"Password", 2},    {"SavePath", 3},       {"ChgSelection", 4},
        {"StartRecord", 5}, {"SelectPath", 6},  {"Snapshot", 7},       {"StartAV", 8},
        {"StopAV", 9},      {"StopRecord", 10}, {"GetEmailAlert", 11}, {"setemailalert", 12}};
    for (const auto& [name, id] : ids) {
        const char* names[] = {name};
        DISPID got = 0;
        EXPECT_EQ(control->GetIDsOfNames(names, 1, &got), S_OK) << name;
        EXPECT_EQ(got, id) << name;
    }
    const char* unknown[] = {"Play"};
    DISPID got = 0;
    EXPECT_EQ(control->GetIDsOfNames(unknown, 1, &got), DISP_E_UNKNOWNNAME);
    EXPECT_EQ(got, DISPID_UNKNOWN);
    const char* withParam[] = {"ChgSelection", "camera"};
    DISPID two[2] = {};
    EXPECT_EQ(control->GetIDsOfNames(withParam, 2, two), S_OK);
    EXPECT_EQ(two[1], 0);

    Variant r;
    EXPECT_EQ(control->Invoke(13, DISPATCH_METHOD, nullptr, 0, &r), DISP_E_MEMBERNOTFOUND);
    EXPECT_EQ(control->Invoke(4, DISPATCH_METHOD, nullptr, 0, &r), DISP_E_BADPARAMCOUNT);
    const Variant word = Variant::Str("two");
    EXPECT_EQ(control->Invoke(4, DISPATCH_METHOD, &word, 1, &r), DISP_E_TYPEMISMATCH);
    EXPECT_EQ(control->Invoke(8, DISPATCH_PROPERTYPUT, &word, 1, &r), DISP_E_MEMBERNOTFOUND);

    // Before the control has a window there is no player: every call is harmless, the
    // e-mail alert calls say -1, the others 0, properties keep what they are given.
    const uint16_t M = DISPATCH_METHOD, G = DISPATCH_PROPERTYGET, P = DISPATCH_PROPERTYPUT;
    RunCalls(control.Get(),
             {{"DID", P, {Variant::Str("ABCD-000001-EFGHI")}, S_OK, {}},
              {"DID", G, {}, S_OK, Variant::Str("ABCD-000001-EFGHI")},
              {"Password", P, {Variant::I4(123456)}, S_OK, {}},
              {"Password", G | M, {}, S_OK, Variant::Str("123456")},
              {"SavePath", G, {}, S_OK, Variant::Str("")},
              {"ChgSelection", M, {Variant::I4(2)}, S_OK, Variant::I4(0)},
              {"ChgSelection", M, {Variant::I4(-1)}, S_OK, Variant::I4(0)},
              {"StartRecord", M, {}, S_OK, Variant::I4(0)},
              {"SelectPath", M, {}, S_OK, Variant::I4(0)},
              {"Snapshot", M, {}, S_OK, Variant::I4(0)},
              {"StartAV", M, {}, S_OK, Variant::I4(0)},
              {"StopAV", M, {}, S_OK, Variant::I4(0)},
              {"StopRecord", M, {}, S_OK, Variant::I4(0)},
              {"GetEmailAlert", M, {}, S_OK, Variant::I2(-1)},
              {"SetEmailAlert", M, {Variant::Bool(true)}, S_OK, Variant::I2(-1)},
              {"SetEmailAlert", M, {Variant::I4(0)}, S_OK, Variant::I2(-1)}},
             "without player");

    // With a window: the player exists, the properties now come from its settings, and
    // with no session the option commands report their own failure (-2).
    QWidget parent;
    parent.resize(640, 480);
    ComPtr<IInPlaceControl> inPlace;
    ASSERT_EQ(control.As(IID_IInPlaceControl, &inPlace), S_OK);
    ASSERT_EQ(inPlace->InPlaceActivate(&parent), S_OK);
    RunCalls(control.Get(),
             {{"DID", G, {}, S_OK, Variant::Str("ZEVO-000001-DEMOA")},
              {"DID", P, {Variant::Str("WXYZ-000002-ABCDE")}, S_OK, {}},
              {"DID", G, {}, S_OK, Variant::Str("WXYZ-000002-ABCDE")},
              {"ChgSelection", M, {Variant::I4(-1)}, S_OK, Variant::I4(0)},
              {"ChgSelection", M, {Variant::Str("3")}, S_OK, Variant::I4(0)},
              {"GetEmailAlert", M, {}, S_OK, Variant::I2(-2)},
              {"SetEmailAlert", M, {Variant::Bool(false)}, S_OK, Variant::I2(-2)},
              {"StartRecord", M, {}, S_OK, Variant::I4(0)},
              {"StopRecord", M, {}, S_OK, Variant::I4(0)},
              {"StopAV", M, {}, S_OK, Variant::I4(0)}},
             "with player");
    ComPtr<IPlayerProbe> probe;
    ASSERT_EQ(control.As(IID_IPlayerProbe, &probe), S_OK);
    EXPECT_EQ(probe->PaneText(0), QStringLiteral("Press start button to run."));

    // Object safety, as the table of cases says.
    ComPtr<IObjectSafety> safety;
    ASSERT_EQ(control.As(IID_IObjectSafety, &safety), S_OK);
    const GUID missing = MakeGuid("11111111-2222-3333-4444-555555555555");
    uint32_t supported = 0, enabled = 0;
    EXPECT_EQ(safety->GetInterfaceSafetyOptions(IID_IDispatch, &supported, &enabled), S_OK);
    EXPECT_EQ(supported, 3u);
    EXPECT_EQ(enabled, 3u);
    supported = enabled = 0;
    EXPECT_EQ(safety->GetInterfaceSafetyOptions(missing, &supported, &enabled), E_NOINTERFACE);
    EXPECT_EQ(supported, 3u);
    EXPECT_EQ(enabled, 3u);
    EXPECT_EQ(safety->GetInterfaceSafetyOptions(IID_IDispatch, nullptr, &enabled), E_POINTER);
    const struct {
        GUID iid;
        uint32_t mask, enabled;
        HRESULT hr;
    } sets[] = {{IID_IDispatch, 3, 3, S_OK},     {IID_IDispatch, 0, 0, S_OK},
                {IID_IDispatch, 1, 0, E_FAIL},   {IID_IDispatch, 4, 4, E_FAIL},
                {IID_IDispatch, 3, 1, E_FAIL},   {IID_IDispatch, 2, 3, S_OK},
                {IID_IPersistState, 1, 1, S_OK}, {missing, 3, 3, E_NOINTERFACE}};
    for (const auto& s : sets) {
        EXPECT_EQ(safety->SetInterfaceSafetyOptions(s.iid, s.mask, s.enabled), s.hr)
            << s.mask << "/" << s.enabled;
    }
    ComPtr<IUnknown> back;
    EXPECT_EQ(safety.As(IID_IDispatch, &back), S_OK) << "the part delegates to the control";
}

TEST_F(ControlModule, UnloadIsRefusedWhileAnObjectOrALockLives) {
    ASSERT_EQ(mModule.registerServer(), S_OK);
    EXPECT_EQ(mModule.canUnloadNow(), S_OK);
    ComPtr<IClassFactory> factory;
    ASSERT_EQ(mModule.getClassObject(CLSID_ZEVOPlayerOCXCtrl, IID_IClassFactory, factory.Out()),
              S_OK);
    ComPtr<IClassFactory> missingFactory;
    EXPECT_EQ(mModule.getClassObject(MakeGuid("11111111-2222-3333-4444-555555555555"),
                                     IID_IClassFactory, missingFactory.Out()),
              CLASS_E_CLASSNOTAVAILABLE);
    EXPECT_EQ(mModule.canUnloadNow(), S_OK) << "a reference to a factory is no lock";
    ASSERT_EQ(factory->LockServer(true), S_OK);
    EXPECT_EQ(mModule.canUnloadNow(), S_FALSE);
    ASSERT_EQ(factory->LockServer(false), S_OK);
    EXPECT_EQ(mModule.canUnloadNow(), S_OK);

    ComPtr<IDispatch> control;
    ComPtr<IUnknown> outer;
    ASSERT_EQ(factory->CreateInstance(nullptr, IID_IDispatch, control.Out()), S_OK);
    EXPECT_EQ(factory->CreateInstance(control.Get(), IID_IDispatch, outer.Out()),
              CLASS_E_NOAGGREGATION);
    EXPECT_EQ(mModule.canUnloadNow(), S_FALSE);
    ComPtr<IObjectSafety> part;
    ASSERT_EQ(control.As(IID_IObjectSafety, &part), S_OK);
    control.Reset();
    EXPECT_EQ(mModule.canUnloadNow(), S_FALSE) << "its interface part still holds it";
    part.Reset();
    EXPECT_EQ(mModule.canUnloadNow(), S_OK);

    ComPtr<IPropertyPage> page;
    ASSERT_EQ(CoCreateInstance(CLSID_ZEVOPlayerOCXPropPage, nullptr, IID_IPropertyPage, page.Out()),
              S_OK);
    EXPECT_EQ(mModule.canUnloadNow(), S_FALSE);
    page.Reset();
    EXPECT_EQ(mModule.canUnloadNow(), S_OK);
}

TEST_F(ControlModule, WindowDrawingStateAndPropertyPage) {
    ASSERT_EQ(mModule.registerServer(), S_OK);
    // Settings a previous run left: the properties come from the player that loads them.
    SetDefault("Software\\ZEVO2\\ZEVO2Player", "");
    {
        HKEY key = nullptr;
        ASSERT_EQ(
            RegOpenKeyEx(HKEY_CURRENT_USER, "Software\\ZEVO2\\ZEVO2Player", KEY_SET_VALUE, &key),
            REG_SUCCESS);
        const char did[] = "SAVE-000777-DIDXX";
        RegSetValueEx(key, "DID", REG_SZ, reinterpret_cast<const unsigned char*>(did), sizeof(did));
        RegCloseKey(key);
    }
    ComPtr<IDispatch> control = CreateControl();
    ComPtr<IInPlaceControl> inPlace;
    ComPtr<IViewObject> view;
    ComPtr<IPersistState> state;
    ComPtr<IPlayerProbe> probe;
    ASSERT_EQ(control.As(IID_IInPlaceControl, &inPlace), S_OK);
    ASSERT_EQ(control.As(IID_IViewObject, &view), S_OK);
    ASSERT_EQ(control.As(IID_IPersistState, &state), S_OK);
    ASSERT_EQ(control.As(IID_IPlayerProbe, &probe), S_OK);

    // Drawing without a window: white, with an ellipse inscribed in the bounds.
    QImage image(120, 80, QImage::Format_RGB32);
    image.fill(Qt::red);
    {
        QPainter painter(&image);
        ASSERT_EQ(view->Draw(&painter, QRect(0, 0, 120, 80)), S_OK);
    }
    EXPECT_EQ(image.pixel(0, 0), qRgb(255, 255, 255));
    EXPECT_EQ(image.pixel(60, 40), qRgb(255, 255, 255));
    EXPECT_EQ(image.pixel(119, 79), qRgb(255, 255, 255));
    EXPECT_EQ(qGray(image.pixel(60, 0)), 0) << "the ellipse touches the top edge in its middle";
    EXPECT_EQ(qGray(image.pixel(0, 40)), 0) << "and the left edge";

    // Version 1.0 persistence; property puts mark the control changed.
    std::vector<uint8_t> saved;
    ASSERT_EQ(state->InitNew(), S_OK);
    EXPECT_EQ(state->IsDirty(), S_FALSE);
    ASSERT_EQ(state->Save(&saved), S_OK);
    EXPECT_EQ(saved, (std::vector<uint8_t>{0, 0, 1, 0}));
    EXPECT_EQ(state->Load({0, 0, 0, 0}), S_OK) << "an older version converts";
    EXPECT_EQ(state->Load({1}), E_FAIL);

    QWidget parent;
    parent.resize(640, 480);
    parent.show();
    ASSERT_EQ(inPlace->InPlaceActivate(&parent), S_OK);
    QWidget* window = inPlace->Window();
    ASSERT_NE(window, nullptr);
    window->resize(500, 300);
    QWidget* player = window->findChild<QWidget*>(QString(), Qt::FindDirectChildrenOnly);
    ASSERT_NE(player, nullptr);
    EXPECT_EQ(player->geometry(), QRect(0, 0, 500, 300)) << "the player covers the client area";
    window->resize(320, 240);
    EXPECT_EQ(player->geometry(), QRect(0, 0, 320, 240));
    EXPECT_EQ(player->windowTitle(), QStringLiteral("(V2.0.7)"));

    Variant did;
    ASSERT_EQ(control->Invoke(1, DISPATCH_PROPERTYGET, nullptr, 0, &did), S_OK);
    EXPECT_EQ(did.strVal, "SAVE-000777-DIDXX");
    const Variant newDid = Variant::Str("NEWW-000001-AAAAA");
    ASSERT_EQ(control->Invoke(1, DISPATCH_PROPERTYPUT, &newDid, 1, nullptr), S_OK);
    EXPECT_EQ(state->IsDirty(), S_OK);

    // The Properties verb: a frame with the one page, "General", and its one text.
    ASSERT_EQ(inPlace->DoVerb(OLEIVERB_PROPERTIES, &parent), S_OK);
    QDialog* frame = parent.findChild<QDialog*>(QStringLiteral("propertyFrame"));
    ASSERT_NE(frame, nullptr);
    auto* tabs = frame->findChild<QTabWidget*>();
    ASSERT_NE(tabs, nullptr);
    ASSERT_EQ(tabs->count(), 1);
    EXPECT_EQ(tabs->tabText(0), QStringLiteral("General"));
    const auto labels = tabs->widget(0)->findChildren<QLabel*>();
    ASSERT_EQ(labels.size(), 1);
    EXPECT_EQ(labels[0]->text(),
              QStringLiteral("TODO: Place controls to manipulate properties of ZEVOPlayerOCX "
                             "Control on this dialog."));
    delete frame;

    // The container takes the window away first: the player goes with it (saving its
    // settings), and the control stays harmless until it is released.
    delete window;
    EXPECT_EQ(inPlace->Window(), nullptr);
    EXPECT_EQ(probe->PaneText(0), QString());
    Variant r;
    EXPECT_EQ(control->Invoke(11, DISPATCH_METHOD, nullptr, 0, &r), S_OK);
    EXPECT_EQ(r.intVal, -1);
    EXPECT_EQ(control->Invoke(8, DISPATCH_METHOD, nullptr, 0, &r), S_OK);
    EXPECT_EQ(r.intVal, 0);
    HKEY key = nullptr;
    ASSERT_EQ(
        RegOpenKeyEx(HKEY_CURRENT_USER, "Software\\ZEVO2\\ZEVO2Player", KEY_QUERY_VALUE, &key),
        REG_SUCCESS);
    char value[64] = {};
    uint32_t size = sizeof(value) - 1;
    EXPECT_EQ(RegQueryValueEx(key, "DID", nullptr, reinterpret_cast<unsigned char*>(value), &size),
              REG_SUCCESS);
    RegCloseKey(key);
    EXPECT_STREQ(value, "NEWW-000001-AAAAA");
}

int CountEntries(const char* folder) {
    int count = 0;
    if (DIR* dir = opendir(folder)) {
        while (readdir(dir)) ++count;
        closedir(dir);
    }
    return count;
}

long ResidentKiB() {
    long pages = 0, resident = 0;
    if (FILE* f = std::fopen("/proc/self/statm", "r")) {
        if (std::fscanf(f, "%ld %ld", &pages, &resident) != 2) resident = 0;
        std::fclose(f);
    }
    return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

void Settle() {
    for (int i = 0; i < 20; ++i) {
        QCoreApplication::processEvents(QEventLoop::AllEvents);
        QThread::msleep(10);
    }
}

TEST_F(ControlModule, HundredControlsLeaveNothingBehind) {
    ASSERT_EQ(mModule.registerServer(), S_OK);
    QWidget parent;
    parent.resize(320, 240);
    parent.show();
    auto cycle = [&] {
        ComPtr<IDispatch> control = CreateControl();
        ComPtr<IInPlaceControl> inPlace;
        ASSERT_EQ(control.As(IID_IInPlaceControl, &inPlace), S_OK);
        ASSERT_EQ(inPlace->InPlaceActivate(&parent), S_OK);
        QCoreApplication::processEvents();
        inPlace.Reset();
        control.Reset();  // the control's destruction destroys its window and player
    };
    // Warm-up: first-use allocations of GStreamer, Qt and the transport.
    for (int i = 0; i < 10; ++i) ASSERT_NO_FATAL_FAILURE(cycle());
    Settle();
    const int threads = CountEntries("/proc/self/task");
    const int fds = CountEntries("/proc/self/fd");
    const long rss = ResidentKiB();
    for (int i = 0; i < 100; ++i) ASSERT_NO_FATAL_FAILURE(cycle());
    Settle();
    const int threadsAfter = CountEntries("/proc/self/task");
    const int fdsAfter = CountEntries("/proc/self/fd");
    const long rssAfter = ResidentKiB();
    std::printf("100 controls: threads %d -> %d, descriptors %d -> %d, RSS %ld -> %ld KiB\n",
                threads, threadsAfter, fds, fdsAfter, rss, rssAfter);
    EXPECT_EQ(mModule.canUnloadNow(), S_OK);
    EXPECT_LE(threadsAfter, threads);
    EXPECT_LE(fdsAfter, fds);
    // Allocator caches may grow a little; a leak of a graph or a window per control
    // would be megabytes.
    EXPECT_LT(rssAfter - rss, 8 * 1024);
}

}  // namespace
}  // namespace zevo
