// The audio output on real ALSA PCMs: a "file" device in a test configuration records
// exactly what was played; a FIFO behind it lets a test hold playback back.
#include "media/audio_output.h"

#include <alsa/asoundlib.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "platform/message_box.h"
#include "tests/media/tone_measure.h"

namespace {

constexpr int kRate = 8000;
constexpr int kPacketSamples = 320;  // one 40 ms packet of the device
constexpr int kPacketBytes = kPacketSamples * 2;

std::vector<int16_t> Tone(double hz, double amplitude, int samples) {
    std::vector<int16_t> out(static_cast<size_t>(samples));
    for (int i = 0; i < samples; ++i) {
        out[static_cast<size_t>(i)] =
            static_cast<int16_t>(std::lround(amplitude * std::sin(2 * M_PI * hz * i / kRate)));
    }
    return out;
}

double Rms(const std::vector<int16_t>& s) {
    return zevo::tone::Rms(s);
}
double Frequency(const std::vector<int16_t>& s) {
    return zevo::tone::Frequency(s, kRate);
}

std::vector<int16_t> ReadSamples(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::vector<int16_t> samples(bytes.size() / 2);
    std::memcpy(samples.data(), bytes.data(), samples.size() * 2);
    return samples;
}

class AudioOutputTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/zevo-audio-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        mDir = pattern;
        zevo::SetMessageBoxHook([this](const QString& caption, const QString& text) {
            mBoxes.emplace_back(caption.toStdString(), text.toStdString());
        });
    }
    void TearDown() override {
        CloseAudio();
        SetAudioAllocHook({});
        zevo::SetMessageBoxHook({});
        unsetenv("ALSA_CONFIG_PATH");
        snd_config_update_free_global();
        std::string cmd = "rm -rf '" + mDir + "'";
        EXPECT_EQ(std::system(cmd.c_str()), 0);
    }

    // Points "default" at the given PCM definition for this process.
    void UseDefaultPcm(const std::string& definition) {
        const std::string config = mDir + "/asound.conf";
        std::ofstream(config) << "pcm.!default {\n" << definition << "\n}\n";
        setenv("ALSA_CONFIG_PATH", config.c_str(), 1);
        snd_config_update_free_global();
    }

    // A file device that writes the raw samples to path and discards them.
    void UseFileDevice(const std::string& path) {
        UseDefaultPcm("type file\nslave.pcm { type null }\nfile \"" + path + "\"\nformat \"raw\"");
    }

    std::string mDir;
    std::vector<std::pair<std::string, std::string>> mBoxes;
};

TEST_F(AudioOutputTest, PlaysTheToneAsWrittenAndDrainsOnClose) {
    const std::string out = mDir + "/out.raw";
    UseFileDevice(out);
    ASSERT_GE(OpenAudio(), 0);
    const int packets = 75;  // 3 seconds
    const auto tone = Tone(1000.0, 8000.0, packets * kPacketSamples);
    for (int p = 0; p < packets; ++p) {
        ASSERT_EQ(WriteAudio(tone.data() + p * kPacketSamples, kPacketBytes), kPacketBytes);
        EXPECT_LE(AudioPendingCount(), 32);
    }
    EXPECT_EQ(CloseAudio(), 0);
    EXPECT_EQ(AudioPendingCount(), 0);

    // Everything written reached the device before the close returned.
    const auto played = ReadSamples(out);
    ASSERT_EQ(played.size(), tone.size());
    EXPECT_NEAR(Frequency(played), 1000.0, 2.0);
    EXPECT_NEAR(Rms(played), 8000.0 / std::sqrt(2.0), 8000.0 * 0.01);
    EXPECT_TRUE(played == tone) << "samples are played unchanged";
    EXPECT_TRUE(mBoxes.empty());
}

double Level(const std::vector<int16_t>& s, double hz) {
    return zevo::tone::Level(s, hz, kRate);
}

// Two windows' streams written at once from their own threads are mixed: the device
// plays both tones at their levels within the time of one stream, not one after the
// other.
TEST_F(AudioOutputTest, TwoSourcesAreMixedNotQueuedOneAfterTheOther) {
    const std::string out = mDir + "/out.raw";
    UseFileDevice(out);
    ASSERT_GE(OpenAudio(), 0);
    ASSERT_GE(OpenAudio(), 0);
    const int packets = 50;  // 2 seconds each
    int windowA = 0;
    int windowB = 0;
    auto stream = [&](const void* source, double hz) {
        const auto tone = Tone(hz, 6000.0, packets * kPacketSamples);
        for (int p = 0; p < packets; ++p) {
            EXPECT_EQ(WriteAudioFrom(source, tone.data() + p * kPacketSamples, kPacketBytes),
                      kPacketBytes);
            std::this_thread::sleep_for(std::chrono::milliseconds(40));
        }
    };
    std::thread a(stream, &windowA, 500.0);
    std::thread b(stream, &windowB, 1200.0);
    a.join();
    b.join();
    EXPECT_EQ(CloseAudio(), 0);  // one window closes: the device stays
    EXPECT_EQ(CloseAudio(), 0);

    const auto played = ReadSamples(out);
    EXPECT_GE(played.size(), size_t{packets * kPacketSamples});
    EXPECT_LT(played.size(), size_t{packets * kPacketSamples} * 5 / 4);
    const std::vector<int16_t> middle(played.begin() + 4000, played.begin() + 12000);
    EXPECT_NEAR(Level(middle, 500.0), 6000.0, 600.0);
    EXPECT_NEAR(Level(middle, 1200.0), 6000.0, 600.0);
    EXPECT_LT(Level(middle, 800.0), 300.0);
}

// Reads a pipe to its end on a thread of its own.
class PipeDrain {
public:
    explicit PipeDrain(int fd)
        : mThread([this, fd] {
              fcntl(fd, F_SETFL, 0);
              char buffer[4096];
              ssize_t n;
              while ((n = read(fd, buffer, sizeof buffer)) > 0)
                  mBytes.insert(mBytes.end(), buffer, buffer + n);
          }) {}
    std::vector<int16_t> Join() {
        mThread.join();
        std::vector<int16_t> samples(mBytes.size() / 2);
        std::memcpy(samples.data(), mBytes.data(), samples.size() * 2);
        return samples;
    }

private:
    std::vector<char> mBytes;
    std::thread mThread;
};

// A device that stops taking samples (a pipe nobody reads): writers wait for it a bounded
// time, then drop and count; sound comes back when the device takes samples again; a
// close gives up on a device that still takes nothing, and the output stays usable.
TEST_F(AudioOutputTest, StalledDeviceBoundsWritesAndCloseAndPlaysAgainWhenItResumes) {
    using Clock = std::chrono::steady_clock;
    const auto tone = Tone(440.0, 12000.0, 400 * kPacketSamples);
    // Writes packets from..to-1 of the tone; returns how many were taken, and the longest
    // a single write took.
    auto writeTone = [&](int from, int to, std::chrono::milliseconds& longest) {
        int taken = 0;
        for (int p = from; p < to; ++p) {
            const auto start = Clock::now();
            if (WriteAudio(tone.data() + p * kPacketSamples, kPacketBytes) == kPacketBytes) ++taken;
            longest = std::max(longest, std::chrono::duration_cast<std::chrono::milliseconds>(
                                            Clock::now() - start));
            EXPECT_LE(AudioPendingCount(), 32);
        }
        return taken;
    };
    auto stalledPipe = [&](const std::string& name) {
        const std::string fifo = mDir + "/" + name;
        EXPECT_EQ(mkfifo(fifo.c_str(), 0600), 0);
        // Read end open, nothing read: the device stalls once the pipe is full.
        const int reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
        EXPECT_GE(reader, 0);
        UseFileDevice(fifo);
        return reader;
    };

    // Stalled: far more than the pipe and 32 buffers hold is written, and dropped.
    int reader = stalledPipe("fifo1");
    ASSERT_GE(OpenAudio(), 0);
    std::chrono::milliseconds longest{0};
    const uint64_t droppedBefore = AudioDroppedCount();
    const int taken = writeTone(0, 300, longest);
    EXPECT_LT(taken, 300);
    EXPECT_EQ(AudioDroppedCount() - droppedBefore, static_cast<uint64_t>(300 - taken));
    EXPECT_LT(longest.count(), 1500) << "a write waited unbounded";

    // The device takes samples again: the next packets are played, all of them.
    PipeDrain drain(reader);
    longest = {};
    // (the first few may still meet the full pipe while the device wakes up)
    EXPECT_GE(writeTone(300, 350, longest), 40);
    EXPECT_EQ(CloseAudio(), 0);
    const auto received = drain.Join();
    close(reader);
    ASSERT_GE(received.size(), 50u * kPacketSamples);
    EXPECT_TRUE(std::equal(tone.begin() + 320 * kPacketSamples, tone.begin() + 350 * kPacketSamples,
                           received.end() - 30 * kPacketSamples))
        << "the packets after the stall are played unchanged";

    // A close while the device still takes nothing returns within its bound.
    reader = stalledPipe("fifo2");
    ASSERT_GE(OpenAudio(), 0);
    writeTone(0, 100, longest);
    const auto closing = Clock::now();
    EXPECT_EQ(CloseAudio(), 0);
    EXPECT_LT(Clock::now() - closing, std::chrono::milliseconds(3000));
    EXPECT_EQ(AudioPendingCount(), 0);
    // The player left behind closes its device once the device lets it go.
    PipeDrain leftBehind(reader);
    leftBehind.Join();
    close(reader);

    // And the output opens and plays again.
    const std::string out = mDir + "/out.raw";
    UseFileDevice(out);
    ASSERT_GE(OpenAudio(), 0);
    EXPECT_EQ(writeTone(0, 25, longest), 25);
    EXPECT_EQ(CloseAudio(), 0);
    const auto played = ReadSamples(out);
    EXPECT_TRUE(played == std::vector<int16_t>(tone.begin(), tone.begin() + 25 * kPacketSamples));
}

TEST_F(AudioOutputTest, OnlyAFailedDataAllocationShowsTheBox) {
    UseFileDevice(mDir + "/out.raw");
    ASSERT_GE(OpenAudio(), 0);
    const auto tone = Tone(500.0, 1000.0, kPacketSamples);
    EXPECT_EQ(WriteAudio(nullptr, kPacketBytes), -1);
    EXPECT_EQ(WriteAudio(tone.data(), 0), -1);

    SetAudioAllocHook([](std::size_t bytes, AudioBlock block) -> void* {
        return block == AudioBlock::Header ? nullptr : std::malloc(bytes);
    });
    EXPECT_EQ(WriteAudio(tone.data(), kPacketBytes), -1);
    EXPECT_TRUE(mBoxes.empty()) << "a failed header allocation is silent";

    SetAudioAllocHook([](std::size_t, AudioBlock) -> void* { return nullptr; });
    EXPECT_EQ(WriteAudio(tone.data(), kPacketBytes), -1);
    ASSERT_EQ(mBoxes.size(), 1u);
    EXPECT_EQ(mBoxes[0].first, " \n 0.7.0\n: Error Message . . .");
    EXPECT_EQ(mBoxes[0].second, "GlobalAlloc failed.");
    EXPECT_EQ(AudioPendingCount(), 0) << "nothing queued by a failed write";

    SetAudioAllocHook({});
    EXPECT_EQ(WriteAudio(tone.data(), kPacketBytes), kPacketBytes);
    EXPECT_EQ(CloseAudio(), 0);
    EXPECT_EQ(ReadSamples(mDir + "/out.raw"), tone) << "only the good write was played";
    EXPECT_EQ(mBoxes.size(), 1u);
}

TEST_F(AudioOutputTest, WithoutADeviceWritesAreDiscardedAndNothingBlocks) {
    UseDefaultPcm("type hw\ncard 31");
    EXPECT_LT(OpenAudio(), 0);
    const auto tone = Tone(500.0, 1000.0, kPacketSamples);
    // Far more than 32 writes: none waits for a device that is not there, and each
    // says that nothing plays.
    for (int p = 0; p < 200; ++p) ASSERT_EQ(WriteAudio(tone.data(), kPacketBytes), -1);
    EXPECT_EQ(AudioPendingCount(), 0);
    EXPECT_EQ(CloseAudio(), 0);
    EXPECT_TRUE(mBoxes.empty());

    // A device that appears later is opened by the next OpenAudio.
    UseFileDevice(mDir + "/later.raw");
    ASSERT_GE(OpenAudio(), 0);
    EXPECT_EQ(WriteAudio(tone.data(), kPacketBytes), kPacketBytes);
    EXPECT_EQ(CloseAudio(), 0);
    EXPECT_EQ(ReadSamples(mDir + "/later.raw"), tone);
}

TEST_F(AudioOutputTest, WritesBeforeOpenOrAfterCloseAreHarmless) {
    const auto tone = Tone(500.0, 1000.0, kPacketSamples);
    EXPECT_EQ(CloseAudio(), 0);
    EXPECT_EQ(WriteAudio(tone.data(), kPacketBytes), -1);  // nothing plays, and it says so
    ReleaseDoneBuffer();                                   // nothing finished: nothing to release
    EXPECT_EQ(AudioPendingCount(), 0);
}

}  // namespace
