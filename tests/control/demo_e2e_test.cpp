// What a viewer sees and hears, end to end on loopback: zevo-host --demo on its own, and
// zevo-host --script against zevo-camd reading the live picture through the current-image
// read and the played sound through an ALSA file device.
#include <dirent.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <regex>
#include <sstream>
#include <thread>

#include "../media/tone_measure.h"
#include "loopback_world.h"

namespace zevo::e2e {
namespace {

using namespace std::chrono_literals;

// The children of parent, by pid, with their program names.
std::vector<std::pair<pid_t, std::string>> ChildrenOf(pid_t parent) {
    std::vector<std::pair<pid_t, std::string>> children;
    DIR* proc = opendir("/proc");
    if (!proc) return children;
    while (dirent* entry = readdir(proc)) {
        if (entry->d_name[0] < '0' || entry->d_name[0] > '9') continue;
        const std::string stat = ReadFile(std::string("/proc/") + entry->d_name + "/stat");
        // pid (comm) state ppid ...
        const size_t open = stat.find('(');
        const size_t close = stat.rfind(')');
        if (open == std::string::npos || close == std::string::npos) continue;
        std::istringstream rest(stat.substr(close + 1));
        char state = 0;
        long ppid = 0;
        rest >> state >> ppid;
        if (ppid == parent) {
            children.emplace_back(static_cast<pid_t>(std::stol(entry->d_name)),
                                  stat.substr(open + 1, close - open - 1));
        }
    }
    closedir(proc);
    return children;
}

// Gone, or a zombie waiting for whoever adopted it.
bool Ended(pid_t pid) {
    const std::string stat = ReadFile("/proc/" + std::to_string(pid) + "/stat");
    const size_t close = stat.rfind(')');
    return close == std::string::npos || stat.compare(close + 1, 3, " Z ") == 0;
}

bool WaitEnded(const std::vector<std::pair<pid_t, std::string>>& children,
               std::chrono::milliseconds wait) {
    const auto deadline = std::chrono::steady_clock::now() + wait;
    for (const auto& child : children) {
        while (!Ended(child.first)) {
            if (std::chrono::steady_clock::now() > deadline) return false;
            std::this_thread::sleep_for(50ms);
        }
    }
    return true;
}

std::string Names(const std::vector<std::pair<pid_t, std::string>>& children) {
    std::string names;
    for (const auto& child : children) names += child.second + " ";
    return names;
}

class TempDir {
public:
    TempDir() {
        char pattern[] = "/tmp/zevo-demo-test-XXXXXX";
        mPath = mkdtemp(pattern) ? pattern : "";
    }
    ~TempDir() {
        if (!mPath.empty() && !std::getenv("ZEVO_KEEP_E2E")) {
            if (std::system(("rm -rf '" + mPath + "'").c_str()) != 0) {
            }
        }
    }
    const std::string& Path() const { return mPath; }

private:
    std::string mPath;
};

std::vector<std::string> DemoEnv(const std::string& dir) {
    // The user has registered the control, as scripts/demo.sh does.
    EXPECT_TRUE(RegisterControl(dir));
    return {"HOME=" + dir, "XDG_CONFIG_HOME=" + dir + "/.config", "QT_QPA_PLATFORM=offscreen"};
}

double BestFps(const std::vector<TranscriptLine>& lines) {
    static const std::regex fps(R"(FPS:([0-9.]+))");
    double best = 0;
    for (const TranscriptLine& line : lines) {
        std::smatch m;
        if (line.kind == "pane3" && std::regex_search(line.text, m, fps)) {
            best = std::max(best, std::stod(m[1]));
        }
    }
    return best;
}

bool Has(const std::vector<TranscriptLine>& lines, const std::string& kind,
         const std::string& prefix) {
    for (const TranscriptLine& line : lines) {
        if (line.kind == kind && line.text.rfind(prefix, 0) == 0) return true;
    }
    return false;
}

TEST(DemoEndToEnd, HeadlessDemoStreamsAndTakesItsChildrenAlong) {
    TempDir dir;
    ASSERT_FALSE(dir.Path().empty());
    Process host;
    ASSERT_TRUE(host.Start({ZEVO_HOST_BIN, "--demo", "--headless", "--demo-seconds", "8"},
                           DemoEnv(dir.Path()), dir.Path() + "/out", dir.Path() + "/err"));
    // The host first runs a short-lived zevo-p2pd for the device secret, then the two
    // that stay: wait for those.
    std::vector<std::pair<pid_t, std::string>> children;
    for (int i = 0; i < 400 && Names(children) != "zevo-p2pd zevo-camd "; ++i) {
        std::this_thread::sleep_for(50ms);
        children = ChildrenOf(host.Pid());
    }
    EXPECT_EQ(Names(children), "zevo-p2pd zevo-camd ");
    const int code = host.Wait(120s);
    const auto lines = ReadTranscript(dir.Path() + "/out");
    const std::string all = ReadFile(dir.Path() + "/out") + ReadFile(dir.Path() + "/err");
    EXPECT_EQ(code, 0) << all;
    EXPECT_TRUE(Has(lines, "pane0", "Running...(P2P, Remote:127.0.0.1:")) << all;
    EXPECT_GT(BestFps(lines), 0.0) << all;
    // Its own lines only: no sound library or Qt start-up chatter on a machine without a
    // sound card, runtime folder or screen.
    std::istringstream err(ReadFile(dir.Path() + "/err"));
    for (std::string line; std::getline(err, line);) {
        EXPECT_TRUE(line.empty() || line == "no sound device: audio is discarded" ||
                    line.rfind("zevo-host", 0) == 0)
            << line;
    }
    // Both children went with the host.
    EXPECT_TRUE(WaitEnded(children, 10s));
}

TEST(DemoEndToEnd, ChildrenEndWhenTheHostIsTerminatedOrKilled) {
    for (const int sig : {SIGTERM, SIGKILL}) {
        SCOPED_TRACE(sig);
        TempDir dir;
        Process host;
        ASSERT_TRUE(host.Start({ZEVO_HOST_BIN, "--demo", "--headless", "--demo-seconds", "0"},
                               DemoEnv(dir.Path()), dir.Path() + "/out", dir.Path() + "/err"));
        bool running = false;
        for (int i = 0; i < 600 && !running; ++i) {
            running = Has(ReadTranscript(dir.Path() + "/out"), "pane0", "Running...");
            if (!running) std::this_thread::sleep_for(50ms);
        }
        ASSERT_TRUE(running) << ReadFile(dir.Path() + "/out") << ReadFile(dir.Path() + "/err");
        const auto children = ChildrenOf(host.Pid());
        ASSERT_EQ(Names(children), "zevo-p2pd zevo-camd ");
        host.Signal(sig);
        const int code = host.Wait(30s);
        if (sig == SIGTERM) {
            EXPECT_EQ(code, 128 + SIGTERM) << ReadFile(dir.Path() + "/out");
        } else {
            EXPECT_EQ(code, -1000 - SIGKILL);
        }
        EXPECT_TRUE(WaitEnded(children, 15s));
    }
}

// Helpers every script starts with.
const std::string kPrelude = kScriptHelpers + R"JS(
// The seven bars of the SMPTE pattern, sampled in the middle of their height.
var bars = [];
for (var i = 0; i < 7; ++i) bars.push([(i + 0.5) / 7, 0.45]);
function describe(image) {
    if (image.result < 0) return "image none " + image.result;
    return "image " + image.width + " " + image.height + " " + image.bitCount + " " +
           image.checksum + " " + image.pixels.join(" ");
}
)JS";

// The picture checks: a start, two reads of the current image, a StopAV, a read of the
// new graph.
const char kPictureScript[] = R"JS(
player.StartAV();
if (!waitRunning(30000)) { host.log("not running"); host.quit(3); }
waitFor(function () { return viewer.framesRendered() >= 10; }, 20000);
host.log("graph " + viewer.graphName() + " state " + viewer.graphState());
host.log(describe(viewer.currentImage(bars)));
var frames = viewer.framesRendered();
waitFor(function () { return viewer.framesRendered() >= frames + 5; }, 10000);
host.log(describe(viewer.currentImage(bars)));
player.StopAV();
host.log("graph " + viewer.graphName() + " state " + viewer.graphState() + " frames " +
         viewer.framesRendered());
host.log(describe(viewer.currentImage(bars)));
host.quit(0);
)JS";

struct Rgb {
    int r = 0, g = 0, b = 0;
};

struct Picture {
    bool present = false;
    int width = 0, height = 0, bitCount = 0;
    std::string checksum;
    std::vector<Rgb> pixels;
};

Picture ParsePicture(const std::string& line) {
    Picture p;
    std::istringstream in(line);
    std::string word;
    in >> word;  // "image"
    if (!(in >> p.width >> p.height >> p.bitCount >> p.checksum)) return p;
    p.present = true;
    while (in >> word) {
        if (word.size() != 7 || word[0] != '#') continue;
        const unsigned long v = std::stoul(word.substr(1), nullptr, 16);
        p.pixels.push_back({int(v >> 16 & 255), int(v >> 8 & 255), int(v & 255)});
    }
    return p;
}

class PictureEndToEnd : public ::testing::TestWithParam<const char*> {};

TEST_P(PictureEndToEnd, StartShowsTheDevicePatternMovingAndStopAVLeavesAnEmptyRunningGraph) {
    LoopbackWorld world;
    world.SetDeviceOptions(
        {"--camera", std::string("0:source=test:smpte,size=480x270,codec=") + GetParam()});
    ASSERT_TRUE(world.StartService());
    ASSERT_TRUE(world.StartDevice({}, 1));
    ASSERT_EQ(world.RunHost(kPrelude + kPictureScript, 120s), 0) << ReadFile(world.HostOut());
    const std::vector<std::string> logs = world.Lines("log");
    const std::string all = ReadFile(world.HostOut());
    ASSERT_EQ(logs.size(), 5u) << all;

    const std::regex graphLine(R"(graph (FilterGraph \S+ pid \S+) state (\d+).*)");
    std::smatch before;
    std::smatch after;
    ASSERT_TRUE(std::regex_match(logs[0], before, graphLine)) << all;
    EXPECT_EQ(before[2], "2");

    // The device's picture at its own size, with the SMPTE bars' colours (white, yellow,
    // cyan, green, magenta, red, blue: videotestsrc draws them at full level in I420),
    // within what coding and colour conversion change.
    const Picture first = ParsePicture(logs[1]);
    ASSERT_TRUE(first.present) << all;
    EXPECT_EQ(first.width, 480);
    EXPECT_EQ(first.height, 270);
    EXPECT_EQ(first.bitCount, 32);
    const Rgb expected[7] = {{255, 255, 255}, {255, 255, 0}, {0, 255, 255}, {0, 255, 0},
                             {255, 0, 255},   {255, 0, 0},   {0, 0, 255}};
    ASSERT_EQ(first.pixels.size(), 7u) << all;
    for (size_t i = 0; i < 7; ++i) {
        SCOPED_TRACE("bar " + std::to_string(i));
        EXPECT_NEAR(first.pixels[i].r, expected[i].r, 40) << logs[1];
        EXPECT_NEAR(first.pixels[i].g, expected[i].g, 40) << logs[1];
        EXPECT_NEAR(first.pixels[i].b, expected[i].b, 40) << logs[1];
    }

    // Later frames differ (the running time drawn into the picture) on the same bars.
    const Picture second = ParsePicture(logs[2]);
    ASSERT_TRUE(second.present) << all;
    EXPECT_NE(second.checksum, first.checksum) << all;
    ASSERT_EQ(second.pixels.size(), 7u);
    for (size_t i = 0; i < 7; ++i) EXPECT_NEAR(second.pixels[i].g, expected[i].g, 40);

    // StopAV builds a new graph: running, registered under another name, nothing shown.
    ASSERT_TRUE(std::regex_match(logs[3], after, graphLine)) << all;
    EXPECT_EQ(after[2], "2");
    EXPECT_NE(after[1], before[1]);
    EXPECT_NE(logs[3].find("frames 0"), std::string::npos) << logs[3];
    EXPECT_EQ(logs[4].rfind("image none ", 0), 0u) << logs[4];
}

INSTANTIATE_TEST_SUITE_P(Codecs, PictureEndToEnd, ::testing::Values("h264", "h265"));

// ---- Sound --------------------------------------------------------------------------------

constexpr int kRate = 8000;

std::vector<int16_t> ReadSamples(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::vector<int16_t> samples(bytes.size() / 2);
    for (size_t i = 0; i < samples.size(); ++i) {
        samples[i] = static_cast<int16_t>(static_cast<uint8_t>(bytes[2 * i]) |
                                          static_cast<uint8_t>(bytes[2 * i + 1]) << 8);
    }
    return samples;
}

double Rms(const std::vector<int16_t>& s) {
    return zevo::tone::Rms(s);
}
double Frequency(const std::vector<int16_t>& s) {
    return zevo::tone::Frequency(s, kRate);
}

class SoundEndToEnd : public ::testing::TestWithParam<const char*> {};

TEST_P(SoundEndToEnd, PlayedSamplesAreTheDeviceTone) {
    LoopbackWorld world;
    const std::string pcm = world.PlayHostSoundIntoFile();
    world.SetDeviceOptions({"--camera", std::string("0:size=320x180,tone_freq=500,tone_level=0.25,"
                                                    "audio_codec=") +
                                            GetParam()});
    ASSERT_TRUE(world.StartService());
    ASSERT_TRUE(world.StartDevice({}, 1));
    ASSERT_EQ(world.RunHost(kPrelude + R"JS(
player.StartAV();
if (!waitRunning(30000)) host.quit(3);
host.sleep(4000);
host.quit(0);
)JS",
                            120s),
              0)
        << ReadFile(world.HostOut());

    const std::vector<int16_t> all = ReadSamples(pcm);
    // From the first sound on; the first and the last half second left out.
    size_t start = 0;
    while (start < all.size() && all[start] == 0) ++start;
    ASSERT_GT(all.size(), start + 2 * kRate) << "samples " << all.size() << " from " << start;
    const std::vector<int16_t> middle(all.begin() + static_cast<long>(start + kRate / 2),
                                      all.end() - kRate / 2);
    EXPECT_NEAR(Frequency(middle), 500.0, 5.0);
    // A sine of peak 0.25 full scale has an RMS of 0.25 * 32767 / sqrt(2); the ADPCM
    // coding adds a little noise.
    EXPECT_NEAR(Rms(middle), 0.25 * 32767 / std::sqrt(2.0), 0.08 * 5792);
}

INSTANTIATE_TEST_SUITE_P(Codings, SoundEndToEnd, ::testing::Values("pcm", "adpcm"));

}  // namespace
}  // namespace zevo::e2e
