#include "control/player_dialog.h"

#include <arpa/inet.h>

#include <QCoreApplication>
#include <QFont>
#include <QHBoxLayout>
#include <QLabel>
#include <QPalette>
#include <QTimerEvent>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "capture/avi_file.h"
#include "capture/folder_browser.h"
#include "media/audio_output.h"
#include "p2p/init_string.h"
#include "platform/message_box.h"
#include "session/aes.h"

namespace zevo {

namespace {

// The transport library's initialisation parameter (90 letters and the NUL), handed over
// unchanged; the library owns its meaning.
constexpr const char (&kP2PInitString)[91] = p2p::kP2pInitString;

constexpr const char* kCaptionTips = "Tips";
constexpr const char* kPressStart = "Press start button to run.";

// Pushes frames into the live or the recording graph on the video consumer's thread.
template <typename Graph>
class GraphVideoPush final : public VideoPush {
public:
    explicit GraphVideoPush(Graph* graph) : mGraph(graph) {}
    int32_t PushVideo(int32_t streamId, const unsigned char* data, int32_t length) override {
        return mGraph->PushVideo(streamId, data, length);
    }
    int32_t PushTracedVideo(int32_t streamId, const unsigned char* data, int32_t length,
                            uint32_t frameId) override {
        if constexpr (requires(Graph * g) { g->PushVideo(streamId, data, length, frameId); }) {
            return mGraph->PushVideo(streamId, data, length, frameId);
        } else {
            return mGraph->PushVideo(streamId, data, length);
        }
    }

private:
    Graph* mGraph;
};

// The process-wide audio output, where each window is a source of its own: the windows'
// sounds are mixed, not queued one after another.
class AudioOutputWrite final : public AudioWrite {
public:
    int WriteAudio(const void* samples, int byteCount) override {
        return ::WriteAudioFrom(this, samples, byteCount);
    }
};

// {camera, 0}: the payload of the stream and session commands.
struct StreamPayload {
    unsigned char bytes[8] = {};
    explicit StreamPayload(int32_t camera) { wire::Put32(bytes, static_cast<uint32_t>(camera)); }
};

}  // namespace

QEvent::Type WindowMessageEvent::EventType() {
    static const auto type = static_cast<QEvent::Type>(QEvent::registerEventType());
    return type;
}

PlayerDialog::PlayerDialog(QWidget* parent, Transport* transport)
    : QWidget(parent),
      mVideoGraph(std::make_unique<VideoGraph>()),
      mRecordGraph(std::make_unique<RecordGraph>()),
      mCore(std::make_shared<SessionCore>()),
      mTransport(transport ? transport : &NullTransport()) {
    mCore->SetTransport(mTransport);
    mCore->SetLiveVideo(std::make_shared<GraphVideoPush<VideoGraph>>(mVideoGraph.get()));
    mCore->SetRecordVideo(std::make_shared<GraphVideoPush<RecordGraph>>(mRecordGraph.get()));
    mCore->SetAudio(std::make_shared<AudioOutputWrite>());
    mCore->SetEvents(this);
}

PlayerDialog::~PlayerDialog() {
    Destroy();
}

bool PlayerDialog::Create() {
    if (mCreated) return true;
    // The initial size of the window's template; the control moves it over its client
    // area at once.
    resize(678, 517);
    if (OnCreate() < 0) return false;
    mCreated = true;
    OnInitDialog();
    return true;
}

void PlayerDialog::Destroy() {
    if (mDestroyed) return;
    mDestroyed = true;
    if (mCreated) {
        OnDestroy();
    } else {
        mCore->SetEvents(nullptr);
    }
}

// ---- Creation and destruction ---------------------------------------------------------

int PlayerDialog::OnCreate() {
    CreateStatusBar();
    PlaceStatusBar();
    return 0;
}

bool PlayerDialog::CreateStatusBar() {
    mStatusBar = new QWidget(this);
    mStatusBar->setObjectName(QStringLiteral("statusBar"));
    mStatusBar->setAutoFillBackground(true);
    QPalette barPalette = mStatusBar->palette();
    barPalette.setColor(QPalette::Window, QColor(240, 240, 240));
    barPalette.setColor(QPalette::WindowText, Qt::black);
    mStatusBar->setPalette(barPalette);
    // The panes have fixed pixel widths made for a small status font; with the desktop's
    // default font the clock pane would cut its seconds.
    QFont barFont = mStatusBar->font();
    barFont.setPixelSize(11);
    mStatusBar->setFont(barFont);
    auto* layout = new QHBoxLayout(mStatusBar);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    const char* initial[4] = {"Ready", "Time", " ", " "};
    for (int i = 0; i < 4; ++i) {
        auto* pane = new QLabel(QString::fromLatin1(initial[i]), mStatusBar);
        pane->setFrameStyle(QFrame::Panel | QFrame::Sunken);
        pane->setTextFormat(Qt::PlainText);
        if (i < 3) {
            pane->setFixedWidth(kPaneWidths[static_cast<size_t>(i)]);
            layout->addWidget(pane);
        } else {
            layout->addWidget(pane, 1);
        }
        mPanes[static_cast<size_t>(i)] = pane;
    }
    UpdateClockPanes();
    if (mClockTimer != 0) KillTimer(mClockTimer);
    mClockTimer = SetTimer(TIMER_CLOCK, 1000);
    SetStatusText(QStringLiteral("Ready"));
    PlaceStatusBar();
    mStatusBar->show();
    return true;
}

bool PlayerDialog::OnInitDialog() {
    setWindowTitle(QStringLiteral("%1(V%2)").arg(windowTitle(), QString::fromLatin1(kVersion)));
    AesInitLock();
    LoadSettings();
    CompleteCutRecordings();
    InitTransport();
    BuildVideoGraph();
    // The audio output is process-wide and opened with the window; without a device
    // it accepts and discards what it is given.
    OpenAudio();
    SetStatusText(QString::fromLatin1(kPressStart));
    mBackgroundBrush = QBrush(QColor(0, 0, 0));
    setAutoFillBackground(true);
    QPalette pal = palette();
    pal.setBrush(QPalette::Window, mBackgroundBrush);
    setPalette(pal);
    return true;
}

void PlayerDialog::OnDestroy() {
    for (uint32_t* timer : {&mClockTimer, &mMessageTimer, &mStatsTimer}) {
        if (*timer != 0) KillTimer(*timer);
        *timer = 0;
    }
    KillTimer(TIMER_RECONNECT);
    StopRecord();
    CloseSession();
    if (mInitResult >= 0) {
        mTransport->DeInitialize();
        mInitResult = -1;
    }
    SaveSettings();

    // The session is closed, so the readers' reads return and every worker ends on its
    // own; nothing a worker may still use is released before it has.
    const bool ended = mCore->WaitWorkersEnded(
        {SessionCore::Worker::MediaReader, SessionCore::Worker::CommandReader,
         SessionCore::Worker::VideoConsumer, SessionCore::Worker::AudioConsumer},
        kDestroyBoundMs);
    if (mCore->mLiveGate.Close(mCore->Ticks(), ended ? 0 : kConsumerStopBoundMs)) {
        mVideoGraph->StopGraph();
        mVideoGraph->ReleaseAll();
    } else {
        // A consumer is stuck inside the graph: leave the graph to it rather than free it.
        ++mUnsafeReleasesSkipped;
        (void)mVideoGraph.release();
    }
    if (mCore->mAudioGate.Close(mCore->Ticks(), ended ? 0 : kConsumerStopBoundMs)) {
        CloseAudio();
    } else {
        ++mUnsafeReleasesSkipped;
    }
    if (ended) {
        DestroyFrameQueue(mCore->mVideoQueue);
        mCore->mVideoQueue = nullptr;
        DestroyFrameQueue(mCore->mAudioQueue);
        mCore->mAudioQueue = nullptr;
    }
    // Otherwise the queues go with the shared state when its last worker lets go.
    AesDeleteLock();
    mBackgroundBrush = QBrush();
    mCore->SetEvents(nullptr);
}

// ---- Layout -------------------------------------------------------------------------------

void PlayerDialog::PlaceStatusBar() {
    if (!mStatusBar) return;
    const QRect client = rect();
    mStatusBar->setGeometry(0, client.height() - kStatusBarHeight, client.width(),
                            kStatusBarHeight);
}

void PlayerDialog::PlaceVideo() {
    if (!mVideoGraph) return;
    const QRect client = rect();
    mVideoGraph->SetVideoPosition(client.left(), client.top(), client.width(),
                                  client.height() - kStatusBarHeight);
}

void PlayerDialog::OnMoveOrSize() {
    PlaceStatusBar();
    PlaceVideo();
}

void PlayerDialog::moveEvent(QMoveEvent* e) {
    QWidget::moveEvent(e);
    OnMoveOrSize();
}

void PlayerDialog::resizeEvent(QResizeEvent* e) {
    QWidget::resizeEvent(e);
    OnMoveOrSize();
}

void PlayerDialog::BuildVideoGraph() {
    mVideoGraph->BuildGraph();
    mVideoGraph->AttachVideoWindow(this);
    mVideoGraph->RunGraph();
    PlaceVideo();
    // The status bar stays above the renderer.
    if (mStatusBar) mStatusBar->raise();
}

void PlayerDialog::RebuildVideoGraph() {
    if (!mVideoGraph) return;
    // Stopping the graph under a consumer that still pushes would free what it uses:
    // the consumers are waited for, then the gate makes sure no push is under way.
    mCore->WaitWorkersEnded({SessionCore::Worker::VideoConsumer}, kConsumerStopBoundMs);
    if (!mCore->mLiveGate.Close(mCore->Ticks(), kConsumerStopBoundMs)) {
        ++mUnsafeReleasesSkipped;
        mCore->mLiveGate.Open();
        return;
    }
    mVideoGraph->StopGraph();
    mVideoGraph->ReleaseAll();
    BuildVideoGraph();
    mCore->mLiveGate.Open();
}

// ---- Status bar ----------------------------------------------------------------------------

void PlayerDialog::SetPaneText(int pane, const QString& text) {
    if (pane < 0 || pane > 3 || !mPanes[static_cast<size_t>(pane)]) return;
    QLabel* label = mPanes[static_cast<size_t>(pane)];
    if (label->text() == text) return;
    label->setText(text);
    emit PaneTextChanged(pane, text);
}

QString PlayerDialog::PaneText(int pane) const {
    if (pane < 0 || pane > 3 || !mPanes[static_cast<size_t>(pane)]) return {};
    return mPanes[static_cast<size_t>(pane)]->text();
}

void PlayerDialog::SetStatusText(const QString& text) {
    SetPaneText(0, text);
}

void PlayerDialog::ShowStatusMessage(const QString& text) {
    if (mMessageTimer != 0) KillTimer(mMessageTimer);
    mPendingStatus = text;
    mMessageTimer = SetTimer(TIMER_STATUS_MESSAGE, 1);
    emit StatusMessageQueued(text);
}

void PlayerDialog::UpdateClockPanes() {
    char text[64];
    const time_t now = time(nullptr);
    struct tm local {};
    localtime_r(&now, &local);
    strftime(text, sizeof(text), "%Y-%m-%d %H:%M:%S", &local);
    SetPaneText(1, QString::fromLatin1(text));
    if (mCore->mRecording.load() != 0) {
        const long long elapsed = static_cast<long long>(now - mCore->mRecordStart);
        SetPaneText(2, QString::asprintf("R:%02lld:%02lld", elapsed / 60, elapsed % 60));
    } else {
        SetPaneText(2, QString());
    }
}

QString PlayerDialog::ModeText() const {
    return mCore->mSessionInfo.mode == 0 ? QStringLiteral("P2P") : QStringLiteral("RLY");
}

QString PlayerDialog::RemoteText() const {
    char text[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, mCore->mSessionInfo.remote + 4, text, sizeof(text));
    return QString::fromLatin1(text);
}

int PlayerDialog::RemotePort() const {
    uint16_t port;
    std::memcpy(&port, mCore->mSessionInfo.remote + 2, sizeof(port));
    return ntohs(port);
}

// ---- Messages and timers ---------------------------------------------------------------

void PlayerDialog::PostMessage(uint32_t message, uintptr_t wParam, intptr_t lParam) {
    QCoreApplication::postEvent(this, new WindowMessageEvent(message, wParam, lParam));
}

void PlayerDialog::PostSessionEvent(uint32_t wParam, int32_t lParam, uint32_t serial) {
    QCoreApplication::postEvent(this,
                                new WindowMessageEvent(WM_SESSION_EVENT, wParam, lParam, serial));
}

bool PlayerDialog::event(QEvent* e) {
    if (e->type() == WindowMessageEvent::EventType()) {
        auto* message = static_cast<WindowMessageEvent*>(e);
        if (message->mMessage == WM_SESSION_EVENT) {
            // A reader of a session that has since been closed and replaced reports
            // the end of a session that is no longer this window's.
            const bool stale = message->mSerial != 0 && message->mSerial != mCore->SessionSerial();
            if (!stale) OnSessionEvent(message->mWParam, message->mLParam);
        } else if (message->mMessage == WM_DELAYED_START) {
            OnDelayedStart(message->mWParam, message->mLParam);
        }
        return true;
    }
    return QWidget::event(e);
}

uint32_t PlayerDialog::SetTimer(uint32_t id, uint32_t periodMs) {
    KillTimer(id);
    const int qtId = startTimer(static_cast<int>(periodMs), Qt::PreciseTimer);
    if (qtId == 0) return 0;
    mQtTimers.insert(id, qtId);
    mTimerIds.insert(qtId, id);
    return id;
}

void PlayerDialog::KillTimer(uint32_t id) {
    auto it = mQtTimers.find(id);
    if (it == mQtTimers.end()) return;
    killTimer(it.value());
    mTimerIds.remove(it.value());
    mQtTimers.erase(it);
}

void PlayerDialog::timerEvent(QTimerEvent* e) {
    auto it = mTimerIds.find(e->timerId());
    if (it != mTimerIds.end()) OnTimer(it.value());
    QWidget::timerEvent(e);
}

void PlayerDialog::OnTimer(uint32_t id) {
    SessionCore& core = *mCore;
    if (id == TIMER_CLOCK) {
        UpdateClockPanes();
        if (core.mRunning.load() != 0 && mRelaySeconds >= 0) {
            ++mRelaySeconds;
            if (mRelaySeconds == 600) {
                mRelaySeconds = -1;
                PostMessage(WM_SESSION_EVENT, SESSION_EVENT_RELAY_LIMIT, 0);
            }
        }
    } else if (id == TIMER_STATUS_MESSAGE) {
        SetStatusText(mPendingStatus);
        KillTimer(TIMER_STATUS_MESSAGE);
        mMessageTimer = 0;
    } else if (id == TIMER_RECONNECT) {
        OnReconnectTimer();
    } else if (id == TIMER_STATISTICS) {
        const uint32_t frames = core.mFrameCount.load();
        const uint32_t d = frames - static_cast<uint32_t>(mLastFrameCount);
        const bool running = core.mRunning.load() != 0;
        if (d == 0 && running) {
            if (++mNoVideoTicks == 2) {
                mNoVideoTicks = 0;
                SetStatusText(
                    QString::asprintf("No video signal in channel %d", mCore->mCamera + 1));
            }
        }
        if (d != 0 && running) {
            mNoVideoTicks = 0;
            const char* mode = core.mSessionInfo.mode == 0 ? "P2P, Remote:" : "Relay, Server:";
            SetStatusText(QString::asprintf("Running...(%s%s:%d)", mode,
                                            RemoteText().toLatin1().constData(), RemotePort()));
        }
        ReportMediaFailures();
        SetPaneText(3, QString::asprintf("N:%d, FPS:%.02f, %0.2fkbps", core.mStreamChannel.load(),
                                         static_cast<double>(d) * 0.5,
                                         static_cast<double>(core.mBitRate.load())));
        mLastFrameCount = static_cast<int32_t>(frames);
    }
}

void PlayerDialog::ReportMediaFailures() {
    // Once a session each, and the session goes on: the picture may play without sound,
    // and a decoder may recover at the next key frame.
    if (mCore->mRunning.load() == 0) return;
    if (!mSoundFailureShown && mCore->mAudioWriteFailures.load() > 0) {
        mSoundFailureShown = true;
        // Without any device the output has said so once already ("no sound device").
        if (AudioHasDevice()) {
            std::fprintf(stderr, "Sound output failed: the audio device took no samples\n");
        }
        ShowStatusMessage(QStringLiteral("Sound output failed."));
    }
    if (!mVideoFailureShown && mVideoGraph && mVideoGraph->ErrorCount() > 0) {
        mVideoFailureShown = true;
        std::fprintf(stderr, "Video decoding failed: the video graph reported an error\n");
        ShowStatusMessage(QStringLiteral("Video decoding failed."));
    }
}

int PlayerDialog::OnSessionEvent(uintptr_t wParam, intptr_t lParam) {
    const auto code = static_cast<int32_t>(lParam);
    switch (wParam) {
        case SESSION_EVENT_LOST:
            ShowMessageBox(this, QString::asprintf("Connection Lost!(%d)", code),
                           QString::fromLatin1(kCaptionTips), MessageIcon::Information);
            StopSession();
            break;
        case SESSION_EVENT_RELAY_LIMIT:
            StopSession();
            ShowMessageBox(this, QStringLiteral("Relay mode can only run 600 seconds."),
                           QString::fromLatin1(kCaptionTips), MessageIcon::Information);
            break;
        case SESSION_EVENT_READ_ERROR:
        case SESSION_EVENT_OVERSIZE: {
            std::lock_guard lock(mSessionLock);
            // With AutoReconnect a session lost to the network or the device is opened
            // again by itself. A running recording ends at the gap and a new file starts
            // when the session is back: the restarted device's stream starts over.
            if (mSettings.mAutoReconnect != 0 && mUserStopped == 0 &&
                mCore->mFailureReported.load() == 0) {
                mCore->mFailureReported.store(1);
                if (StopRecord() == 1) mRecordAfterReconnect = true;
                CloseSession();
                if (!TimerRunning(TIMER_RECONNECT)) ScheduleReconnect();
                break;
            }
            StopRecord();
            CloseSession();
            if (mCore->mFailureReported.load() == 0 && mUserStopped == 0) {
                mCore->mFailureReported.store(1);
                PostMessage(WM_SESSION_EVENT, SESSION_EVENT_LOST, code);
            }
            break;
        }
        default:
            break;
    }
    return 0;
}

void PlayerDialog::ScheduleReconnect() {
    ++mReconnectTries;
    const int shift = mReconnectTries - 1 < 5 ? mReconnectTries - 1 : 5;
    uint32_t seconds = 1u << shift;
    if (seconds > kReconnectMaxSeconds) seconds = kReconnectMaxSeconds;
    ShowStatusMessage(QString::asprintf("Reconnecting...(%d)", mReconnectTries));
    SetTimer(TIMER_RECONNECT, seconds * 1000);
}

void PlayerDialog::OnReconnectTimer() {
    KillTimer(TIMER_RECONNECT);
    if (mUserStopped != 0) return;
    SessionCore& core = *mCore;
    StartSession();
    if (core.mRunning.load() != 0) {
        mReconnectTries = 0;
        if (mRecordAfterReconnect) StartRecord();
        mRecordAfterReconnect = false;
        return;
    }
    // A device that refuses the password will not accept it on the next try either.
    if (core.mLoginAnswered.load() != 0 && core.mLoggedIn.load() == 0) {
        mReconnectTries = 0;
        return;
    }
    ScheduleReconnect();
}

int PlayerDialog::OnDelayedStart(uintptr_t wParam, intptr_t) {
    if (wParam == 1) {
        mCore->Ticks().Sleep(6000);
        StartSession();
    }
    return 0;
}

// ---- Session controller ----------------------------------------------------------------

bool PlayerDialog::InitTransport() {
    if (mInitResult >= 0) return true;
    char initString[sizeof(kP2PInitString)];
    std::memcpy(initString, kP2PInitString, sizeof(initString));
    const int32_t result = mTransport->Initialize(initString);
    if (result >= 0) {
        mInitResult = result;
        return true;
    }
    ShowStatusMessage(QString::asprintf("PPPP_Initialize Error(%d).", result));
    return false;
}

void PlayerDialog::StartSession() {
    SessionCore& core = *mCore;
    mUserStopped = 0;
    core.mFrameCount.store(0);
    core.mBitRate.store(0.0f);
    core.mStreamChannel.store(0);
    mLastFrameCount = 0;

    if (core.mSession.load() < 0) {
        SetStatusText(QStringLiteral("Connecting..."));
        const int32_t session = mTransport->Connect(mSettings.mDID.c_str(), 1, 0);
        core.mSession.store(session);
        if (session < 0) {
            ShowStatusMessage(QString::asprintf("Failed...(%d), Press stop button.", session));
            return;
        }
    }
    std::memset(&core.mSessionInfo, 0, sizeof(core.mSessionInfo));
    const int32_t check = mTransport->Check(core.mSession.load(), &core.mSessionInfo);
    if (check != 0) {
        ShowStatusMessage(QString::asprintf("Failed to check session.(%d)", check));
        return;
    }
    ShowStatusMessage(QStringLiteral("Session Ready...(%1)").arg(ModeText()));
    mRelaySeconds = core.mSessionInfo.mode == 1 ? 0 : -1;
    ShowStatusMessage(QStringLiteral("Stream Data Ready..."));
    if (!ConnectSession()) return;

    StreamPayload payload(core.mCamera);
    if (core.SendCommand(core.mSession.load(), CMD_START_STREAM, payload.bytes, 8,
                         PACKET_CLASS_COMMAND) <= 0) {
        return;
    }
    ShowStatusMessage(QStringLiteral("Running...(%1, Remote:%2:%3)")
                          .arg(ModeText(), RemoteText())
                          .arg(RemotePort()));
    if (mStatsTimer != 0) KillTimer(mStatsTimer);
    mStatsTimer = SetTimer(TIMER_STATISTICS, 2000);
}

bool PlayerDialog::ConnectSession() {
    SessionCore& core = *mCore;
    // A reader of the previous session still runs. The command reader counts too: it
    // would race the reset of the login state below.
    if (core.mRunning.load() != 0 || core.mMediaReaderId.load() != 0 ||
        core.mCommandReaderId.load() != 0) {
        return false;
    }
    // A consumer of the previous session that woke into this one would play beside it on
    // the same clocks; they leave soon after a stop, so they are worth a short wait.
    if (!core.WaitWorkersEnded(
            {SessionCore::Worker::VideoConsumer, SessionCore::Worker::AudioConsumer},
            kConsumerStopBoundMs)) {
        return false;
    }
    // The login's key: at most 127 characters and the terminating NUL. Written only now
    // that no reader of the previous session can be using it.
    std::memset(core.mPasswordText, 0, sizeof(core.mPasswordText));
    std::strncpy(core.mPasswordText, mSettings.mPassword.c_str(), sizeof(core.mPasswordText) - 1);
    // Nothing of an earlier session plays in this one, perhaps from another camera, and
    // the picture starts at a key frame.
    ClearFrameQueue(core.mVideoQueue);
    ClearFrameQueue(core.mAudioQueue);
    core.mWaitFirstFrame.store(1);
    // The device starts its encoder from zero at each session, and IMA ADPCM without
    // block headers never finds its way back from another state.
    core.mAdpcmState = AdpcmState{0, 0};
    core.mAudioWriteFailures.store(0);
    mSoundFailureShown = false;
    mVideoFailureShown = false;
    core.mProtection.ClearSessionKey();
    core.mLoggedIn.store(0);
    core.mLoginAnswered.store(0);
    core.mFailureReported.store(0);
    core.NextSessionSerial();
    core.mRunning.store(1);
    if (!core.StartWorker(SessionCore::Worker::MediaReader)) {
        core.StopRunning();
        return false;
    }
    if (!core.StartWorker(SessionCore::Worker::CommandReader)) {
        core.StopRunning();
        core.Ticks().Sleep(200);
        return false;
    }
    for (int pass = 0; pass < 250; ++pass) {
        QCoreApplication::processEvents(QEventLoop::AllEvents);
        if (core.mLoginAnswered.load() != 0) break;
        core.Ticks().Sleep(40);
    }
    if (core.mLoggedIn.load() == 0) {
        CloseSession();
        ShowStatusMessage(QStringLiteral("Failed to connect(Wrong password)."));
        return false;
    }
    if (!core.StartWorker(SessionCore::Worker::VideoConsumer) ||
        !core.StartWorker(SessionCore::Worker::AudioConsumer)) {
        core.StopRunning();
        core.Ticks().Sleep(200);
        return false;
    }
    return true;
}

void PlayerDialog::CloseSession() {
    SessionCore& core = *mCore;
    core.StopRunning();
    if (core.mSession.load() >= 0) {
        StreamPayload payload(core.mCamera);
        core.SendCommand(core.mSession.load(), CMD_STOP_SESSION, payload.bytes, 8,
                         PACKET_CLASS_COMMAND);
        core.Ticks().Sleep(5);
        core.SendCommand(core.mSession.load(), CMD_STOP_STREAM, payload.bytes, 8,
                         PACKET_CLASS_COMMAND);
    }
    if (core.mSession.load() >= 0) {
        mTransport->Close(core.mSession.load());
        core.mSession.store(-1);
    }
}

void PlayerDialog::StopSession() {
    SessionCore& core = *mCore;
    mUserStopped = 1;
    SetStatusText(QString::fromLatin1(kPressStart));
    core.mFailureReported.store(1);
    core.mFrameCount.store(0);
    core.mBitRate.store(0.0f);
    core.mStreamChannel.store(0);
    mLastFrameCount = 0;
    mRelaySeconds = -1;
    KillTimer(TIMER_RECONNECT);
    mReconnectTries = 0;
    mRecordAfterReconnect = false;
    CloseSession();
    RebuildVideoGraph();
}

// ---- Device options, captures, settings ------------------------------------------------

void PlayerDialog::ChgSelection(int32_t camera) {
    mCore->ChgSelection(camera);
}

int16_t PlayerDialog::GetEmailAlert() {
    return mCore->GetEmailAlert();
}

int16_t PlayerDialog::SetEmailAlert(bool enable) {
    return mCore->SetEmailAlert(enable);
}

int PlayerDialog::StartRecord() {
    if (mCore->mRecording.load() != 0) return 0;
    CompleteCutRecordings();
    mRecordGraph->BuildGraph(mSettings.mSavePath.c_str());
    mRecordGraph->RunGraph();
    // Set only now, whatever the graph did: the video thread never sees a half-built
    // graph.
    mCore->mRecordStart = time(nullptr);
    mCore->mRecording.store(1);
    UpdateClockPanes();
    return 0;
}

int PlayerDialog::StopRecord() {
    if (mCore->mRecording.load() == 0) return 0;
    mCore->mRecording.store(0);
    // The video consumer may be inside the recording graph's push: wait until it has
    // left before the graph is released.
    if (mCore->mRecordGate.Close(mCore->Ticks(), kConsumerStopBoundMs)) {
        mRecordGraph->StopGraph();
        mRecordGraph->ReleaseAll();
    } else {
        // A consumer stuck inside the push keeps the graph; the next recording gets a
        // new one.
        ++mUnsafeReleasesSkipped;
        (void)mRecordGraph.release();
        mRecordGraph = std::make_unique<RecordGraph>();
        mCore->SetRecordVideo(std::make_shared<GraphVideoPush<RecordGraph>>(mRecordGraph.get()));
    }
    mCore->mRecordGate.Open();
    UpdateClockPanes();
    return 1;
}

void PlayerDialog::CompleteCutRecordings() {
    // A viewer killed while recording left its file without index and final header.
    // Once per folder and window: the scan opens every recording in the folder.
    if (mCompletedFolder && *mCompletedFolder == mSettings.mSavePath) return;
    mCompletedFolder = mSettings.mSavePath;
    for (const auto& [path, report] : CompleteRecordingsIn(mSettings.mSavePath)) {
        std::fprintf(stderr, "Completed the recording %s that was cut off (%u frames kept)\n",
                     path.c_str(), report.frames);
    }
}

void PlayerDialog::Snapshot() {
    // A path too long for the file name buffer gives none: nothing is written.
    const std::string path = CapturePath(mSettings.mSavePath, time(nullptr), ".jpg");
    if (!path.empty() && mVideoGraph) mVideoGraph->SaveSnapshot(path.c_str());
}

void PlayerDialog::SelectPath() {
    FolderBrowser browser(QString::fromStdString(mSettings.mSavePath),
                          FolderBrowser::BIF_RETURNONLYFSDIRS, this);
    if (browser.Browse() == 1) mSettings.mSavePath = browser.mResultFolder.toStdString();
}

void PlayerDialog::LoadSettings() {
    mSettings.LoadSettings();
}

void PlayerDialog::SaveSettings() {
    mSettings.SaveSettings();
}

}  // namespace zevo
