// The player window's sessions against the real transport, zevo-p2pd and zevo-camd on
// loopback, driven directly: what a login or notice the device gets wrong does, and what
// one session leaves to the next. The window's sinks are replaced by recorders, so the
// frames and samples each session hands on can be looked at.
#include <alsa/asoundlib.h>
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <condition_variable>
#include <cstring>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

#include "control/player_dialog.h"
#include "device/testclient/device_client.h"
#include "media/nal.h"
#include "media/video_graph.h"
#include "platform/message_box.h"
#include "tests/media/tone_measure.h"
#include "tests/platform/shell_output.h"

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
    // These sessions start far faster than a person starts them: more than the service
    // lets one address open within the time it keeps a session's record.
    void SetUp() override {
        ASSERT_EQ(mHarness.StartService(false, {"--max-sessions-per-address", "1024"}), 0);
    }
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
    // Waits (bounded) until every worker of the last session has ended.
    bool WorkersEnded() {
        return Core().WaitWorkersEnded(
            {SessionCore::Worker::MediaReader, SessionCore::Worker::CommandReader,
             SessionCore::Worker::VideoConsumer, SessionCore::Worker::AudioConsumer},
            3000);
    }
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

// Hands each frame on to the window's own graph and notes, per session, whether the
// first one was a key frame.
class KeyWatch final : public VideoPush {
public:
    explicit KeyWatch(VideoGraph* graph) : mGraph(graph) {}
    int32_t PushVideo(int32_t streamId, const unsigned char* data, int32_t length) override {
        if (mSessionFrames.fetch_add(1) == 0)
            mFirstWasKey = IsKeyAccessUnit(data, static_cast<size_t>(length), VideoCodec::H264);
        return mGraph->PushVideo(streamId, data, length);
    }
    void NewSession() {
        mSessionFrames = 0;
        mFirstWasKey = false;
    }
    std::atomic<int> mSessionFrames{0};
    std::atomic<bool> mFirstWasKey{false};

private:
    VideoGraph* mGraph;
};

// The centre of the window's current picture: 'r' red, 'b' blue, '?' anything else,
// 0 none yet.
char PictureColour(VideoGraph& graph) {
    int32_t size = 0;
    if (graph.GetCurrentImage(&size, nullptr) < 0 || size <= 40) return 0;
    std::vector<unsigned char> dib(static_cast<size_t>(size));
    if (graph.GetCurrentImage(&size, dib.data()) < 0) return 0;
    int32_t width = 0, height = 0;
    std::memcpy(&width, dib.data() + 4, 4);
    std::memcpy(&height, dib.data() + 8, 4);
    if (width <= 0 || height == 0) return 0;
    const size_t row = static_cast<size_t>(std::abs(height) / 2);
    const unsigned char* p = dib.data() + 40 + (row * static_cast<size_t>(width) + width / 2) * 4;
    if (p[2] > 160 && p[0] < 90 && p[1] < 90) return 'r';
    if (p[0] > 160 && p[2] < 90 && p[1] < 90) return 'b';
    return '?';
}

// Many stops and starts while streaming and recording, on alternating cameras: every
// start shows the chosen camera from its first picture on, begins at a key frame, posts
// no event of its own, leaves the recording running and leaves no worker behind; the
// recording plays through every start without a damaged frame.
TEST_F(LiveSession, ManyStopsAndStartsWhileRecording) {
    constexpr int kCycles = 200;
    ASSERT_NO_FATAL_FAILURE(Open(
        {"--cameras", "2", "--camera", "0:source=test:red,size=160x120", "--camera",
         "1:source=test:blue,size=160x120", "--camera", "0:audio=none", "--camera", "1:audio=none"},
        true));
    QTemporaryDir captures;
    mDialog->mSettings.mSavePath = captures.path().toStdString();
    auto watch = std::make_shared<KeyWatch>(mDialog->mVideoGraph.get());
    Core().SetLiveVideo(watch);
    ASSERT_TRUE(Start());
    mDialog->StartRecord();
    ASSERT_EQ(Core().mRecording.load(), 1);
    ASSERT_TRUE(PumpUntil([&] { return PictureColour(*mDialog->mVideoGraph) == 'r'; }, 5000));
    const size_t statusBefore = mStatus.size();
    int wrongPictures = 0, notKeyFirst = 0, slowStarts = 0;
    for (int cycle = 1; cycle <= kCycles; ++cycle) {
        SCOPED_TRACE("cycle " + std::to_string(cycle));
        mDialog->StopSession();
        ASSERT_TRUE(WorkersEnded());
        const int camera = cycle % 2;
        const char colour = camera == 0 ? 'r' : 'b';
        mDialog->ChgSelection(camera);
        watch->NewSession();
        ASSERT_TRUE(Start()) << mDialog->PaneText(0).toStdString();
        // Every picture from the first on is the chosen camera's.
        char seen = 0;
        const bool shown = PumpUntil(
            [&] {
                const char c = PictureColour(*mDialog->mVideoGraph);
                if (c != 0 && c != colour) ++wrongPictures;
                seen = c;
                return c == colour && watch->mSessionFrames.load() >= 3;
            },
            5000);
        if (!shown) ++slowStarts;
        if (watch->mSessionFrames.load() > 0 && !watch->mFirstWasKey.load()) ++notKeyFirst;
        EXPECT_EQ(Core().mRecording.load(), 1) << "the recording ended";
        if (HasFailure()) break;
    }
    EXPECT_EQ(wrongPictures, 0);
    EXPECT_EQ(notKeyFirst, 0);
    EXPECT_EQ(slowStarts, 0);
    // No event of a session: only what the starts and stops themselves show.
    for (size_t i = statusBefore; i < mStatus.size(); ++i) {
        const std::string& text = mStatus[i];
        bool progress = false;
        for (const char* start : {"Session Ready...", "Stream Data Ready...", "Running..."})
            progress = progress || text.rfind(start, 0) == 0;
        EXPECT_TRUE(progress) << text;
    }
    mDialog->StopRecord();
    mDialog->StopSession();
    ASSERT_TRUE(WorkersEnded());
    for (const char* name : {"zevo-media-rd", "zevo-cmd-rd", "zevo-video", "zevo-audio"})
        EXPECT_EQ(ThreadsNamed(name), 0) << name;
    const QStringList files = QDir(captures.path()).entryList({"*.avi"}, QDir::Files);
    ASSERT_EQ(files.size(), 1);
    const std::string file = (captures.path() + "/" + files[0]).toStdString();
    // Decoded whole by a reader we did not write. (Raw output: the streams of many
    // encoder starts in one file make ffmpeg's own timestamp guess stumble, which is not
    // the file's to answer for.)
    EXPECT_EQ(testing::ShellOutput("ffmpeg -v error -i '" + file + "' -f rawvideo -y /dev/null"),
              "");
}

// Reads a pipe while told to, keeping what it read.
class PipeReader {
public:
    explicit PipeReader(int fd)
        : mThread([this, fd] {
              char buffer[4096];
              while (!mEnd.load()) {
                  pollfd p{fd, POLLIN, 0};
                  if (!mReading.load() || poll(&p, 1, 20) <= 0) {
                      std::this_thread::sleep_for(std::chrono::milliseconds(10));
                      continue;
                  }
                  const ssize_t n = read(fd, buffer, sizeof buffer);
                  if (n <= 0) continue;
                  std::lock_guard lock(mLock);
                  mBytes.insert(mBytes.end(), buffer, buffer + n);
              }
          }) {}
    ~PipeReader() {
        mEnd = true;
        mThread.join();
    }
    void Read(bool reading) { mReading = reading; }
    std::vector<int16_t> Take() {
        std::lock_guard lock(mLock);
        std::vector<int16_t> samples(mBytes.size() / 2);
        std::memcpy(samples.data(), mBytes.data(), samples.size() * 2);
        mBytes.clear();
        return samples;
    }

private:
    std::atomic<bool> mReading{false};
    std::atomic<bool> mEnd{false};
    std::mutex mLock;
    std::vector<char> mBytes;
    std::thread mThread;
};

// The window's sound goes to a device that stops taking samples (a pipe nobody reads):
// the session goes on, the sound comes back when the device takes samples again, and the
// window closes within the output's bound while the device still takes nothing.
TEST_F(LiveSession, StalledSoundDeviceHoldsNeitherTheSessionNorTheWindow) {
    QTemporaryDir dir;
    const std::string fifo = dir.path().toStdString() + "/sound";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const int fd = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(fd, 0);
    fcntl(fd, F_SETPIPE_SZ, 4096);  // full within a quarter of a second of sound
    const std::string config = dir.path().toStdString() + "/asound.conf";
    std::ofstream(config) << "pcm.!default {\ntype file\nslave.pcm { type null }\nfile \"" << fifo
                          << "\"\nformat \"raw\"\n}\n";
    setenv("ALSA_CONFIG_PATH", config.c_str(), 1);
    snd_config_update_free_global();
    {
        PipeReader reader(fd);
        ASSERT_NO_FATAL_FAILURE(Open({"--camera", "0:tone_freq=440"}, true));
        ASSERT_TRUE(Start());
        Pump(2500);
        const uint64_t frames = Core().mFrameCount.load();
        Pump(1500);
        EXPECT_GT(Core().mFrameCount.load(), frames + 20) << "the stalled sound held the video";
        EXPECT_EQ(Core().mRunning.load(), 1);

        reader.Read(true);
        Pump(1500);
        reader.Take();
        Pump(1500);
        const auto sound = reader.Take();
        ASSERT_GT(sound.size(), 8000u) << "no sound once the device took samples again";
        EXPECT_GT(tone::Rms(sound), 1000.0);
        EXPECT_NEAR(tone::Frequency(sound, 8000), 440.0, 10.0);

        reader.Read(false);
        Pump(1500);
        QElapsedTimer closing;
        closing.start();
        mDialog->Destroy();
        EXPECT_LT(closing.elapsed(), 3000) << "the window waited for the stalled device";
        mDialog.reset();
        // The output left behind lets the device go once it takes samples again.
        reader.Read(true);
        Pump(1000);
    }
    close(fd);
    unsetenv("ALSA_CONFIG_PATH");
    snd_config_update_free_global();
}

}  // namespace
}  // namespace zevo
