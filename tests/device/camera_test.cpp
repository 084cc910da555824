// The camera pipelines on their own, without the transport: what the encoder and the
// audio branch hand to the sessions.
#include "device/camera.h"

#include <gst/gst.h>
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <iterator>
#include <mutex>
#include <string>
#include <thread>

#include "device/testclient/decode.h"
#include "platform/tick_clock.h"
#include "tests/device/collecting_sink.h"
#include "tests/device/tone.h"
#include "tests/platform/shell_output.h"

using namespace zevo::camd;
using zevo::VideoCodec;
using namespace zevo::camd::testing;

namespace {

std::vector<int16_t> Samples(const std::vector<MediaFramePtr>& blocks) {
    std::vector<int16_t> s;
    for (const auto& b : blocks) {
        const auto* p = reinterpret_cast<const int16_t*>(b->data.data());
        s.insert(s.end(), p, p + b->data.size() / 2);
    }
    return s;
}

// The NAL units of an Annex B stream (without their start codes), in order; with
// skipParameterSets, the sequence and picture parameter sets (and H.265's video
// parameter set) left out.
std::vector<std::string> NalUnits(const std::string& stream, VideoCodec codec,
                                  bool skipParameterSets) {
    std::vector<size_t> starts;  // first byte after each start code
    for (size_t i = 0; i + 3 <= stream.size(); ++i) {
        if (stream[i] == 0 && stream[i + 1] == 0 && stream[i + 2] == 1) {
            starts.push_back(i + 3);
            i += 2;
        }
    }
    std::vector<std::string> units;
    for (size_t k = 0; k < starts.size(); ++k) {
        size_t end = k + 1 < starts.size() ? starts[k + 1] - 3 : stream.size();
        while (end > starts[k] && stream[end - 1] == 0) --end;  // a 4-byte start code's zero
        std::string unit = stream.substr(starts[k], end - starts[k]);
        if (unit.empty()) continue;
        const auto head = static_cast<unsigned char>(unit[0]);
        const int type = codec == VideoCodec::H264 ? (head & 0x1f) : ((head >> 1) & 0x3f);
        const bool parameterSet =
            codec == VideoCodec::H264 ? (type == 7 || type == 8) : (type >= 32 && type <= 34);
        if (skipParameterSets && parameterSet) continue;
        units.push_back(unit);
    }
    return units;
}

CameraConfig SmallCamera() {
    CameraConfig c;
    c.width = 320;
    c.height = 240;
    c.fps = 25;
    c.bitrateKbps = 500;
    c.keyInterval = 25;
    return c;
}

class CameraTest : public ::testing::Test {
protected:
    void SetUp() override { gst_init(nullptr, nullptr); }
};

}  // namespace

TEST_F(CameraTest, TestPatternStartsAtKeyFrameKeepsIntervalAndDecodes) {
    CameraConfig config = SmallCamera();
    Camera camera(0, config, false);
    CollectingSink sink;
    ASSERT_EQ(camera.Subscribe(&sink), 0);
    ASSERT_TRUE(
        sink.WaitFor([&] { return sink.VideoCount() >= 60 && sink.AudioCount() >= 30; }, 30000));
    camera.Unsubscribe(&sink);
    auto video = sink.Video();
    uint32_t now = zevo::TickCount();

    ASSERT_TRUE(video.front()->key);
    int keys = 0;
    size_t lastKey = 0;
    for (size_t i = 0; i < video.size(); ++i) {
        EXPECT_FALSE(video[i]->data.empty());
        EXPECT_EQ(video[i]->camera, 0);
        if (video[i]->key) {
            ++keys;
            if (i > 0) {
                EXPECT_LE(i - lastKey, size_t(config.keyInterval)) << "frame " << i;
            }
            lastKey = i;
        }
        if (i > 0) {
            // Capture times 40 ms apart at 25 fps (whole milliseconds, so 39 to 41).
            int32_t step = int32_t(video[i]->captureTick - video[i - 1]->captureTick);
            EXPECT_GE(step, 39) << "frame " << i;
            EXPECT_LE(step, 41) << "frame " << i;
        }
    }
    EXPECT_GE(keys, 2);
    // Capture times are on this machine's monotonic clock.
    int32_t age = int32_t(now - video.back()->captureTick);
    EXPECT_GE(age, 0);
    EXPECT_LT(age, 5000);

    EXPECT_EQ(DecodeAccessUnits(Units(video), false), int(video.size()));

    auto audio = sink.Audio();
    for (size_t i = 0; i < audio.size(); ++i) {
        EXPECT_EQ(audio[i]->data.size(), size_t(kAudioBlockSamples * 2));
        if (i > 0) {
            int32_t step = int32_t(audio[i]->captureTick - audio[i - 1]->captureTick);
            EXPECT_GE(step, 39);
            EXPECT_LE(step, 41);
        }
    }
    std::vector<int16_t> samples = Samples(audio);
    EXPECT_NEAR(EstimateFrequency(samples, kAudioRate), config.toneFrequency, 2.0);
    EXPECT_NEAR(EstimateLevel(samples), config.toneLevel, 0.02);
    EXPECT_GT(ToneShare(samples, config.toneFrequency, kAudioRate), 0.9);
}

TEST_F(CameraTest, ALaterViewerGetsAKeyFrameLongBeforeTheInterval) {
    CameraConfig config = SmallCamera();
    config.keyInterval = 250;  // ten seconds
    config.audio = AudioSourceKind::None;
    Camera camera(1, config, false);
    CollectingSink first, second;
    ASSERT_EQ(camera.Subscribe(&first), 0);
    ASSERT_TRUE(first.WaitFor([&] { return first.VideoCount() >= 10; }, 20000));
    ASSERT_EQ(camera.Subscribe(&second), 0);
    ASSERT_TRUE(second.WaitFor(
        [&] {
            for (const auto& f : second.VideoLocked()) {
                if (f->key) return true;
            }
            return false;
        },
        20000));
    // Some frames may still be in the encoder; the key must come well before frame 250.
    auto frames = second.Video();
    size_t keyAt = 0;
    while (!frames[keyAt]->key) ++keyAt;
    EXPECT_LT(keyAt, 20u);
    EXPECT_EQ(frames[0]->camera, 1);
    camera.Unsubscribe(&first);
    camera.Unsubscribe(&second);
}

TEST_F(CameraTest, PipelineRunsOnlyWhileWatched) {
    CameraConfig config = SmallCamera();
    config.audio = AudioSourceKind::None;
    Camera camera(0, config, false);
    CollectingSink a, b;
    ASSERT_EQ(camera.Subscribe(&a), 0);
    ASSERT_EQ(camera.Subscribe(&b), 0);
    ASSERT_TRUE(a.WaitFor([&] { return a.VideoCount() >= 5; }, 20000));
    camera.Unsubscribe(&a);
    size_t aCount = a.Video().size();
    // b still watches: frames keep coming to b, none to a.
    size_t bBefore = b.Video().size();
    ASSERT_TRUE(b.WaitFor([&] { return b.VideoCount() >= bBefore + 5; }, 20000));
    EXPECT_EQ(a.Video().size(), aCount);
    camera.Unsubscribe(&b);
    uint64_t produced = camera.VideoFrames();
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
    EXPECT_EQ(camera.VideoFrames(), produced);
    // Watching again starts afresh with a key frame.
    CollectingSink c;
    ASSERT_EQ(camera.Subscribe(&c), 0);
    ASSERT_TRUE(c.WaitFor([&] { return c.VideoCount() >= 1; }, 20000));
    EXPECT_TRUE(c.Video().front()->key);
    camera.Unsubscribe(&c);
}

TEST_F(CameraTest, H265StreamStartsAtIrapAndDecodes) {
    CameraConfig config = SmallCamera();
    config.codec = VideoCodec::H265;
    config.audio = AudioSourceKind::None;
    Camera camera(2, config, false);
    CollectingSink sink;
    ASSERT_EQ(camera.Subscribe(&sink), 0);
    ASSERT_TRUE(sink.WaitFor([&] { return sink.VideoCount() >= 30; }, 30000));
    camera.Unsubscribe(&sink);
    auto video = sink.Video();
    EXPECT_TRUE(video.front()->key);
    EXPECT_EQ(DecodeAccessUnits(Units(video), true), int(video.size()));
}

TEST_F(CameraTest, MediaFileLoopsAndStaysDecodable) {
    char dir[] = "/tmp/camd-file-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    std::string path = std::string(dir) + "/clip.mkv";
    std::string make =
        "gst-launch-1.0 -q videotestsrc num-buffers=20 ! "
        "video/x-raw,width=160,height=120,framerate=25/1 ! x264enc ! "
        "matroskamux ! filesink location=" +
        path + " > /dev/null 2>&1";
    ASSERT_EQ(std::system(make.c_str()), 0);

    CameraConfig config = SmallCamera();
    config.source = VideoSourceKind::File;
    config.location = path;
    config.audio = AudioSourceKind::None;
    Camera camera(0, config, false);
    CollectingSink sink;
    ASSERT_EQ(camera.Subscribe(&sink), 0);
    // More frames than the file holds: it played again after its end.
    ASSERT_TRUE(sink.WaitFor([&] { return sink.VideoCount() >= 35; }, 30000, &camera));
    camera.Unsubscribe(&sink);
    auto video = sink.Video();
    EXPECT_TRUE(video.front()->key);
    EXPECT_EQ(DecodeAccessUnits(Units(video), false), int(video.size()));
    std::remove(path.c_str());
    rmdir(dir);
}

// A compressed file goes out as it is: the same bytes at every loop (an Annex B file's
// bytes exactly), one access unit per frame stamped at the file's rate across the loop,
// no sooner than that rate in real time, and ffmpeg decodes every unit.
TEST_F(CameraTest, PassthroughSendsTheFileAsItIsAtItsRateAndLoops) {
    const struct {
        const char* name;
        VideoCodec codec;
        const char* encoder;  // gst-launch encoder and output caps
        const char* muxer;    // empty: the byte stream as it is
        bool seamless;        // stamps run on across the end at the frame spacing
    } cases[] = {
        {"clip.h264", VideoCodec::H264,
         "x264enc key-int-max=10 ! video/x-h264,stream-format=byte-stream", "", true},
        {"clip.mkv", VideoCodec::H264, "x264enc key-int-max=10", "matroskamux", false},
        {"clip.hevc", VideoCodec::H265,
         "x265enc key-int-max=10 ! video/x-h265,stream-format=byte-stream", "", true},
    };
    constexpr size_t kFileFrames = 20;
    constexpr size_t kWanted = 2 * kFileFrames + 5;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        char dir[] = "/tmp/camd-pass-XXXXXX";
        ASSERT_NE(mkdtemp(dir), nullptr);
        const std::string path = std::string(dir) + "/" + c.name;
        const std::string make = std::string("gst-launch-1.0 -q videotestsrc num-buffers=") +
                                 std::to_string(kFileFrames) +
                                 " ! video/x-raw,width=160,height=120,framerate=25/1 ! " +
                                 c.encoder + (*c.muxer ? std::string(" ! ") + c.muxer : "") +
                                 " ! filesink location=" + path + " > /dev/null 2>&1";
        ASSERT_EQ(std::system(make.c_str()), 0);

        CameraConfig config = SmallCamera();
        config.source = VideoSourceKind::Passthrough;
        config.location = path;
        config.codec = c.codec;
        config.width = 1920;  // not the file's size: nothing is scaled or encoded
        config.audio = AudioSourceKind::None;
        const std::string description = Camera::DescribePipeline(config, 0, true, false);
        EXPECT_EQ(description.find("enc"), std::string::npos) << description;
        Camera camera(0, config, false);
        CollectingSink sink;
        const auto start = std::chrono::steady_clock::now();
        ASSERT_EQ(camera.Subscribe(&sink), 0);
        ASSERT_TRUE(sink.WaitFor([&] { return sink.VideoCount() >= kWanted; }, 30000, &camera));
        const auto took = std::chrono::steady_clock::now() - start;
        camera.Unsubscribe(&sink);
        const auto video = sink.Video();

        EXPECT_GE(took, std::chrono::milliseconds((kWanted - 1) * 40 * 9 / 10));
        size_t mismatches = 0;
        for (size_t i = 0; i + kFileFrames < video.size(); ++i) {
            if (video[i]->data != video[i + kFileFrames]->data) ++mismatches;
            if (i % kFileFrames == 0 && !video[i]->key) ++mismatches;
        }
        EXPECT_EQ(mismatches, 0u);
        for (size_t i = 1; i < video.size(); ++i) {
            const auto step = int32_t(video[i]->captureTick - video[i - 1]->captureTick);
            if (c.seamless || i % kFileFrames != 0) {
                EXPECT_NEAR(step, 40, 1) << "frame " << i;
            } else {
                EXPECT_GE(step, 40) << "frame " << i;  // the container starts again later
            }
        }

        const std::string sent = std::string(dir) + "/sent.bin";
        {
            std::ofstream out(sent, std::ios::binary);
            for (const auto& f : video) {
                out.write(reinterpret_cast<const char*>(f->data.data()),
                          std::streamsize(f->data.size()));
            }
        }
        if (!*c.muxer) {
            std::ifstream in(path, std::ios::binary);
            const std::string file((std::istreambuf_iterator<char>(in)),
                                   std::istreambuf_iterator<char>());
            std::string firstLoop;
            for (size_t i = 0; i < kFileFrames; ++i) {
                firstLoop.append(video[i]->data.begin(), video[i]->data.end());
            }
            // The parser may put parameter sets before key frames that had none.
            const std::vector<std::string> fileUnits = NalUnits(file, c.codec, true);
            EXPECT_EQ(NalUnits(firstLoop, c.codec, true), fileUnits);
            EXPECT_GE(NalUnits(firstLoop, c.codec, false).size(), fileUnits.size() + 1);
        }
        const std::string format = c.codec == VideoCodec::H264 ? "h264" : "hevc";
        EXPECT_EQ(zevo::testing::ShellOutput("ffmpeg -v error -f " + format + " -i " + sent +
                                             " -f null -"),
                  "");
        EXPECT_EQ(zevo::testing::ShellOutput("ffprobe -v error -f " + format +
                                             " -count_frames -select_streams v:0 -show_entries "
                                             "stream=nb_read_frames -of csv=p=0 " +
                                             sent),
                  std::to_string(video.size()) + "\n");
        EXPECT_EQ(std::system(("rm -rf " + std::string(dir)).c_str()), 0);
    }
}

TEST_F(CameraTest, AudioOnlyCameraSendsNoVideoAndAMissingFileIsReported) {
    CameraConfig config = SmallCamera();
    config.toneFrequency = 1000;
    Camera audioOnly(0, config, true);
    EXPECT_FALSE(audioOnly.HasVideo());
    CollectingSink sink;
    ASSERT_EQ(audioOnly.Subscribe(&sink), 0);
    ASSERT_TRUE(sink.WaitFor([&] { return sink.AudioCount() >= 25; }, 20000));
    audioOnly.Unsubscribe(&sink);
    EXPECT_EQ(sink.Video().size(), 0u);
    EXPECT_NEAR(EstimateFrequency(Samples(sink.Audio()), kAudioRate), 1000.0, 3.0);

    CameraConfig missing = SmallCamera();
    missing.source = VideoSourceKind::File;
    missing.location = "/nonexistent/clip.mp4";
    missing.audio = AudioSourceKind::None;
    Camera broken(0, missing, false);
    CollectingSink none;
    broken.Subscribe(&none);
    // The error is handled on Poll: the pipeline stops and nothing arrives.
    for (int i = 0; i < 10; ++i) {
        broken.Poll();
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    EXPECT_EQ(none.Video().size(), 0u);
    broken.Unsubscribe(&none);
}

TEST_F(CameraTest, PipelineDescriptionsFollowTheSettings) {
    CameraConfig c = SmallCamera();
    c.bitrateKbps = 2000;
    c.keyInterval = 50;
    std::string d = Camera::DescribePipeline(c, 1, true, true);
    EXPECT_NE(d.find("pattern=ball"), std::string::npos) << d;
    EXPECT_NE(d.find("width=320,height=240,framerate=25/1"), std::string::npos);
    EXPECT_NE(d.find("x264enc name=venc tune=zerolatency speed-preset=ultrafast bitrate=2000 "
                     "key-int-max=50"),
              std::string::npos);
    EXPECT_NE(d.find("stream-format=byte-stream,alignment=au"), std::string::npos);
    EXPECT_NE(d.find("rate=8000"), std::string::npos);
    EXPECT_NE(d.find("samplesperbuffer=320"), std::string::npos);
    c.codec = VideoCodec::H265;
    c.source = VideoSourceKind::Webcam;
    c.audio = AudioSourceKind::None;
    d = Camera::DescribePipeline(c, 0, true, true);
    EXPECT_NE(d.find("v4l2src"), std::string::npos);
    EXPECT_NE(d.find("x265enc"), std::string::npos);
    EXPECT_EQ(d.find("audiotestsrc"), std::string::npos);
}

TEST_F(CameraTest, AudioFromAFileIsResampledToTheViewersFormat) {
    char dir[] = "/tmp/camd-audio-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    std::string path = std::string(dir) + "/tone.wav";
    // Two seconds of 500 Hz at 44.1 kHz stereo: the camera must make 8000 Hz mono of it.
    std::string make =
        "gst-launch-1.0 -q audiotestsrc freq=500 volume=0.4 num-buffers=86 ! "
        "audio/x-raw,rate=44100,channels=2 ! wavenc ! filesink location=" +
        path + " > /dev/null 2>&1";
    ASSERT_EQ(std::system(make.c_str()), 0);
    CameraConfig config = SmallCamera();
    config.audio = AudioSourceKind::File;
    config.audioLocation = path;
    Camera camera(0, config, true);
    CollectingSink sink;
    ASSERT_EQ(camera.Subscribe(&sink), 0);
    ASSERT_TRUE(sink.WaitFor([&] { return sink.AudioCount() >= 25; }, 20000, &camera));
    camera.Unsubscribe(&sink);
    std::vector<int16_t> samples = Samples(sink.Audio());
    EXPECT_NEAR(EstimateFrequency(samples, kAudioRate), 500.0, 3.0);
    EXPECT_NEAR(EstimateLevel(samples), 0.4, 0.03);
    std::remove(path.c_str());
    rmdir(dir);
}
