#pragma once
// The player window: a child window over the control's client area that owns every
// piece of a viewing's run-time state. The session threads' state lives in a shared
// SessionCore; the window runs the session controller, the event and timer handlers and
// the status bar, all on its own (the host's user-interface) thread. Window messages
// are posted Qt events, window timers Qt timers under their own ids.
#include <QBrush>
#include <QEvent>
#include <QHash>
#include <QString>
#include <QWidget>
#include <array>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "capture/record_graph.h"
#include "capture/settings.h"
#include "media/video_graph.h"
#include "session/session_core.h"

class QLabel;

namespace zevo {

// A posted window message: the message number with its two parameters, and the session
// serial of the thread that posted it (0 when the window posted it itself).
class WindowMessageEvent : public QEvent {
public:
    static QEvent::Type EventType();
    WindowMessageEvent(uint32_t message, uintptr_t wParam, intptr_t lParam, uint32_t serial = 0)
        : QEvent(EventType()),
          mMessage(message),
          mWParam(wParam),
          mLParam(lParam),
          mSerial(serial) {}
    uint32_t mMessage;
    uintptr_t mWParam;
    intptr_t mLParam;
    uint32_t mSerial;
};

class PlayerDialog : public QWidget, private SessionEvents {
    Q_OBJECT

public:
    // Status bar height and pane widths (pane 3 takes the rest).
    static constexpr int kStatusBarHeight = 22;
    static constexpr std::array<int, 3> kPaneWidths = {275, 125, 45};
    static constexpr const char* kVersion = "2.0.7";
    // Bounds of the stop hand-shake's waits.
    static constexpr uint32_t kConsumerStopBoundMs = 1000;
    static constexpr uint32_t kDestroyBoundMs = 2000;
    // The timer of the next try to open a lost session again, and the longest wait.
    static constexpr uint32_t TIMER_RECONNECT = 103;
    static constexpr uint32_t kReconnectMaxSeconds = 30;

    // The constructor only sets the members and creates the queues; Create runs the
    // window's creation (OnCreate, then OnInitDialog). transport null: the P2P library.
    explicit PlayerDialog(QWidget* parent, Transport* transport = nullptr);
    ~PlayerDialog() override;

    bool Create();
    // Runs OnDestroy once (also done by the destructor when nobody did it before).
    void Destroy();

    // Session controller.
    bool InitTransport();
    void StartSession();
    bool ConnectSession();
    void CloseSession();
    void StopSession();
    int OnDelayedStart(uintptr_t wParam, intptr_t lParam);

    // Events and status display.
    int OnSessionEvent(uintptr_t wParam, intptr_t lParam);
    // Shows a failure of the sound output or the video graph (statistics timer).
    void ReportMediaFailures();
    // Shows "Reconnecting...(n)" and sets the timer of try n (1 s, 2 s, 4 s ... 30 s).
    void ScheduleReconnect();
    void OnReconnectTimer();
    void OnTimer(uint32_t id);
    void ShowStatusMessage(const QString& text);
    void UpdateClockPanes();
    void SetStatusText(const QString& text);

    // Device options.
    void ChgSelection(int32_t camera);
    int16_t GetEmailAlert();
    int16_t SetEmailAlert(bool enable);

    // Captures: recording (0 always; StopRecord 1 when a recording was stopped, else
    // 0), snapshot of the picture shown, choice of the save folder.
    int StartRecord();
    int StopRecord();
    void Snapshot();
    void SelectPath();

    // Settings store.
    void LoadSettings();
    void SaveSettings();

    // Layout.
    void PlaceStatusBar();
    void PlaceVideo();

    // Posts a window message to this window (any thread).
    void PostMessage(uint32_t message, uintptr_t wParam, intptr_t lParam);
    // Timer service with the window's own ids; SetTimer returns the id.
    uint32_t SetTimer(uint32_t id, uint32_t periodMs);
    void KillTimer(uint32_t id);
    bool TimerRunning(uint32_t id) const { return mQtTimers.contains(id); }

    QString PaneText(int pane) const;
    SessionCore& Core() { return *mCore; }
    const std::shared_ptr<SessionCore>& SharedCore() const { return mCore; }

    // Members of the window (the shared session state is in mCore).
    PlayerSettings mSettings;  // mDID, mPassword, mSavePath and mRegistry
    QBrush mBackgroundBrush;
    std::mutex mSessionLock;
    uint32_t mClockTimer = 0;
    uint32_t mMessageTimer = 0;
    uint32_t mStatsTimer = 0;
    int32_t mInitResult = -1;
    int32_t mRelaySeconds = -1;
    int32_t mLastFrameCount = 0;
    int32_t mNoVideoTicks = 0;
    std::unique_ptr<VideoGraph> mVideoGraph;
    std::unique_ptr<RecordGraph> mRecordGraph;
    uint8_t mUserStopped = 0;
    QString mPendingStatus;
    // Times the stop hand-shake found a worker still inside a sink after its bound and
    // therefore left the sink's graph or output alone.
    int mUnsafeReleasesSkipped = 0;
    // The sound and the video failures of the running session have been shown.
    bool mSoundFailureShown = false;
    bool mVideoFailureShown = false;
    // Tries to open a lost session again since it was lost (AutoReconnect).
    int32_t mReconnectTries = 0;
    // A recording ran when the session was lost: a new one starts when it is back.
    bool mRecordAfterReconnect = false;

signals:
    // Every change of a pane's text.
    void PaneTextChanged(int pane, const QString& text);
    // Every text handed to ShowStatusMessage, shown or replaced before it could be.
    void StatusMessageQueued(const QString& text);

protected:
    bool event(QEvent* e) override;
    void timerEvent(QTimerEvent* e) override;
    void moveEvent(QMoveEvent* e) override;
    void resizeEvent(QResizeEvent* e) override;

private:
    int OnCreate();
    bool CreateStatusBar();
    bool OnInitDialog();
    void OnDestroy();
    void OnMoveOrSize();
    void SetPaneText(int pane, const QString& text);
    void RebuildVideoGraph();
    void CompleteCutRecordings();
    void BuildVideoGraph();
    QString ModeText() const;
    QString RemoteText() const;
    int RemotePort() const;

    void PostSessionEvent(uint32_t wParam, int32_t lParam, uint32_t serial) override;

    std::shared_ptr<SessionCore> mCore;
    Transport* mTransport;
    QWidget* mStatusBar = nullptr;
    std::array<QLabel*, 4> mPanes{};
    QHash<uint32_t, int> mQtTimers;  // window id -> Qt timer id
    QHash<int, uint32_t> mTimerIds;  // Qt timer id -> window id
    // The save folder whose cut-off recordings this window has completed.
    std::optional<std::string> mCompletedFolder;
    bool mCreated = false;
    bool mDestroyed = false;
};

}  // namespace zevo
