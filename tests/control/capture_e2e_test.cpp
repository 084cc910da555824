// Captures end to end: zevo-host records and snapshots what the real zevo-camd sends
// through the real transport, and readers we did not write (ffprobe, ffmpeg, GStreamer,
// Qt's JPEG reader) judge the files.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <QImage>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <regex>
#include <sstream>
#include <thread>

#include "loopback_world.h"
#include "tests/platform/shell_output.h"

namespace zevo::e2e {
namespace {

using namespace std::chrono_literals;

const std::string kPrelude = kScriptHelpers + R"JS(
function waitFrames(n, ms) {
    return waitFor(function () { return viewer.framesDispatched() >= n; }, ms);
}
)JS";

using zevo::testing::ShellOutput;

std::string Probe(const std::string& file, const std::string& entries, bool countFrames = false) {
    return ShellOutput("ffprobe -v error -select_streams v:0 " +
                       std::string(countFrames ? "-count_frames " : "") + "-show_entries " +
                       entries + " -of default=noprint_wrappers=1 '" + file + "'");
}

std::string Field(const std::string& text, const std::string& key) {
    std::smatch m;
    if (std::regex_search(text, m, std::regex(key + "=(\\S+)"))) return m[1];
    return {};
}

double Number(const std::string& text, const std::string& key) {
    const std::string value = Field(text, key);
    return value.empty() || value == "N/A" ? -1.0 : std::stod(value);
}

// Frames GStreamer's own AVI reader hands to its decoder.
int GstDecodedFrames(const std::string& file) {
    const std::string out = ShellOutput(
        "gst-launch-1.0 -v filesrc location='" + file +
        "' ! avidemux ! h264parse ! avdec_h264 ! fakesink silent=false | grep -c 'chain'");
    return std::atoi(out.c_str());
}

// "key value" log lines of the script.
std::string LogValue(const std::vector<std::string>& logs, const std::string& key) {
    for (const std::string& line : logs) {
        if (line.rfind(key + " ", 0) == 0) return line.substr(key.size() + 1);
    }
    return {};
}

class RecordingEndToEnd : public ::testing::TestWithParam<const char*> {};

// Ten seconds recorded from the device: the file holds the device's codec and size,
// every dispatched frame, plays as long as it ran and decodes without an error; the
// snapshot taken meanwhile is the picture shown.
TEST_P(RecordingEndToEnd, TenSecondsAsTheDeviceSentThemAndASnapshotOfThePicture) {
    const std::string codec = GetParam();
    LoopbackWorld world;
    world.SetDeviceOptions({"--camera", "0:source=test:smpte,size=480x270,codec=" + codec});
    ASSERT_TRUE(world.StartService());
    ASSERT_TRUE(world.StartDevice({}, 1));
    ASSERT_EQ(world.RunHost(kPrelude + R"JS(
        // Before the session: the first frame recorded is the stream's first key frame.
        player.StartRecord();
        player.StartAV();
        if (!waitFrames(1, 30000)) host.quit(3);
        var t0 = Date.now();
        var f0 = viewer.framesDispatched();
        host.sleep(5000);
        player.Snapshot();
        var points = [];
        for (var i = 0; i < 7; ++i) points.push([(i + 0.5) / 7, 0.3]);
        var image = viewer.currentImage(points);
        host.log("shown " + image.pixels.join(" "));
        host.sleep(5000);
        host.log("pane2 " + host.paneText(2));
        host.log("file " + viewer.recordFile());
        player.StopRecord();
        host.log("frames " + viewer.framesDispatched());
        host.log("ms " + (Date.now() - t0 + 40 * f0));
        host.log("after " + viewer.recordGraphState() + " [" + viewer.recordFile() + "] [" +
                 host.paneText(2) + "]");
        host.quit(0);
    )JS",
                            120s),
              0)
        << ReadFile(world.HostOut());
    const std::vector<std::string> logs = world.Lines("log");
    const std::string all = ReadFile(world.HostOut()) + ReadFile(world.Dir() + "/host.err");
    const std::string file = LogValue(logs, "file");
    ASSERT_FALSE(file.empty()) << all;
    EXPECT_TRUE(std::regex_match(file, std::regex(world.Dir() + R"(/\d{8}_\d{6}\.avi)"))) << file;
    EXPECT_TRUE(std::regex_match(LogValue(logs, "pane2"), std::regex(R"(R:00:(09|1\d))"))) << all;
    EXPECT_EQ(LogValue(logs, "after"), "0 [] []");
    const double dispatched = std::stod(LogValue(logs, "frames"));
    const double ms = std::stod(LogValue(logs, "ms"));

    const std::string stream = Probe(file, "stream=codec_name,width,height,nb_read_frames", true);
    EXPECT_EQ(Field(stream, "codec_name"), codec == "h265" ? "hevc" : "h264") << stream;
    EXPECT_EQ(Field(stream, "width"), "480");
    EXPECT_EQ(Field(stream, "height"), "270");
    EXPECT_NEAR(Number(stream, "nb_read_frames"), dispatched, dispatched * 0.02) << stream;
    const double duration = Number(ShellOutput("ffprobe -v error -show_entries format=duration -of "
                                               "default=noprint_wrappers=1 '" +
                                               file + "'"),
                                   "duration");
    EXPECT_NEAR(duration * 1000, ms, ms * 0.05);
    EXPECT_EQ(ShellOutput("ffmpeg -v error -i '" + file + "' -f null -"), "");
    EXPECT_EQ(ShellOutput("ffmpeg -v error -ss 4 -i '" + file + "' -frames:v 10 -f null -"), "");
    if (codec == "h264") {
        EXPECT_NEAR(GstDecodedFrames(file), dispatched, dispatched * 0.02);
    }

    // The snapshot: a JPEG of the stream's size with the bars that were shown.
    QImage jpeg;
    const std::string listing = ShellOutput("ls '" + world.Dir() + "'");
    std::smatch m;
    ASSERT_TRUE(std::regex_search(listing, m, std::regex(R"(\d{8}_\d{6}\.jpg)"))) << listing;
    const std::string jpegPath = world.Dir() + "/" + m[0].str();
    ASSERT_TRUE(jpeg.load(QString::fromStdString(jpegPath), "JPEG")) << jpegPath;
    EXPECT_EQ(jpeg.width(), 480);
    EXPECT_EQ(jpeg.height(), 270);
    std::istringstream shown(LogValue(logs, "shown"));
    std::string colour;
    for (int i = 0; i < 7 && shown >> colour; ++i) {
        const unsigned long v = std::stoul(colour.substr(1), nullptr, 16);
        const QColor pixel = jpeg.pixelColor(static_cast<int>((i + 0.5) / 7 * 480), 81);
        SCOPED_TRACE("bar " + std::to_string(i) + " shown " + colour);
        EXPECT_NEAR(pixel.red(), static_cast<int>(v >> 16 & 255), 40);
        EXPECT_NEAR(pixel.green(), static_cast<int>(v >> 8 & 255), 40);
        EXPECT_NEAR(pixel.blue(), static_cast<int>(v & 255), 40);
    }
}

INSTANTIATE_TEST_SUITE_P(Codecs, RecordingEndToEnd, ::testing::Values("h264", "h265"));

// A viewer killed in the middle of a recording leaves a file that readers decode, and
// the next start completes it: then it says how long it is and seeks. StopAV before the
// kill keeps the recording running (nothing more arrives).
TEST(CrashedRecording, ReadableAfterTheKillAndCompletedByTheNextStart) {
    LoopbackWorld world;
    world.SetDeviceOptions({"--camera", "0:source=test:smpte,size=480x270"});
    ASSERT_TRUE(world.StartService());
    ASSERT_TRUE(world.StartDevice({}, 1));
    // A first run keeps the save folder in the settings, as a user's earlier run would.
    ASSERT_EQ(world.RunHost("host.quit(0);", 60s), 0);
    ASSERT_TRUE(world.StartHost(kPrelude + R"JS(
        player.StartRecord();
        player.StartAV();
        if (!waitFrames(1, 30000)) host.quit(3);
        var t0 = Date.now();
        host.sleep(6000);
        player.StopAV();
        var ms = Date.now() - t0 + 40;
        host.log("file " + viewer.recordFile());
        host.log("frames " + viewer.framesDispatched());
        host.log("ms " + ms);
        host.log("recording " + viewer.recordGraphState() + " " + host.paneText(2));
        host.log("killme");
        host.sleep(60000);
    )JS"));
    ASSERT_TRUE(world.WaitForLine("log", "killme", 60s)) << ReadFile(world.HostOut());
    world.Host().Signal(SIGKILL);
    world.FinishHost(10s);
    const std::vector<std::string> logs = world.Lines("log");
    const std::string file = LogValue(logs, "file");
    ASSERT_FALSE(file.empty()) << ReadFile(world.HostOut());
    EXPECT_TRUE(std::regex_match(LogValue(logs, "recording"), std::regex(R"(2 R:00:0\d)")))
        << LogValue(logs, "recording");
    const double frames = std::stod(LogValue(logs, "frames"));
    const double ms = std::stod(LogValue(logs, "ms"));

    // Cut off: no index yet, and both readers still decode what was pushed.
    {
        std::ifstream in(file, std::ios::binary);
        char header[48] = {};
        in.read(header, sizeof header);
        EXPECT_EQ(header[44] & 0x10, 0) << "the file has its index already";
    }
    const double cutFrames = Number(Probe(file, "stream=nb_read_frames", true), "nb_read_frames");
    EXPECT_GE(cutFrames, frames * 0.95);
    EXPECT_GE(GstDecodedFrames(file), frames * 0.95);

    // The next start completes it.
    ASSERT_EQ(world.RunHost("host.quit(0);", 60s), 0);
    EXPECT_NE(ReadFile(world.Dir() + "/host.err").find("Completed the recording"),
              std::string::npos);
    const std::string format = ShellOutput(
        "ffprobe -v error -show_entries format=duration -of "
        "default=noprint_wrappers=1 '" +
        file + "'");
    EXPECT_NEAR(Number(format, "duration") * 1000, ms, ms * 0.05) << format;
    EXPECT_GE(Number(Probe(file, "stream=nb_read_frames", true), "nb_read_frames"), frames * 0.95);
    EXPECT_EQ(ShellOutput("ffmpeg -v error -ss 3 -i '" + file + "' -frames:v 10 -f null -"), "");
}

// The edges of captures in one run: nothing recorded without a recording, folders that
// do not exist or are too long write nothing and show nothing, two snapshots in one
// second share a name, a read error completes the recording.
TEST(CaptureEdges, MissingAndLongFoldersSameSecondNamesAndAReadError) {
    LoopbackWorld world;
    world.SetDeviceOptions({"--camera", "0:source=test:smpte,size=320x180"});
    ASSERT_TRUE(world.StartService());
    ASSERT_TRUE(world.StartDevice({}, 1));
    std::string longFolder = world.Dir();
    while (longFolder.size() < 300) longFolder += "/abcdefghijklmnopqrstuvwxyz";
    ASSERT_EQ(ShellOutput("mkdir -p '" + longFolder + "' && echo ok"), "ok\n");
    const std::string missing = world.Dir() + "/missing";
    const std::string snaps = world.Dir() + "/snaps";
    ASSERT_EQ(mkdir(snaps.c_str(), 0755), 0);
    for (int k = 0; k < 5; ++k) {
        ASSERT_EQ(mkdir((snaps + "/" + std::to_string(k)).c_str(), 0755), 0);
    }
    ASSERT_TRUE(world.StartHost(kPrelude + "var long = '" + longFolder + "', missing = '" +
                                missing + "', snaps = '" + snaps + "';" + R"JS(
        player.StopRecord();
        player.StartAV();
        if (!waitFrames(5, 30000)) host.quit(3);
        var folders = [missing, long];
        for (var i = 0; i < folders.length; ++i) {
            player.SavePath = folders[i];
            player.Snapshot();
            player.StartRecord();
            host.sleep(500);
            player.StopRecord();
        }
        // Two snapshots within one second, retried in a fresh folder when the clock
        // turned in between.
        for (var k = 0; k < 5; ++k) {
            player.SavePath = snaps + '/' + k;
            var s = new Date().getSeconds();
            player.Snapshot();
            player.Snapshot();
            if (new Date().getSeconds() == s) break;
            host.sleep(100);
        }
        host.log("snapfolder " + player.SavePath);
        host.log("boxes " + host.messageBoxes().length);
        player.StartRecord();
        host.sleep(2000);
        host.log("file " + viewer.recordFile());
        host.log("killdevice");
        waitFor(function () { return viewer.recordGraphState() !== 2; }, 20000);
        host.log("after " + viewer.recordGraphState() + " [" + host.paneText(2) + "]");
        host.quit(0);
    )JS"));
    ASSERT_TRUE(world.WaitForLine("log", "killdevice", 60s)) << ReadFile(world.HostOut());
    world.KillDevice();
    ASSERT_EQ(world.FinishHost(60s), 0) << ReadFile(world.HostOut());
    const std::vector<std::string> logs = world.Lines("log");
    EXPECT_EQ(LogValue(logs, "boxes"), "0") << ReadFile(world.HostOut());
    EXPECT_EQ(ShellOutput("ls -A '" + longFolder + "'"), "");
    EXPECT_FALSE(std::ifstream(missing).good());
    const std::string listing = ShellOutput("ls '" + LogValue(logs, "snapfolder") + "'");
    EXPECT_TRUE(std::regex_match(listing, std::regex(R"((\d{8}_\d{6}\.avi\n)?\d{8}_\d{6}\.jpg\n)")))
        << listing;

    // The read error stopped and completed the recording: it has its index.
    EXPECT_EQ(LogValue(logs, "after"), "0 []");
    const std::string file = LogValue(logs, "file");
    ASSERT_FALSE(file.empty());
    EXPECT_EQ(ShellOutput("ffmpeg -v error -i '" + file + "' -f null -"), "");
    EXPECT_NE(ShellOutput("ffprobe -v error -show_entries format=duration '" + file + "'")
                  .find("duration=1"),
              std::string::npos);
}

// The folder dialog answered with a folder and cancelled.
TEST(SelectPath, AFolderReplacesTheSavePathACancelKeepsIt) {
    LoopbackWorld world;
    ASSERT_TRUE(world.StartService());
    for (const std::string& answer : {world.Dir() + "/chosen", std::string("cancel")}) {
        if (answer != "cancel") {
            ASSERT_EQ(mkdir(answer.c_str(), 0755), 0);
        }
        world.SetHostArguments({"--select-path-answer", answer});
        ASSERT_TRUE(
            world.StartHost("host.log('before ' + player.SavePath); player.SelectPath();"
                            "host.log('after ' + player.SavePath); host.quit(0);"));
        ASSERT_EQ(world.FinishHost(60s), 0);
        const std::vector<std::string> logs = world.Lines("log");
        const std::string before = LogValue(logs, "before");
        EXPECT_EQ(LogValue(logs, "after"), answer == "cancel" ? before : answer);
        // The dialog opened on the folder it had, shown in its status line.
        const std::vector<std::string> dialog = world.Lines("folder");
        ASSERT_EQ(dialog.size(), 1u);
        const std::string shown = before.size() > 35 ? before.substr(0, 35) + "..." : before;
        EXPECT_EQ(dialog[0], "Save Path: " + shown + " -> " + answer);
    }
}

}  // namespace
}  // namespace zevo::e2e
