// The audio output on real ALSA PCMs: a "file" device in a test configuration records
// exactly what was played; a FIFO behind it lets a test hold playback back.
#include "media/audio_output.h"

#include <alsa/asoundlib.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdlib>
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

TEST_F(AudioOutputTest, WriterWaitsWhile32BuffersArePendingAndCloseWaitsForThem) {
    const std::string fifo = mDir + "/fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    // Hold the read end open but do not read: the device stalls once the pipe is full.
    int reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(reader, 0);
    UseFileDevice(fifo);
    ASSERT_GE(OpenAudio(), 0);

    const int packets = 400;  // far more than the pipe and 32 buffers hold
    const auto tone = Tone(440.0, 12000.0, packets * kPacketSamples);
    std::atomic<int> written{0};
    std::atomic<bool> failed{false};
    std::thread writer([&] {
        for (int p = 0; p < packets; ++p) {
            if (WriteAudio(tone.data() + p * kPacketSamples, kPacketBytes) != kPacketBytes)
                failed = true;
            ++written;
        }
    });
    // Wait until the writer stops making progress (the pipe and 32 buffers are full).
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    int stalledAt = -1;
    while (std::chrono::steady_clock::now() < deadline) {
        const int before = written.load();
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        if (written.load() == before && AudioPendingCount() == 32) {
            stalledAt = before;
            break;
        }
    }
    ASSERT_GE(stalledAt, 32) << "the writer never stalled";
    // Stalled: the writer stays inside WriteAudio and never exceeds 32 in flight.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(written.load(), stalledAt);
    EXPECT_LT(stalledAt, packets);
    EXPECT_EQ(AudioPendingCount(), 32);

    // Let the device play again; close once every packet is written.
    std::vector<int16_t> received;
    std::thread drain([&] {
        fcntl(reader, F_SETFL, 0);
        char buffer[4096];
        ssize_t n;
        std::vector<char> bytes;
        while ((n = read(reader, buffer, sizeof buffer)) > 0)
            bytes.insert(bytes.end(), buffer, buffer + n);
        received.resize(bytes.size() / 2);
        std::memcpy(received.data(), bytes.data(), received.size() * 2);
    });
    writer.join();
    EXPECT_FALSE(failed);
    EXPECT_EQ(written.load(), packets);
    EXPECT_EQ(CloseAudio(), 0);  // closes the pipe's write end only after the last packet
    drain.join();
    close(reader);
    EXPECT_EQ(received.size(), tone.size());
    EXPECT_TRUE(received == tone);
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
    // Far more than 32 writes: none waits for a device that is not there.
    for (int p = 0; p < 200; ++p) ASSERT_EQ(WriteAudio(tone.data(), kPacketBytes), kPacketBytes);
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
    EXPECT_EQ(WriteAudio(tone.data(), kPacketBytes), kPacketBytes);
    ReleaseDoneBuffer();  // nothing finished: nothing to release
    EXPECT_EQ(AudioPendingCount(), 0);
}

}  // namespace
