#pragma once
// CZEVOPlayerOCXCtrl: the viewer control a container embeds. It is thin: it owns one
// PlayerDialog over its whole window and turns dispatch calls and property changes into
// calls on it. It keeps nothing with the container's document but its version, fires
// no events, and says it is safe for scripting and initialisation.
//
// CZEVOPlayerOCXPropPage: its only property page, a placeholder without settings.
#include <QPointer>
#include <QString>
#include <QWidget>
#include <cstdint>

#include "component/server.h"
#include "control/player_ocx_ids.h"

namespace zevo {

class PlayerDialog;
class CZEVOPlayerOCXCtrl;

namespace com {
struct ModuleResources;
struct TypeLib;
}  // namespace com

// The module's parsed resources (strings, templates, type library); null only when
// they are damaged, which the tests rule out.
const com::ModuleResources* OcxResources();
const com::TypeLib* OcxTypeLib();
QString OcxString(int id);

// The control's window: a child of the container's window, with the player window over
// its client area.
class ControlWindow : public QWidget {
    Q_OBJECT

public:
    ControlWindow(QWidget* parent, CZEVOPlayerOCXCtrl* control);
    ~ControlWindow() override;
    void Detach() { mControl = nullptr; }

protected:
    void paintEvent(QPaintEvent* e) override;
    void resizeEvent(QResizeEvent* e) override;
    void moveEvent(QMoveEvent* e) override;

private:
    CZEVOPlayerOCXCtrl* mControl;
};

class CZEVOPlayerOCXCtrl final : public com::IDispatch,
                                 public com::IInPlaceControl,
                                 public com::IViewObject,
                                 public com::ISpecifyPropertyPages,
                                 public com::IPersistState,
                                 public IPlayerProbe,
                                 private com::ObjectBase {
public:
    enum DispId : com::DISPID {
        dispidDID = 1,
        dispidPassword,
        dispidSavePath,
        dispidChgSelection,
        dispidStartRecord,
        dispidSelectPath,
        dispidSnapshot,
        dispidStartAV,
        dispidStopAV,
        dispidStopRecord,
        dispidGetEmailAlert,
        dispidSetEmailAlert,
    };
    // Persisted state version 1.0.
    static constexpr uint16_t kVersionMajor = 1;
    static constexpr uint16_t kVersionMinor = 0;

    // The class factory's creator.
    static com::HRESULT Create(const com::GUID& iid, void** object);

    CZEVOPlayerOCXCtrl();

    // IUnknown (shared by every interface of the control).
    com::HRESULT QueryInterface(const com::GUID& iid, void** object) override;
    uint32_t AddRef() override { return AddRefObject(); }
    uint32_t Release() override { return ReleaseObject(); }

    // IDispatch
    com::HRESULT GetIDsOfNames(const char* const* names, uint32_t count, com::DISPID* ids) override;
    com::HRESULT Invoke(com::DISPID id, uint16_t flags, const com::Variant* args, uint32_t argCount,
                        com::Variant* result) override;

    // IInPlaceControl
    com::HRESULT InPlaceActivate(QWidget* parent) override;
    QWidget* Window() override { return mWindow; }
    com::HRESULT InPlaceDeactivate() override;
    com::HRESULT DoVerb(int verb, QWidget* owner) override;

    // IViewObject
    com::HRESULT Draw(QPainter* painter, const QRect& bounds) override;

    // ISpecifyPropertyPages
    com::HRESULT GetPages(std::vector<com::GUID>* pages) override;

    // IPersistState: the version exchange.
    com::HRESULT InitNew() override;
    com::HRESULT Load(const std::vector<uint8_t>& data) override;
    com::HRESULT Save(std::vector<uint8_t>* data) override;
    com::HRESULT IsDirty() override { return mModified ? com::S_OK : com::S_FALSE; }

    // IPlayerProbe
    QString PaneText(int pane) override;
    void SetStatusListener(std::function<void(int, const QString&)> paneChanged,
                           std::function<void(const QString&)> statusQueued) override;
    int32_t GetCurrentImage(int32_t* size, unsigned char* dib) override;
    int GraphState() override;
    QString GraphName() override;
    int64_t FramesRendered() override;
    int64_t FramesDispatched() override;
    QString RecordFile() override;
    int RecordGraphState() override;

    // The automation members.
    QString GetDID() const { return mDIDProperty; }
    QString GetPassword() const { return mPasswordProperty; }
    QString GetSavePath() const { return mSavePathProperty; }
    void SetDID(const QString& value);
    void SetPassword(const QString& value);
    void SetSavePath(const QString& value);
    int32_t ChgSelection(int32_t camera);
    int32_t StartRecord();
    int32_t SelectPath();
    int32_t Snapshot();
    int32_t StartAV();
    int32_t StopAV();
    int32_t StopRecord();
    int16_t GetEmailAlert();
    int16_t SetEmailAlert(bool enable);

    // Window messages, from ControlWindow.
    int OnCreate();
    void OnDraw(QPainter* painter, const QRect& bounds, const QRect& invalid);
    void ResizePlayer();
    void OnWindowDestroyed();
    void OnProperties(QWidget* owner);

    PlayerDialog* Player() const { return mPlayer; }

private:
    ~CZEVOPlayerOCXCtrl() override;

    void OnDIDChanged();
    void OnPasswordChanged();
    void OnSavePathChanged();
    void SetModifiedFlag(bool modified) { mModified = modified; }
    void DestroyPlayer();
    void ConnectListeners();

    // The control's IObjectSafety, an interface part of its own that delegates its
    // IUnknown to the control.
    class XObjectSafety final : public com::IObjectSafety {
    public:
        explicit XObjectSafety(CZEVOPlayerOCXCtrl* outer) : mOuter(outer) {}
        com::HRESULT QueryInterface(const com::GUID& iid, void** object) override {
            return mOuter->QueryInterface(iid, object);
        }
        uint32_t AddRef() override { return mOuter->AddRef(); }
        uint32_t Release() override { return mOuter->Release(); }
        com::HRESULT GetInterfaceSafetyOptions(const com::GUID& iid, uint32_t* supported,
                                               uint32_t* enabled) override;
        com::HRESULT SetInterfaceSafetyOptions(const com::GUID& iid, uint32_t mask,
                                               uint32_t enabled) override;

    private:
        CZEVOPlayerOCXCtrl* mOuter;
    };

    XObjectSafety mObjectSafety;
    QString mDIDProperty;
    QString mPasswordProperty;
    QString mSavePathProperty;
    PlayerDialog* mPlayer;

    ControlWindow* mWindow = nullptr;
    bool mModified = false;
    uint32_t mVersionLoaded = 0;
    std::function<void(int, const QString&)> mPaneListener;
    std::function<void(const QString&)> mStatusListener;
};

class CZEVOPlayerOCXPropPage final : public com::IPropertyPage, private com::ObjectBase {
public:
    static com::HRESULT Create(const com::GUID& iid, void** object);

    com::HRESULT QueryInterface(const com::GUID& iid, void** object) override;
    uint32_t AddRef() override { return AddRefObject(); }
    uint32_t Release() override { return ReleaseObject(); }
    com::HRESULT SetObjects(uint32_t count, com::IUnknown* const* objects) override;
    com::HRESULT GetPageInfo(std::string* title, int* width, int* height) override;
    com::HRESULT Activate(QWidget* parent) override;
    com::HRESULT Deactivate() override;

private:
    CZEVOPlayerOCXPropPage() = default;
    ~CZEVOPlayerOCXPropPage() override;
    void ReleaseObjects();

    std::vector<com::IUnknown*> mObjects;
    QPointer<QWidget> mPage;
};

}  // namespace zevo
