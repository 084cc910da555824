// zevo-host as a container of the control module against the real zevo-p2pd and
// zevo-camd on loopback: a script drives every member through dispatch, by name and by
// id; four controls in one host view four cameras, and closing one leaves the others
// playing video and sound.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstring>
#include <fstream>
#include <map>
#include <regex>
#include <thread>

#include "../media/tone_measure.h"
#include "loopback_world.h"

namespace zevo::e2e {
namespace {

using namespace std::chrono_literals;

const std::string kPrelude = kScriptHelpers + R"JS(
function running(c) { return c.paneText(0).indexOf("Running...") === 0; }
function result(name, value) { host.log("result " + name + "=" + value); }
)JS";

// "result NAME=VALUE" lines of the transcript.
std::map<std::string, std::string> Results(const LoopbackWorld& world) {
    std::map<std::string, std::string> results;
    static const std::regex line(R"(result ([^=]+)=(.*))");
    for (const std::string& text : world.Lines("log")) {
        std::smatch m;
        if (std::regex_match(text, m, line)) results[m[1]] = m[2];
    }
    return results;
}

TEST(ContainerEndToEnd, ScriptCallsEveryMemberByNameAndById) {
    LoopbackWorld world;
    ASSERT_TRUE(world.StartService());
    ASSERT_TRUE(world.StartDevice());
    ASSERT_EQ(world.RunHost(kPrelude + R"JS(
// A DID nobody registered, through the id; then the real one, through the name.
host.invoke(1, "ZEVO-000999-NOONE");
result("id1.get", host.invoke(1));
player.DID = "ZEVO-000123-TESTA";
result("DID.get", player.DID);
result("DID.id", player.idOfName("did"));
result("StartAV", player.StartAV());
result("running", waitFor(function () { return running(player); }, 15000));
result("DID.after", player.DID);
result("Password.get", player.Password);
result("SavePath.put", host.invoke(3, player.SavePath + "/x"));
result("id3.get", host.invoke(3).slice(-2));
result("ChgSelection(-1)", player.ChgSelection(-1));
result("id4(-1)", host.invoke(4, -1));
host.sleep(300);
result("ChgSelection(2)", player.ChgSelection(2));
result("StartRecord", player.StartRecord());
result("id5", host.invoke(5));
result("Snapshot", player.Snapshot());
result("id7", host.invoke(7));
result("StopRecord", player.StopRecord());
result("id10", host.invoke(10));
result("SelectPath", player.SelectPath());
result("id6", host.invoke(6));
result("SetEmailAlert(true)", player.SetEmailAlert(true));
result("GetEmailAlert", player.GetEmailAlert());
result("id12(false)", host.invoke(12, false));
result("id11", host.invoke(11));
host.sleep(2500);
result("stats", player.paneText(3));
result("id9", host.invoke(9));
result("stopped", player.paneText(0));
result("id8", host.invoke(8));
result("running.again", waitFor(function () { return running(player); }, 15000));
result("StopAV", player.StopAV());
result("id2.put", host.invoke(2, "246810"));
result("id2.get", host.invoke(2));
try { host.invoke(13); } catch (e) { result("id13", e.message); }
try { player.ChgSelection("two"); } catch (e) { result("badArg", e.message); }
host.quit(0);
)JS",
                            120s),
              0)
        << ReadFile(world.HostOut()) << ReadFile(world.Dir() + "/host.err");
    const auto results = Results(world);
    const std::map<std::string, std::string> expected = {
        {"id1.get", "ZEVO-000999-NOONE"},
        {"DID.get", "ZEVO-000123-TESTA"},
        {"DID.id", "1"},
        {"StartAV", "0"},
        {"running", "true"},
        {"DID.after", "ZEVO-000123-TESTA"},
        {"Password.get", "246810"},
        {"SavePath.put", "undefined"},
        {"id3.get", "/x"},
        {"ChgSelection(-1)", "0"},
        {"id4(-1)", "0"},
        {"ChgSelection(2)", "0"},
        {"StartRecord", "0"},
        {"id5", "0"},
        {"Snapshot", "0"},
        {"id7", "0"},
        {"StopRecord", "0"},
        {"id10", "0"},
        {"SelectPath", "0"},
        {"id6", "0"},
        {"SetEmailAlert(true)", "0"},
        {"GetEmailAlert", "1"},
        {"id12(false)", "0"},
        {"id11", "0"},
        {"id9", "0"},
        {"stopped", "Press start button to run."},
        {"id8", "0"},
        {"running.again", "true"},
        {"StopAV", "0"},
        {"id2.put", "undefined"},
        {"id2.get", "246810"},
        {"id13", "dispatch failed: member 13: DISP_E_MEMBERNOTFOUND (0x80020003)"},
        {"badArg", "dispatch failed: member 4: DISP_E_TYPEMISMATCH (0x80020005)"},
    };
    for (const auto& [name, value] : expected) {
        ASSERT_TRUE(results.count(name)) << name << "\n" << ReadFile(world.HostOut());
        EXPECT_EQ(results.at(name), value) << name;
    }
    // The camera change reached the stream: statistics of channel 2.
    EXPECT_EQ(results.at("stats").rfind("N:2, FPS:", 0), 0u) << results.at("stats");

    // What the device saw: the start on camera 0, nothing for -1, the switch to 2.
    std::vector<std::pair<std::string, int>> streams;
    for (const DeviceCommand& c : world.DeviceCommands()) {
        if (c.name == "CMD_START_STREAM" || c.name == "CMD_STOP_STREAM")
            streams.push_back({c.name, c.camera});
    }
    ASSERT_GE(streams.size(), 3u) << ReadFile(world.DeviceLog());
    EXPECT_EQ(streams[0], (std::pair<std::string, int>{"CMD_START_STREAM", 0}));
    EXPECT_EQ(streams[1], (std::pair<std::string, int>{"CMD_STOP_STREAM", 0}));
    EXPECT_EQ(streams[2], (std::pair<std::string, int>{"CMD_START_STREAM", 2}));
}

long long FileSize(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 ? static_cast<long long>(st.st_size) : -1;
}

TEST(ContainerEndToEnd, FourControlsViewFourCamerasAndOutliveOneClosed) {
    LoopbackWorld world;
    const std::string pcm = world.PlayHostSoundIntoFile();
    world.SetHostArguments({"--grid", "4"});
    std::vector<std::string> cameras;
    for (int i = 0; i < 4; ++i) {
        cameras.push_back("--camera");
        cameras.push_back(std::to_string(i) +
                          ":size=320x180,bitrate=300,tone_freq=" + std::to_string(400 + 100 * i));
    }
    world.SetDeviceOptions(cameras);
    ASSERT_TRUE(world.StartService());
    ASSERT_TRUE(world.StartDevice({}, 4));
    ASSERT_TRUE(world.StartHost(kPrelude + R"JS(
var c = host.controls;
result("count", c.length);
for (var i = 0; i < c.length; ++i) { c[i].ChgSelection(i); c[i].StartAV(); }
result("allRunning", waitFor(function () {
    return running(c[0]) && running(c[1]) && running(c[2]) && running(c[3]);
}, 30000));
host.sleep(4500);
for (var i = 0; i < 4; ++i) result("before" + i, c[i].paneText(3));
c[0].close();
host.log("closed");
host.sleep(4500);
for (var i = 1; i < 4; ++i) result("after" + i, c[i].paneText(3) + " | " + c[i].paneText(0));
host.log("measured");
try { c[0].StartAV(); } catch (e) { result("closedCall", e.message); }
host.quit(0);
)JS"));
    ASSERT_TRUE(world.WaitForLine("log", "closed", 90s)) << ReadFile(world.HostOut());
    // Sound written after the close, in the two seconds that follow.
    std::this_thread::sleep_for(1s);
    const long long atClose = FileSize(pcm);
    std::this_thread::sleep_for(2s);
    const long long later = FileSize(pcm);
    ASSERT_EQ(world.FinishHost(60s), 0) << ReadFile(world.HostOut());

    const auto results = Results(world);
    ASSERT_EQ(results.at("count"), "4");
    ASSERT_EQ(results.at("allRunning"), "true") << ReadFile(world.HostOut());
    static const std::regex stats(R"(N:(\d+), FPS:(\d+\.\d\d), .*)");
    for (int i = 0; i < 4; ++i) {
        std::smatch m;
        const std::string text = results.at("before" + std::to_string(i));
        ASSERT_TRUE(std::regex_match(text, m, stats)) << text;
        EXPECT_EQ(std::stoi(m[1]), i) << "control " << i << " shows its own camera";
        EXPECT_GT(std::stod(m[2]), 20.0) << text;
    }
    for (int i = 1; i < 4; ++i) {
        std::smatch m;
        const std::string text = results.at("after" + std::to_string(i));
        ASSERT_TRUE(std::regex_search(text, m, stats)) << text;
        EXPECT_EQ(std::stoi(m[1]), i);
        EXPECT_GT(std::stod(m[2]), 20.0) << "control " << i << " still plays: " << text;
        EXPECT_NE(text.find("| Running..."), std::string::npos) << text;
    }
    EXPECT_EQ(results.at("closedCall").rfind("dispatch failed", 0), 0u);
    // The three cameras still shown go on sounding together (mixed: two seconds of
    // sound in two seconds), the closed control's tone is gone.
    EXPECT_GT(later - atClose, 32000 * 3 / 4) << atClose << " -> " << later;
    EXPECT_LT(later - atClose, 32000 * 3 / 2) << atClose << " -> " << later;
    std::vector<int16_t> after;
    {
        std::ifstream in(pcm, std::ios::binary);
        in.seekg(atClose & ~1LL);
        std::vector<char> bytes(static_cast<size_t>(later - (atClose & ~1LL)));
        in.read(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        after.resize(bytes.size() / 2);
        std::memcpy(after.data(), bytes.data(), after.size() * 2);
    }
    const double closed = zevo::tone::Level(after, 400, 8000);
    for (int i = 1; i < 4; ++i) {
        const double level = zevo::tone::Level(after, 400 + 100 * i, 8000);
        EXPECT_GT(level, 4 * closed) << "camera " << i << " tone " << level << " vs " << closed;
        EXPECT_GT(level, 300) << "camera " << i;
    }
    EXPECT_TRUE(world.Lines("box[Tips]").empty()) << "no connection was lost";
}

}  // namespace
}  // namespace zevo::e2e
