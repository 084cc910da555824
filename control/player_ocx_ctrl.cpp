#include "control/player_ocx_ctrl.h"

#include <QDialog>
#include <QLabel>
#include <QPaintEvent>
#include <QPainter>
#include <QPointer>
#include <cstring>

#include "component/property_frame.h"
#include "component/resources.h"
#include "component/typelib.h"
#include "control/player_dialog.h"
#include "platform/registry.h"
#include "session/transport.h"

namespace zevo {

using namespace com;

namespace {

const TypeInterface* DispatchInterface() {
    const TypeLib* lib = OcxTypeLib();
    return lib ? lib->FindInterface("_DZEVOPlayerOCX") : nullptr;
}

QString Text(const Variant& v) {
    return QString::fromStdString(v.strVal);
}

}  // namespace

// ---- The window ------------------------------------------------------------------------

ControlWindow::ControlWindow(QWidget* parent, CZEVOPlayerOCXCtrl* control)
    : QWidget(parent), mControl(control) {
    setObjectName(QStringLiteral("ZEVOPlayerOCXCtrl"));
}

ControlWindow::~ControlWindow() {
    // The player window goes with its parent, with its whole shut-down order.
    if (mControl) mControl->OnWindowDestroyed();
}

void ControlWindow::paintEvent(QPaintEvent* e) {
    if (!mControl) return;
    QPainter painter(this);
    mControl->OnDraw(&painter, rect(), e->rect());
}

void ControlWindow::resizeEvent(QResizeEvent* e) {
    QWidget::resizeEvent(e);
    if (mControl) mControl->ResizePlayer();
}

void ControlWindow::moveEvent(QMoveEvent* e) {
    QWidget::moveEvent(e);
    if (mControl) mControl->ResizePlayer();
}

// ---- Life ----------------------------------------------------------------------------------

HRESULT CZEVOPlayerOCXCtrl::Create(const GUID& iid, void** object) {
    auto* control = new (std::nothrow) CZEVOPlayerOCXCtrl;
    if (!control) return E_OUTOFMEMORY;
    control->AddRef();
    const HRESULT hr = control->QueryInterface(iid, object);
    control->Release();
    return hr;
}

CZEVOPlayerOCXCtrl::CZEVOPlayerOCXCtrl() : mObjectSafety(this), mPlayer(nullptr) {}

CZEVOPlayerOCXCtrl::~CZEVOPlayerOCXCtrl() {
    DestroyPlayer();
    if (mWindow) {
        mWindow->Detach();
        delete mWindow;
        mWindow = nullptr;
    }
}

void CZEVOPlayerOCXCtrl::DestroyPlayer() {
    if (!mPlayer) return;
    mPlayer->Destroy();
    delete mPlayer;
    mPlayer = nullptr;
}

void CZEVOPlayerOCXCtrl::OnWindowDestroyed() {
    // A window taken away by the container takes the player window with it; the
    // control stays usable, with every call harmless.
    DestroyPlayer();
    mWindow = nullptr;
}

HRESULT CZEVOPlayerOCXCtrl::QueryInterface(const GUID& iid, void** object) {
    if (!object) return E_POINTER;
    if (iid == IID_IUnknown || iid == IID_IDispatch || iid == DIID__DZEVOPlayerOCX) {
        *object = static_cast<IDispatch*>(this);
    } else if (iid == IID_IObjectSafety) {
        *object = static_cast<IObjectSafety*>(&mObjectSafety);
    } else if (iid == IID_IInPlaceControl) {
        *object = static_cast<IInPlaceControl*>(this);
    } else if (iid == IID_IViewObject) {
        *object = static_cast<IViewObject*>(this);
    } else if (iid == IID_ISpecifyPropertyPages) {
        *object = static_cast<ISpecifyPropertyPages*>(this);
    } else if (iid == IID_IPersistState) {
        *object = static_cast<IPersistState*>(this);
    } else if (iid == IID_IPlayerProbe) {
        *object = static_cast<IPlayerProbe*>(this);
    } else {
        *object = nullptr;
        return E_NOINTERFACE;
    }
    AddRef();
    return S_OK;
}

// ---- Window ------------------------------------------------------------------------------

HRESULT CZEVOPlayerOCXCtrl::InPlaceActivate(QWidget* parent) {
    if (mWindow) return S_OK;
    mWindow = new ControlWindow(parent, this);
    if (OnCreate() < 0) {
        mWindow->Detach();
        delete mWindow;
        mWindow = nullptr;
        return E_FAIL;
    }
    mWindow->show();
    return S_OK;
}

HRESULT CZEVOPlayerOCXCtrl::InPlaceDeactivate() {
    delete mWindow;  // runs OnWindowDestroyed
    mWindow = nullptr;
    return S_OK;
}

int CZEVOPlayerOCXCtrl::OnCreate() {
    mPlayer = new (std::nothrow) PlayerDialog(mWindow, &PpppTransport());
    // Without a player the control shows its own drawing only.
    if (!mPlayer) return 0;
    mPlayer->Create();
    ResizePlayer();
    mPlayer->show();
    mDIDProperty = QString::fromStdString(mPlayer->mSettings.mDID);
    mPasswordProperty = QString::fromStdString(mPlayer->mSettings.mPassword);
    mSavePathProperty = QString::fromStdString(mPlayer->mSettings.mSavePath);
    ConnectListeners();
    return 0;
}

void CZEVOPlayerOCXCtrl::ResizePlayer() {
    if (mPlayer && mWindow) mPlayer->setGeometry(mWindow->rect());
}

void CZEVOPlayerOCXCtrl::OnDraw(QPainter* painter, const QRect& bounds, const QRect&) {
    painter->fillRect(bounds, Qt::white);
    painter->drawEllipse(bounds);
}

HRESULT CZEVOPlayerOCXCtrl::Draw(QPainter* painter, const QRect& bounds) {
    if (!painter) return E_POINTER;
    OnDraw(painter, bounds, bounds);
    return S_OK;
}

HRESULT CZEVOPlayerOCXCtrl::DoVerb(int verb, QWidget* owner) {
    if (verb != OLEIVERB_PROPERTIES) return E_NOTIMPL;
    OnProperties(owner);
    return S_OK;
}

void CZEVOPlayerOCXCtrl::OnProperties(QWidget* owner) {
    std::vector<GUID> pages;
    GetPages(&pages);
    QDialog* frame = CreatePropertyFrame(
        owner ? owner : mWindow, (OcxString(1) + QStringLiteral(" Properties")).toStdString(),
        static_cast<IDispatch*>(this), pages);
    if (frame) frame->show();
}

HRESULT CZEVOPlayerOCXCtrl::GetPages(std::vector<GUID>* pages) {
    if (!pages) return E_POINTER;
    *pages = {CLSID_ZEVOPlayerOCXPropPage};
    return S_OK;
}

// ---- Persistence ------------------------------------------------------------------------

HRESULT CZEVOPlayerOCXCtrl::InitNew() {
    mVersionLoaded = uint32_t(kVersionMajor) << 16 | kVersionMinor;
    mModified = false;
    return S_OK;
}

HRESULT CZEVOPlayerOCXCtrl::Load(const std::vector<uint8_t>& data) {
    // The version exchange: any earlier version converts, as there is nothing else.
    if (data.size() < 4) return E_FAIL;
    mVersionLoaded = uint32_t(data[0]) | uint32_t(data[1]) << 8 | uint32_t(data[2]) << 16 |
                     uint32_t(data[3]) << 24;
    mModified = false;
    return S_OK;
}

HRESULT CZEVOPlayerOCXCtrl::Save(std::vector<uint8_t>* data) {
    if (!data) return E_POINTER;
    const uint32_t version = uint32_t(kVersionMajor) << 16 | kVersionMinor;
    *data = {uint8_t(version), uint8_t(version >> 8), uint8_t(version >> 16),
             uint8_t(version >> 24)};
    mModified = false;
    return S_OK;
}

// ---- Dispatch ---------------------------------------------------------------------------

HRESULT CZEVOPlayerOCXCtrl::GetIDsOfNames(const char* const* names, uint32_t count, DISPID* ids) {
    if (!names || !ids || count == 0) return E_INVALIDARG;
    const TypeInterface* itf = DispatchInterface();
    const TypeMember* member = itf && names[0] ? itf->FindName(names[0]) : nullptr;
    HRESULT hr = S_OK;
    ids[0] = member ? member->id : DISPID_UNKNOWN;
    if (!member) hr = DISP_E_UNKNOWNNAME;
    // Further names are the member's parameters, numbered from 0.
    for (uint32_t i = 1; i < count; ++i) {
        ids[i] = DISPID_UNKNOWN;
        if (!member) continue;
        for (size_t p = 0; p < member->params.size(); ++p) {
            if (names[i] && RegNamesEqual(member->params[p].name.c_str(), names[i])) {
                ids[i] = static_cast<DISPID>(p);
            }
        }
        if (ids[i] == DISPID_UNKNOWN) hr = DISP_E_UNKNOWNNAME;
    }
    return hr;
}

HRESULT CZEVOPlayerOCXCtrl::Invoke(DISPID id, uint16_t flags, const Variant* args,
                                   uint32_t argCount, Variant* result) {
    const TypeInterface* itf = DispatchInterface();
    const TypeMember* member = itf ? itf->FindId(id) : nullptr;
    if (!member) return DISP_E_MEMBERNOTFOUND;
    if (argCount > 0 && !args) return E_INVALIDARG;
    Variant out;
    if (member->kind == TypeMember::Kind::Property) {
        if (flags & DISPATCH_PROPERTYPUT) {
            if (argCount != 1) return DISP_E_BADPARAMCOUNT;
            Variant value;
            if (FAILED(VariantChangeType(&value, args[0], member->type)))
                return DISP_E_TYPEMISMATCH;
            if (id == dispidDID)
                SetDID(Text(value));
            else if (id == dispidPassword)
                SetPassword(Text(value));
            else
                SetSavePath(Text(value));
            return S_OK;
        }
        if (!(flags & (DISPATCH_PROPERTYGET | DISPATCH_METHOD))) return DISP_E_MEMBERNOTFOUND;
        if (argCount != 0) return DISP_E_BADPARAMCOUNT;
        const QString value = id == dispidDID        ? GetDID()
                              : id == dispidPassword ? GetPassword()
                                                     : GetSavePath();
        if (result) *result = Variant::Str(value.toStdString());
        return S_OK;
    }
    if (!(flags & DISPATCH_METHOD)) return DISP_E_MEMBERNOTFOUND;
    if (argCount != member->params.size()) return DISP_E_BADPARAMCOUNT;
    Variant arg;
    if (argCount == 1 && FAILED(VariantChangeType(&arg, args[0], member->params[0].type))) {
        return DISP_E_TYPEMISMATCH;
    }
    switch (id) {
        case dispidChgSelection:
            out = Variant::I4(ChgSelection(arg.intVal));
            break;
        case dispidStartRecord:
            out = Variant::I4(StartRecord());
            break;
        case dispidSelectPath:
            out = Variant::I4(SelectPath());
            break;
        case dispidSnapshot:
            out = Variant::I4(Snapshot());
            break;
        case dispidStartAV:
            out = Variant::I4(StartAV());
            break;
        case dispidStopAV:
            out = Variant::I4(StopAV());
            break;
        case dispidStopRecord:
            out = Variant::I4(StopRecord());
            break;
        case dispidGetEmailAlert:
            out = Variant::I2(GetEmailAlert());
            break;
        case dispidSetEmailAlert:
            out = Variant::I2(SetEmailAlert(arg.intVal != 0));
            break;
        default:
            return DISP_E_MEMBERNOTFOUND;
    }
    if (result) *result = out;
    return S_OK;
}

// ---- The automation members ---------------------------------------------------------

void CZEVOPlayerOCXCtrl::SetDID(const QString& value) {
    mDIDProperty = value;
    OnDIDChanged();
}

void CZEVOPlayerOCXCtrl::SetPassword(const QString& value) {
    mPasswordProperty = value;
    OnPasswordChanged();
}

void CZEVOPlayerOCXCtrl::SetSavePath(const QString& value) {
    mSavePathProperty = value;
    OnSavePathChanged();
}

// Without a player the value is kept in the property and reaches no player: a player
// created later loads its own settings and the property follows them.
void CZEVOPlayerOCXCtrl::OnDIDChanged() {
    if (mPlayer) mPlayer->mSettings.mDID = mDIDProperty.toStdString();
    SetModifiedFlag(true);
}

void CZEVOPlayerOCXCtrl::OnPasswordChanged() {
    if (mPlayer) mPlayer->mSettings.mPassword = mPasswordProperty.toStdString();
    SetModifiedFlag(true);
}

void CZEVOPlayerOCXCtrl::OnSavePathChanged() {
    if (mPlayer) mPlayer->mSettings.mSavePath = mSavePathProperty.toStdString();
    SetModifiedFlag(true);
}

int32_t CZEVOPlayerOCXCtrl::ChgSelection(int32_t camera) {
    if (mPlayer && camera >= 0) mPlayer->ChgSelection(camera);
    return 0;
}

int32_t CZEVOPlayerOCXCtrl::StartRecord() {
    if (mPlayer) mPlayer->StartRecord();
    return 0;
}

int32_t CZEVOPlayerOCXCtrl::SelectPath() {
    if (!mPlayer) return 0;
    mPlayer->SelectPath();
    mSavePathProperty = QString::fromStdString(mPlayer->mSettings.mSavePath);
    return 0;
}

int32_t CZEVOPlayerOCXCtrl::Snapshot() {
    if (mPlayer) mPlayer->Snapshot();
    return 0;
}

int32_t CZEVOPlayerOCXCtrl::StartAV() {
    if (mPlayer) mPlayer->StartSession();
    return 0;
}

int32_t CZEVOPlayerOCXCtrl::StopAV() {
    if (mPlayer) mPlayer->StopSession();
    return 0;
}

int32_t CZEVOPlayerOCXCtrl::StopRecord() {
    if (mPlayer) mPlayer->StopRecord();
    return 0;
}

int16_t CZEVOPlayerOCXCtrl::GetEmailAlert() {
    return mPlayer ? mPlayer->GetEmailAlert() : -1;
}

int16_t CZEVOPlayerOCXCtrl::SetEmailAlert(bool enable) {
    return mPlayer ? mPlayer->SetEmailAlert(enable) : -1;
}

// ---- Object safety -----------------------------------------------------------------------

HRESULT CZEVOPlayerOCXCtrl::XObjectSafety::GetInterfaceSafetyOptions(const GUID& iid,
                                                                     uint32_t* supported,
                                                                     uint32_t* enabled) {
    if (!supported || !enabled) return E_POINTER;
    IUnknown* found = nullptr;
    const HRESULT hr = mOuter->QueryInterface(iid, reinterpret_cast<void**>(&found));
    if (SUCCEEDED(hr) && found) found->Release();
    *supported = INTERFACESAFE_FOR_UNTRUSTED_CALLER | INTERFACESAFE_FOR_UNTRUSTED_DATA;
    *enabled = INTERFACESAFE_FOR_UNTRUSTED_CALLER | INTERFACESAFE_FOR_UNTRUSTED_DATA;
    return SUCCEEDED(hr) ? S_OK : E_NOINTERFACE;
}

HRESULT CZEVOPlayerOCXCtrl::XObjectSafety::SetInterfaceSafetyOptions(const GUID& iid, uint32_t mask,
                                                                     uint32_t enabled) {
    IUnknown* found = nullptr;
    if (FAILED(mOuter->QueryInterface(iid, reinterpret_cast<void**>(&found))) || !found) {
        return E_NOINTERFACE;
    }
    found->Release();
    const uint32_t known = INTERFACESAFE_FOR_UNTRUSTED_CALLER | INTERFACESAFE_FOR_UNTRUSTED_DATA;
    // Only ever switched on: a request to switch an option off fails.
    return (mask & ~known) == 0 && (mask & enabled) == mask ? S_OK : E_FAIL;
}

// ---- Probe --------------------------------------------------------------------------------

void CZEVOPlayerOCXCtrl::ConnectListeners() {
    if (!mPlayer) return;
    QObject::connect(mPlayer, &PlayerDialog::PaneTextChanged, mPlayer,
                     [this](int pane, const QString& text) {
                         if (mPaneListener) mPaneListener(pane, text);
                     });
    QObject::connect(mPlayer, &PlayerDialog::StatusMessageQueued, mPlayer,
                     [this](const QString& text) {
                         if (mStatusListener) mStatusListener(text);
                     });
}

QString CZEVOPlayerOCXCtrl::PaneText(int pane) {
    return mPlayer ? mPlayer->PaneText(pane) : QString();
}

void CZEVOPlayerOCXCtrl::SetStatusListener(std::function<void(int, const QString&)> paneChanged,
                                           std::function<void(const QString&)> statusQueued) {
    mPaneListener = std::move(paneChanged);
    mStatusListener = std::move(statusQueued);
}

int32_t CZEVOPlayerOCXCtrl::GetCurrentImage(int32_t* size, unsigned char* dib) {
    if (!mPlayer || !mPlayer->mVideoGraph) return -1;
    return mPlayer->mVideoGraph->GetCurrentImage(size, dib);
}

int CZEVOPlayerOCXCtrl::GraphState() {
    return mPlayer && mPlayer->mVideoGraph ? mPlayer->mVideoGraph->GraphState() : -1;
}

QString CZEVOPlayerOCXCtrl::GraphName() {
    return mPlayer && mPlayer->mVideoGraph
               ? QString::fromStdString(mPlayer->mVideoGraph->GraphName())
               : QString();
}

int64_t CZEVOPlayerOCXCtrl::FramesRendered() {
    return mPlayer && mPlayer->mVideoGraph
               ? static_cast<int64_t>(mPlayer->mVideoGraph->FramesRendered())
               : -1;
}

int64_t CZEVOPlayerOCXCtrl::FramesDispatched() {
    return mPlayer ? static_cast<int64_t>(mPlayer->Core().mFrameCount.load()) : -1;
}

QString CZEVOPlayerOCXCtrl::RecordFile() {
    return mPlayer && mPlayer->mRecordGraph
               ? QString::fromStdString(mPlayer->mRecordGraph->FileName())
               : QString();
}

int CZEVOPlayerOCXCtrl::RecordGraphState() {
    return mPlayer && mPlayer->mRecordGraph ? mPlayer->mRecordGraph->GraphState() : -1;
}

// ---- Property page ------------------------------------------------------------------------

HRESULT CZEVOPlayerOCXPropPage::Create(const GUID& iid, void** object) {
    auto* page = new (std::nothrow) CZEVOPlayerOCXPropPage;
    if (!page) return E_OUTOFMEMORY;
    page->AddRef();
    const HRESULT hr = page->QueryInterface(iid, object);
    page->Release();
    return hr;
}

CZEVOPlayerOCXPropPage::~CZEVOPlayerOCXPropPage() {
    Deactivate();
    ReleaseObjects();
}

HRESULT CZEVOPlayerOCXPropPage::QueryInterface(const GUID& iid, void** object) {
    if (!object) return E_POINTER;
    if (iid == IID_IUnknown || iid == IID_IPropertyPage) {
        *object = static_cast<IPropertyPage*>(this);
        AddRef();
        return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
}

void CZEVOPlayerOCXPropPage::ReleaseObjects() {
    for (IUnknown* object : mObjects) object->Release();
    mObjects.clear();
}

HRESULT CZEVOPlayerOCXPropPage::SetObjects(uint32_t count, IUnknown* const* objects) {
    if (count > 0 && !objects) return E_POINTER;
    ReleaseObjects();
    for (uint32_t i = 0; i < count; ++i) {
        if (!objects[i]) continue;
        objects[i]->AddRef();
        mObjects.push_back(objects[i]);
    }
    return S_OK;
}

namespace {

// Template 200 in pixels: dialog units of the 8-point dialog font (4 x 8 units to a
// 6 x 13-pixel character cell).
int DialogX(int units) {
    return units * 6 / 4;
}
int DialogY(int units) {
    return units * 13 / 8;
}

struct PageTemplate {
    int width = 250;
    int height = 62;
    QRect textRect{7, 25, 229, 16};
    QString text;
};

PageTemplate ReadPageTemplate() {
    PageTemplate t;
    const std::string* data = OcxResources() ? OcxResources()->Find("DIALOG", 200) : nullptr;
    if (!data) return t;
    for (const QString& line : QString::fromStdString(*data).split(QLatin1Char('\n'))) {
        const QStringList w = line.split(QLatin1Char(' '), Qt::SkipEmptyParts);
        if (w.size() >= 3 && w[0] == QLatin1String("SIZE")) {
            t.width = w[1].toInt();
            t.height = w[2].toInt();
        } else if (w.size() >= 6 && w[0] == QLatin1String("LTEXT")) {
            t.textRect = QRect(w[2].toInt(), w[3].toInt(), w[4].toInt(), w[5].toInt());
        } else if (line.startsWith(QLatin1String("TEXT "))) {
            t.text = line.mid(5);
        }
    }
    return t;
}

}  // namespace

HRESULT CZEVOPlayerOCXPropPage::GetPageInfo(std::string* title, int* width, int* height) {
    const PageTemplate t = ReadPageTemplate();
    if (title) *title = OcxString(200).toStdString();
    if (width) *width = DialogX(t.width);
    if (height) *height = DialogY(t.height);
    return S_OK;
}

HRESULT CZEVOPlayerOCXPropPage::Activate(QWidget* parent) {
    if (mPage) return S_OK;
    const PageTemplate t = ReadPageTemplate();
    mPage = new QWidget(parent);
    mPage->setObjectName(QStringLiteral("ZEVOPlayerOCXPropPage"));
    mPage->setFixedSize(DialogX(t.width), DialogY(t.height));
    auto* label = new QLabel(t.text, mPage);
    label->setGeometry(DialogX(t.textRect.x()), DialogY(t.textRect.y()),
                       DialogX(t.textRect.width()), DialogY(t.textRect.height()));
    label->setWordWrap(true);
    // The page exchanges no properties: there is nothing to apply.
    return S_OK;
}

HRESULT CZEVOPlayerOCXPropPage::Deactivate() {
    // The frame may have destroyed the page's parent, and with it the page.
    delete mPage.data();
    mPage = nullptr;
    return S_OK;
}

}  // namespace zevo
