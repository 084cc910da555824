// The player window's sessions against the real transport, zevo-p2pd and zevo-camd on
// loopback, driven directly: what a login or notice the device gets wrong does, and what
// one session leaves to the next. The window's sinks are replaced by recorders, so the
// frames and samples each session hands on can be looked at.
#include <dirent.h>
#include <gtest/gtest.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

#include "control/player_dialog.h"
#include "device/testclient/device_client.h"
#include "media/nal.h"
#include "platform/message_box.h"
#include "tests/media/tone_measure.h"

namespace zevo {
namespace {

using camd::testing::DeviceHarness;

class QtEnvironment : public ::testing::Environment {
public:
    void SetUp() override {
        qputenv("QT_QPA_PLATFORM", "offscreen");
        mHome = std::make_unique<QTemporaryDir>();
        qputenv("HOME", mHome->path().toUtf8());
        qputenv("XDG_CONFIG_HOME", (mHome->path() + "/.config").toUtf8());
        static int argc = 1;
        static char arg0[] = "test_live_session";
        static char* argv[] = {arg0, nullptr};
        mApp = std::make_unique<QApplication>(argc, argv);
        SetMessageBoxHook([](const QString&, const QString&) {});
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

// Pumps the window's events until test holds or ms have passed.
bool PumpUntil(const std::function<bool()>& test, int ms) {
    QElapsedTimer timer;
    timer.start();
    while (!test()) {
        if (timer.elapsed() >= ms) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

void Pump(int ms) {
    PumpUntil([] { return false; }, ms);
}

// Notes for each pushed frame whether it is a key frame; slow on demand, as a renderer
// that falls behind.
class VideoRecorder final : public VideoPush {
public:
    int32_t PushVideo(int32_t, const unsigned char* data, int32_t length) override {
        {
            std::lock_guard lock(mLock);
            mKeys.push_back(IsKeyAccessUnit(data, static_cast<size_t>(length), VideoCodec::H264));
        }
        if (mDelayMs.load() > 0) std::this_thread::sleep_for(std::chrono::milliseconds(mDelayMs));
        return 0;
    }
    std::vector<bool> Keys() {
        std::lock_guard lock(mLock);
        return mKeys;
    }
    std::atomic<int> mDelayMs{0};

private:
    std::mutex mLock;
    std::vector<bool> mKeys;
};

// Keeps the samples written; holds writers on demand, as a sound server that stalls.
class AudioRecorder final : public AudioWrite {
public:
    int WriteAudio(const void* samples, int byteCount) override {
        std::unique_lock lock(mLock);
        ++mInside;
        mChanged.notify_all();
        mChanged.wait(lock, [this] { return !mHold; });
        --mInside;
        const auto* s = static_cast<const int16_t*>(samples);
        mSamples.insert(mSamples.end(), s, s + byteCount / 2);
        return byteCount;
    }
    void Hold(bool hold) {
        std::lock_guard lock(mLock);
        mHold = hold;
        mChanged.notify_all();
    }
    int Inside() {
        std::lock_guard lock(mLock);
        return mInside;
    }
    std::vector<int16_t> Take() {
        std::lock_guard lock(mLock);
        return std::exchange(mSamples, {});
    }

private:
    std::mutex mLock;
    std::condition_variable mChanged;
    bool mHold = false;
    int mInside = 0;
    std::vector<int16_t> mSamples;
};

int ThreadsNamed(const std::string& name) {
    int n = 0;
    if (DIR* dir = opendir("/proc/self/task")) {
        while (dirent* e = readdir(dir)) {
            if (e->d_name[0] == '.') continue;
            FILE* f =
                std::fopen(("/proc/self/task/" + std::string(e->d_name) + "/comm").c_str(), "r");
            if (!f) continue;
            char comm[32] = {};
            if (std::fgets(comm, sizeof comm, f) && std::string(comm) == name + "\n") ++n;
            std::fclose(f);
        }
        closedir(dir);
    }
    return n;
}

class LiveSession : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(mHarness.StartService(false), 0); }
    void TearDown() override {
        if (mAudio) mAudio->Hold(false);
        if (mDialog) mDialog->Destroy();
        mDialog.reset();
    }
    // realSinks: the window's own graph and audio output stay in place.
    void Open(const std::vector<std::string>& deviceArgs, bool realSinks = false) {
        if (mDialog) {
            mDialog->Destroy();
            mDialog.reset();
            mHarness.StopDevice();
        }
        ASSERT_EQ(mHarness.StartDevice(deviceArgs), 0);
        mDialog = std::make_unique<PlayerDialog>(nullptr, &PpppTransport());
        mVideo = std::make_shared<VideoRecorder>();
        mAudio = std::make_shared<AudioRecorder>();
        if (!realSinks) {
            Core().SetLiveVideo(mVideo);
            Core().SetAudio(mAudio);
        }
        QObject::connect(mDialog.get(), &PlayerDialog::StatusMessageQueued,
                         [this](const QString& text) { mStatus.push_back(text.toStdString()); });
        ASSERT_TRUE(mDialog->Create());
        mDialog->mSettings.mDID = mHarness.Did();
        mDialog->mSettings.mPassword = mHarness.Password();
    }
    SessionCore& Core() { return mDialog->Core(); }
    bool Running() { return mDialog->PaneText(0).startsWith(QStringLiteral("Running...")); }
    // Starts again until the readers of a stopped session have ended and one starts.
    bool Start() {
        return PumpUntil(
            [this] {
                if (Core().mRunning.load() == 0) mDialog->StartSession();
                Pump(30);
                return Running();
            },
            10000);
    }

    DeviceHarness mHarness;
    std::unique_ptr<PlayerDialog> mDialog;
    std::shared_ptr<VideoRecorder> mVideo;
    std::shared_ptr<AudioRecorder> mAudio;
    std::vector<std::string> mStatus;
};

TEST_F(LiveSession, LoginAndNoticeFaultsOfTheDevice) {
    struct Case {
        const char* fault;
        const char* pane;  // pane 0 once the start returned
        int loggedIn;
    };
    const Case cases[] = {
        // Half a key can protect nothing: a refusal, not "Running...".
        {"short-accept", "Failed to connect(Wrong password).", 0},
        // The e-mail alert state comes only from bytes that arrived with a notice.
        {"notice-past-body", "Running...", 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.fault);
        ASSERT_NO_FATAL_FAILURE(Open({"--fault", c.fault}));
        mDialog->StartSession();
        EXPECT_TRUE(PumpUntil([&] { return mDialog->PaneText(0).startsWith(c.pane); }, 3000))
            << mDialog->PaneText(0).toStdString();
        EXPECT_EQ(Core().mLoggedIn.load(), c.loggedIn);
        ASSERT_TRUE(mHarness.Device().WaitForLog(std::string("(fault ") + c.fault + ")", 3000));
        Pump(500);
        EXPECT_EQ(Core().mEmailAlert.load(), 0);
        mDialog->StopSession();
    }
}

TEST_F(LiveSession, EachSessionStartsFromNothingOfTheLast) {
    ASSERT_NO_FATAL_FAILURE(Open({"--cameras", "2"}));
    std::vector<std::vector<int16_t>> sounds;
    for (int session = 0; session < 3; ++session) {
        SCOPED_TRACE("session " + std::to_string(session));
        const size_t first = mVideo->Keys().size();
        ASSERT_TRUE(Start()) << mDialog->PaneText(0).toStdString();
        // The picture starts at a key frame of this session: nothing queued before the
        // stop is shown.
        ASSERT_TRUE(PumpUntil([&] { return mVideo->Keys().size() > first; }, 5000));
        EXPECT_TRUE(mVideo->Keys()[first]) << "first frame shown is no key frame";
        mAudio->Take();
        Pump(1500);
        sounds.push_back(mAudio->Take());

        if (session == 0) {
            // A start while streaming changes nothing of the running login's key.
            mDialog->mSettings.mPassword = "another";
            mDialog->StartSession();
            EXPECT_STREQ(Core().mPasswordText, mHarness.Password().c_str());
            mDialog->mSettings.mPassword = mHarness.Password();
        }
        // A renderer that falls behind leaves frames queued at the stop.
        mVideo->mDelayMs = 80;
        Pump(1500);
        EXPECT_GT(FrameCount(Core().mVideoQueue), 3);
        mDialog->StopSession();
        mVideo->mDelayMs = 0;
        mDialog->ChgSelection(1 - Core().mCamera);
    }
    // Every session's tone as the device encoded it: the decoder starts from zero each
    // time, as the device's encoder does.
    const double level = tone::Rms(sounds[0]);
    ASSERT_GT(level, 1000.0);
    for (size_t i = 1; i < sounds.size(); ++i) {
        SCOPED_TRACE("session " + std::to_string(i));
        ASSERT_GT(sounds[i].size(), 4000u);
        EXPECT_NEAR(tone::Rms(sounds[i]) / level, 1.0, 0.2);
        EXPECT_LT(std::count_if(sounds[i].begin(), sounds[i].end(),
                                [](int16_t v) { return v == 32767 || v == -32768; }),
                  10);
    }
}

TEST_F(LiveSession, ConsumerStuckInTheAudioOutputHoldsTheNextStart) {
    ASSERT_NO_FATAL_FAILURE(Open({}));
    mAudio->Hold(true);
    ASSERT_TRUE(Start());
    ASSERT_TRUE(PumpUntil([&] { return mAudio->Inside() == 1; }, 5000));
    mDialog->StopSession();
    // While the previous session's audio consumer is inside the output, no start runs.
    QElapsedTimer timer;
    timer.start();
    bool started = false;
    while (timer.elapsed() < 2500 && !started) {
        mDialog->StartSession();
        Pump(100);
        started = Core().mRunning.load() != 0;
    }
    EXPECT_FALSE(started) << "a session started beside a consumer of the last one";
    mAudio->Hold(false);
    ASSERT_TRUE(Start());
    Pump(1500);
    // One audio consumer, the new session's, and it keeps its id.
    EXPECT_EQ(ThreadsNamed("zevo-audio"), 1);
    EXPECT_NE(Core().mAudioThreadId.load(), 0u);
    mDialog->StopSession();
}

// No sound device here, so every write of the real output fails; and a camera whose
// stream the decoder cannot take (H.265 into the graph that started on H.264) makes the
// graph report errors. Each is told once, and the session goes on.
TEST_F(LiveSession, SoundAndDecoderFailuresAreToldOnceAndTheSessionGoesOn) {
    ASSERT_NO_FATAL_FAILURE(
        Open({"--cameras", "2", "--camera", "1:codec=h265", "--camera", "1:keyint=5"}, true));
    ASSERT_TRUE(Start());
    Pump(4500);
    mDialog->ChgSelection(1);
    Pump(6000);
    EXPECT_EQ(Core().mRunning.load(), 1);
    EXPECT_GT(Core().mFrameCount.load(), 0u);
    const auto count = [&](const std::string& text) {
        return std::count(mStatus.begin(), mStatus.end(), text);
    };
    EXPECT_EQ(count("Sound output failed."), 1);
    EXPECT_EQ(count("Video decoding failed."), 1);
    mDialog->StopSession();
}

}  // namespace
}  // namespace zevo
