// The player window on Qt's offscreen platform: creation, layout, the timers' work, the
// session events and the status texts, driven directly without waiting in real time.
#include "control/player_dialog.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <gtest/gtest.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QPointer>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <cstring>
#include <memory>

#include "platform/message_box.h"

namespace zevo {
namespace {

struct Box {
    QString caption;
    QString text;
};

std::vector<Box>& Boxes() {
    static std::vector<Box> boxes;
    return boxes;
}

// A Qt application on the offscreen platform and a private HOME for the settings hive.
class QtEnvironment : public ::testing::Environment {
public:
    void SetUp() override {
        qputenv("QT_QPA_PLATFORM", "offscreen");
        mHome = std::make_unique<QTemporaryDir>();
        qputenv("HOME", mHome->path().toUtf8());
        qputenv("XDG_CONFIG_HOME", (mHome->path() + "/.config").toUtf8());
        static int argc = 1;
        static char arg0[] = "test_player_dialog";
        static char* argv[] = {arg0, nullptr};
        mApp = std::make_unique<QApplication>(argc, argv);
        SetMessageBoxHook([](const QString& caption, const QString& text) {
            Boxes().push_back({caption, text});
        });
    }
    void TearDown() override {
        SetMessageBoxHook({});
        mApp.reset();
        mHome.reset();
    }

private:
    std::unique_ptr<QTemporaryDir> mHome;
    std::unique_ptr<QApplication> mApp;
};

[[maybe_unused]] ::testing::Environment* const gQt =
    ::testing::AddGlobalTestEnvironment(new QtEnvironment);

// Runs the event loop for about ms milliseconds.
void Pump(int ms = 20) {
    QElapsedTimer timer;
    timer.start();
    do {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    } while (timer.elapsed() < ms);
}

void SetRemote(SessionInfo& info, uint8_t mode, const char* address, uint16_t port) {
    std::memset(&info, 0, sizeof(info));
    info.mode = mode;
    const uint16_t netPort = htons(port);
    std::memcpy(info.remote + 2, &netPort, 2);
    inet_pton(AF_INET, address, info.remote + 4);
}

class PlayerDialogTest : public ::testing::Test {
protected:
    void SetUp() override {
        Boxes().clear();
        mDialog = std::make_unique<PlayerDialog>(nullptr);
        ASSERT_TRUE(mDialog->Create());
        mDialog->resize(640, 480);
        mDialog->show();
        QObject::connect(mDialog.get(), &PlayerDialog::PaneTextChanged,
                         [this](int pane, const QString& text) {
                             if (pane == 0) mPane0.push_back(text);
                         });
        Pump();
        mPane0.clear();
    }
    void TearDown() override {
        mDialog->Destroy();
        mDialog.reset();
    }

    std::unique_ptr<PlayerDialog> mDialog;
    std::vector<QString> mPane0;
};

TEST_F(PlayerDialogTest, CreationShowsTheIdleState) {
    EXPECT_EQ(mDialog->windowTitle(), QStringLiteral("(V2.0.7)"));
    // Without a transport library the initialisation fails; the text comes one timer
    // tick after "Press start button to run.".
    EXPECT_EQ(mDialog->PaneText(0), QStringLiteral("PPPP_Initialize Error(-1)."));
    EXPECT_EQ(mDialog->mInitResult, -1);
    EXPECT_TRUE(QRegularExpression(QStringLiteral("^\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d$"))
                    .match(mDialog->PaneText(1))
                    .hasMatch())
        << mDialog->PaneText(1).toStdString();
    EXPECT_TRUE(mDialog->PaneText(2).trimmed().isEmpty());
    EXPECT_TRUE(mDialog->PaneText(3).trimmed().isEmpty());
    EXPECT_TRUE(mDialog->TimerRunning(TIMER_CLOCK));
    EXPECT_EQ(mDialog->mClockTimer, TIMER_CLOCK);
    EXPECT_FALSE(mDialog->TimerRunning(TIMER_STATUS_MESSAGE));
    EXPECT_EQ(mDialog->mMessageTimer, 0u);
    EXPECT_FALSE(mDialog->TimerRunning(TIMER_STATISTICS));
    EXPECT_EQ(mDialog->palette().color(QPalette::Window), QColor(0, 0, 0));
    EXPECT_EQ(mDialog->Core().mSession.load(), -1);
    EXPECT_EQ(mDialog->Core().mWaitFirstFrame.load(), 1);
    EXPECT_NE(mDialog->Core().mVideoQueue, nullptr);
    EXPECT_NE(mDialog->Core().mAudioQueue, nullptr);
}

TEST_F(PlayerDialogTest, StatusBarTakesTheBottom22PixelsOnEveryResize) {
    auto* bar = mDialog->findChild<QWidget*>(QStringLiteral("statusBar"));
    ASSERT_NE(bar, nullptr);
    EXPECT_EQ(bar->geometry(), QRect(0, 458, 640, 22));
    mDialog->resize(300, 200);
    EXPECT_EQ(bar->geometry(), QRect(0, 178, 300, 22));
    mDialog->move(10, 10);
    EXPECT_EQ(bar->geometry(), QRect(0, 178, 300, 22));
    Pump();
    const auto panes = bar->findChildren<QWidget*>();
    ASSERT_EQ(panes.size(), 4);
    mDialog->resize(800, 200);
    Pump();
    EXPECT_EQ(panes[0]->width(), 275);
    EXPECT_EQ(panes[1]->width(), 125);
    EXPECT_EQ(panes[2]->width(), 45);
    EXPECT_EQ(panes[3]->width(), 800 - 275 - 125 - 45);
}

// The live graph's renderer: the direct child that is not the status bar.
QWidget* Renderer(QWidget* dialog) {
    for (QWidget* child : dialog->findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
        if (child->objectName() != QStringLiteral("statusBar")) return child;
    }
    return nullptr;
}

TEST_F(PlayerDialogTest, VideoFillsAllButTheStatusBarAndIsRebuiltAtStop) {
    QWidget* renderer = Renderer(mDialog.get());
    ASSERT_NE(renderer, nullptr);
    EXPECT_EQ(renderer->geometry(), QRect(0, 0, 640, 458));
    mDialog->resize(500, 300);
    Pump();
    EXPECT_EQ(renderer->geometry(), QRect(0, 0, 500, 278));
    EXPECT_EQ(mDialog->mVideoGraph->GraphState(), 2);

    QPointer<QWidget> old = renderer;
    mDialog->StopSession();
    Pump();
    EXPECT_TRUE(old.isNull());
    renderer = Renderer(mDialog.get());
    ASSERT_NE(renderer, nullptr);
    EXPECT_EQ(renderer->geometry(), QRect(0, 0, 500, 278));
    EXPECT_TRUE(renderer->isVisible());
    EXPECT_EQ(mDialog->mVideoGraph->GraphState(), 2);
    EXPECT_EQ(mDialog->mUnsafeReleasesSkipped, 0);
}

TEST_F(PlayerDialogTest, ShowStatusMessageShowsOnlyTheLatestText) {
    mDialog->ShowStatusMessage(QStringLiteral("first"));
    mDialog->ShowStatusMessage(QStringLiteral("second"));
    EXPECT_NE(mDialog->PaneText(0), QStringLiteral("second"));
    Pump();
    EXPECT_EQ(mDialog->PaneText(0), QStringLiteral("second"));
    EXPECT_EQ(mPane0, std::vector<QString>{QStringLiteral("second")});
    EXPECT_EQ(mDialog->mMessageTimer, 0u);
    EXPECT_FALSE(mDialog->TimerRunning(TIMER_STATUS_MESSAGE));
}

TEST_F(PlayerDialogTest, RelaySessionStopsAfter600ClockTicks) {
    SessionCore& core = mDialog->Core();
    // The ticks are the test's own: the window's real one-second clock would add one
    // whenever a pump below comes a second after the window was made.
    mDialog->KillTimer(TIMER_CLOCK);
    core.mRunning = 1;
    mDialog->mRelaySeconds = 0;
    for (int i = 0; i < 599; ++i) mDialog->OnTimer(TIMER_CLOCK);
    Pump();
    EXPECT_EQ(mDialog->mRelaySeconds, 599);
    EXPECT_TRUE(Boxes().empty());
    mDialog->OnTimer(TIMER_CLOCK);
    EXPECT_EQ(mDialog->mRelaySeconds, -1);
    Pump();
    ASSERT_EQ(Boxes().size(), 1u);
    EXPECT_EQ(Boxes()[0].caption, QStringLiteral("Tips"));
    EXPECT_EQ(Boxes()[0].text, QStringLiteral("Relay mode can only run 600 seconds."));
    // Stopped before the box: the stop's text came first.
    EXPECT_EQ(mDialog->PaneText(0), QStringLiteral("Press start button to run."));
    EXPECT_EQ(core.mRunning.load(), 0);
    EXPECT_EQ(mDialog->mUserStopped, 1);
}

TEST_F(PlayerDialogTest, NoRelayCountdownWhenDirectOrNotRunning) {
    SessionCore& core = mDialog->Core();
    core.mRunning = 1;
    mDialog->mRelaySeconds = -1;  // direct session
    for (int i = 0; i < 700; ++i) mDialog->OnTimer(TIMER_CLOCK);
    core.mRunning = 0;
    mDialog->mRelaySeconds = 0;  // relay, but the session no longer runs
    for (int i = 0; i < 700; ++i) mDialog->OnTimer(TIMER_CLOCK);
    Pump();
    EXPECT_TRUE(Boxes().empty());
    EXPECT_EQ(mDialog->mRelaySeconds, 0);
}

TEST_F(PlayerDialogTest, StatisticsTexts) {
    SessionCore& core = mDialog->Core();
    SetRemote(core.mSessionInfo, 0, "127.0.0.1", 4242);
    core.mRunning = 1;
    core.mFrameCount = 50;
    core.mStreamChannel = 3;
    core.mBitRate = 812.5f;
    mDialog->OnTimer(TIMER_STATISTICS);
    EXPECT_EQ(mDialog->PaneText(3), QStringLiteral("N:3, FPS:25.00, 812.50kbps"));
    EXPECT_EQ(mDialog->PaneText(0), QStringLiteral("Running...(P2P, Remote:127.0.0.1:4242)"));
    EXPECT_EQ(mDialog->mLastFrameCount, 50);

    // Relay wording.
    SetRemote(core.mSessionInfo, 1, "10.1.2.3", 32100);
    core.mFrameCount = 51;
    mDialog->OnTimer(TIMER_STATISTICS);
    EXPECT_EQ(mDialog->PaneText(0), QStringLiteral("Running...(Relay, Server:10.1.2.3:32100)"));
    EXPECT_EQ(mDialog->PaneText(3), QStringLiteral("N:3, FPS:0.50, 812.50kbps"));

    // No frames: every second tick says so, with the camera counted from 1.
    core.mCamera = 2;
    mPane0.clear();
    for (int i = 0; i < 4; ++i) mDialog->OnTimer(TIMER_STATISTICS);
    EXPECT_EQ(mDialog->PaneText(0), QStringLiteral("No video signal in channel 3"));
    EXPECT_EQ(mPane0, std::vector<QString>{QStringLiteral("No video signal in channel 3")});
    mDialog->SetStatusText(QStringLiteral("elsewhere"));
    mDialog->OnTimer(TIMER_STATISTICS);
    EXPECT_EQ(mDialog->PaneText(0), QStringLiteral("elsewhere"));
    mDialog->OnTimer(TIMER_STATISTICS);
    EXPECT_EQ(mDialog->PaneText(0), QStringLiteral("No video signal in channel 3"));
    EXPECT_EQ(mDialog->PaneText(3), QStringLiteral("N:3, FPS:0.00, 812.50kbps"));

    // After a stop the pane 3 line goes on with the reset values and pane 0 is left alone.
    mDialog->StopSession();
    mDialog->OnTimer(TIMER_STATISTICS);
    mDialog->OnTimer(TIMER_STATISTICS);
    EXPECT_EQ(mDialog->PaneText(3), QStringLiteral("N:0, FPS:0.00, 0.00kbps"));
    EXPECT_EQ(mDialog->PaneText(0), QStringLiteral("Press start button to run."));
}

TEST_F(PlayerDialogTest, LostSessionIsReportedOncePerSession) {
    SessionCore& core = mDialog->Core();
    const uint32_t serial = core.NextSessionSerial();
    core.mRunning = 1;
    // Both readers find the session closed.
    core.PostSessionEvent(SESSION_EVENT_READ_ERROR, -12, serial);
    core.PostSessionEvent(SESSION_EVENT_READ_ERROR, -13, serial);
    Pump();
    ASSERT_EQ(Boxes().size(), 1u);
    EXPECT_EQ(Boxes()[0].caption, QStringLiteral("Tips"));
    EXPECT_EQ(Boxes()[0].text, QStringLiteral("Connection Lost!(-12)"));
    EXPECT_EQ(core.mRunning.load(), 0);
    EXPECT_EQ(mDialog->PaneText(0), QStringLiteral("Press start button to run."));
}

TEST_F(PlayerDialogTest, OversizeIsReportedWithZero) {
    SessionCore& core = mDialog->Core();
    const uint32_t serial = core.NextSessionSerial();
    core.PostSessionEvent(SESSION_EVENT_OVERSIZE, 0, serial);
    Pump();
    ASSERT_EQ(Boxes().size(), 1u);
    EXPECT_EQ(Boxes()[0].text, QStringLiteral("Connection Lost!(0)"));
}

TEST_F(PlayerDialogTest, NoReportAfterAUserStopOrFromAnOlderSession) {
    SessionCore& core = mDialog->Core();
    const uint32_t old = core.NextSessionSerial();
    mDialog->StopSession();
    core.PostSessionEvent(SESSION_EVENT_READ_ERROR, -14, old);
    Pump();
    EXPECT_TRUE(Boxes().empty());

    // A new session has begun: a late report of the old one must not end it.
    mDialog->mUserStopped = 0;
    core.mFailureReported = 0;
    core.NextSessionSerial();
    core.mRunning = 1;
    core.PostSessionEvent(SESSION_EVENT_READ_ERROR, -14, old);
    Pump();
    EXPECT_TRUE(Boxes().empty());
    EXPECT_EQ(core.mRunning.load(), 1);
    core.mRunning = 0;
}

TEST_F(PlayerDialogTest, ReadErrorAfterAFailedLoginIsReported) {
    SessionCore& core = mDialog->Core();
    const uint32_t serial = core.NextSessionSerial();
    mDialog->mUserStopped = 0;
    core.mFailureReported = 0;
    mDialog->OnSessionEvent(SESSION_EVENT_READ_ERROR, -14);
    EXPECT_EQ(core.mFailureReported.load(), 1);
    Pump();
    ASSERT_EQ(Boxes().size(), 1u);
    EXPECT_EQ(Boxes()[0].text, QStringLiteral("Connection Lost!(-14)"));
    (void)serial;
}

TEST_F(PlayerDialogTest, StartWithoutTransportFailsAtTheConnect) {
    mDialog->StartSession();
    ASSERT_FALSE(mPane0.empty());
    EXPECT_EQ(mPane0[0], QStringLiteral("Connecting..."));
    Pump();
    EXPECT_EQ(mDialog->PaneText(0), QStringLiteral("Failed...(-1), Press stop button."));
    EXPECT_EQ(mDialog->Core().mSession.load(), -1);
    EXPECT_FALSE(mDialog->TimerRunning(TIMER_STATISTICS));
}

TEST_F(PlayerDialogTest, DelayedStartWaitsSixSecondsThenStarts) {
    DrivenTickSource ticks;
    mDialog->Core().SetTickSource(&ticks);
    mDialog->PostMessage(WM_DELAYED_START, 0, 0);
    Pump();
    EXPECT_EQ(ticks.TotalSlept(), 0u);
    EXPECT_TRUE(mPane0.empty());
    mDialog->PostMessage(WM_DELAYED_START, 1, 0);
    Pump();
    EXPECT_EQ(ticks.TotalSlept(), 6000u);
    ASSERT_FALSE(mPane0.empty());
    EXPECT_EQ(mPane0[0], QStringLiteral("Connecting..."));
    mDialog->Core().SetTickSource(&SystemTickSource());
}

TEST_F(PlayerDialogTest, OptionCommandsWithoutASession) {
    EXPECT_EQ(mDialog->GetEmailAlert(), -2);
    EXPECT_EQ(mDialog->SetEmailAlert(true), -2);
    mDialog->ChgSelection(2);
    EXPECT_EQ(mDialog->Core().mCamera, 2);
}

TEST_F(PlayerDialogTest, RecordingTimeInPaneTwo) {
    SessionCore& core = mDialog->Core();
    core.mRecording = 1;
    core.mRecordStart = time(nullptr) - 125;
    mDialog->UpdateClockPanes();
    EXPECT_EQ(mDialog->PaneText(2), QStringLiteral("R:02:05"));
    core.mRecordStart = time(nullptr) - 6000;
    mDialog->UpdateClockPanes();
    EXPECT_EQ(mDialog->PaneText(2), QStringLiteral("R:100:00"));
    mDialog->StopRecord();
    EXPECT_EQ(core.mRecording.load(), 0);
    mDialog->UpdateClockPanes();
    EXPECT_TRUE(mDialog->PaneText(2).isEmpty());
}

int OpenDescriptors() {
    int n = 0;
    if (DIR* dir = opendir("/proc/self/fd")) {
        while (dirent* e = readdir(dir)) n += e->d_name[0] != '.';
        closedir(dir);
    }
    return n;
}

// Every stop rebuilds the live graph; the graph it replaces must free its pipeline and
// with it the bus's socket pair.
TEST_F(PlayerDialogTest, StopsRebuildTheGraphWithoutLeaking) {
    mDialog->StopSession();
    Pump();
    const int before = OpenDescriptors();
    for (int i = 0; i < 20; ++i) mDialog->StopSession();
    Pump();
    EXPECT_LE(OpenDescriptors(), before);
}

TEST(PlayerDialogLifetime, DestroyingSavesSettingsAndFreesTheQueues) {
    {
        PlayerDialog dialog(nullptr);
        ASSERT_TRUE(dialog.Create());
        dialog.mSettings.mDID = "ABCD-123456-EFGHI";
        dialog.mSettings.mPassword = "secret";
        dialog.Destroy();
        EXPECT_EQ(dialog.Core().mVideoQueue, nullptr);
        EXPECT_EQ(dialog.Core().mAudioQueue, nullptr);
        EXPECT_EQ(dialog.mUnsafeReleasesSkipped, 0);
        EXPECT_FALSE(dialog.TimerRunning(TIMER_CLOCK));
    }
    PlayerDialog again(nullptr);
    ASSERT_TRUE(again.Create());
    EXPECT_EQ(again.mSettings.mDID, "ABCD-123456-EFGHI");
    EXPECT_EQ(again.mSettings.mPassword, "secret");
}

}  // namespace
}  // namespace zevo
