// zevo-host --headless --script against the real zevo-p2pd and zevo-camd on loopback:
// what a viewing shows in the status bar and in message boxes, what the device receives,
// and what repeated viewings leave behind.
#include <dirent.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <thread>

#include "loopback_world.h"
#include "p2p/secure/key_files.h"

namespace zevo::e2e {
namespace {

using namespace std::chrono_literals;

// Helpers every script starts with.
const std::string kPrelude = kScriptHelpers + R"JS(
function boxCount() { return host.messageBoxes().length; }
)JS";

std::string Script(const std::string& body) {
    return kPrelude + body;
}

// True when the texts appear in this order (not necessarily next to each other).
bool InOrder(const std::vector<std::string>& texts, const std::vector<std::regex>& wanted) {
    size_t next = 0;
    for (const std::string& text : texts) {
        if (next < wanted.size() && std::regex_match(text, wanted[next])) ++next;
    }
    return next == wanted.size();
}

std::string Joined(const std::vector<std::string>& texts) {
    std::string all;
    for (const std::string& t : texts) all += "  [" + t + "]\n";
    return all;
}

class HostEndToEnd : public ::testing::Test {
protected:
    void Start(const std::vector<std::string>& serviceOptions = {},
               const std::vector<std::string>& faults = {}) {
        ASSERT_TRUE(mWorld.StartService(serviceOptions));
        ASSERT_TRUE(mWorld.StartDevice(faults));
    }
    std::string Transcript() const { return ReadFile(mWorld.HostOut()); }

    LoopbackWorld mWorld;
};

TEST_F(HostEndToEnd, StartShowsEveryStageThenStreams) {
    ASSERT_NO_FATAL_FAILURE(Start());
    ASSERT_EQ(mWorld.RunHost(Script(R"JS(
        host.log("start");
        player.StartAV();
        waitRunning(5000);
        host.sleep(7000);
        host.log("stats " + host.paneText(3));
        player.StopAV();
        host.sleep(300);
        host.quit(0);
    )JS"),
                             90s),
              0)
        << Transcript();
    const auto pane0 = mWorld.Lines("pane0");
    // "Stream Data Ready..." reaches pane 0 only when the login takes longer than the
    // status timer's tick; on loopback it is usually replaced before that.
    EXPECT_TRUE(
        InOrder(pane0, {std::regex("Connecting\\.\\.\\."),
                        std::regex("Running\\.\\.\\.\\(P2P, Remote:127\\.0\\.0\\.1:\\d+\\)"),
                        std::regex("Press start button to run\\.")}))
        << Joined(pane0);
    const auto status = mWorld.Lines("status");
    EXPECT_TRUE(InOrder(
        status,
        {std::regex("Session Ready\\.\\.\\.\\(P2P\\)"), std::regex("Stream Data Ready\\.\\.\\."),
         std::regex("Running\\.\\.\\.\\(P2P, Remote:127\\.0\\.0\\.1:\\d+\\)")}))
        << Joined(status);

    // A 25 fps camera: 50 frames per 2-second window, give or take the window's edge.
    const auto logs = mWorld.Lines("log");
    std::smatch m;
    std::string stats;
    for (const auto& l : logs) {
        if (l.rfind("stats ", 0) == 0) stats = l.substr(6);
    }
    const std::regex line(R"(N:0, FPS:(\d+\.\d\d), (\d+\.\d\d)kbps)");
    ASSERT_TRUE(std::regex_match(stats, m, line)) << stats;
    const double fps = std::stod(m[1]);
    EXPECT_GE(fps, 24.5) << stats;
    EXPECT_LE(fps, 25.5) << stats;
    const double kbps = std::stod(m[2]);
    EXPECT_GT(kbps, 50.0) << stats;
    EXPECT_LT(kbps, 20000.0) << stats;

    const auto commands = mWorld.DeviceCommands();
    ASSERT_FALSE(commands.empty()) << ReadFile(mWorld.DeviceLog());
    EXPECT_EQ(commands[0].name, "CMD_START_STREAM");
    EXPECT_EQ(commands[0].camera, 0);
    EXPECT_TRUE(mWorld.Lines("box[Tips]").empty());
}

TEST_F(HostEndToEnd, ForcedRelaySaysRly) {
    ASSERT_NO_FATAL_FAILURE(Start({"--force-relay"}));
    ASSERT_EQ(mWorld.RunHost(Script(R"JS(
        player.StartAV();
        waitRunning(8000);
        host.sleep(4500);
        player.StopAV();
        host.quit(0);
    )JS"),
                             60s),
              0)
        << Transcript();
    const auto status = mWorld.Lines("status");
    EXPECT_TRUE(
        InOrder(status, {std::regex("Session Ready\\.\\.\\.\\(RLY\\)"),
                         std::regex("Running\\.\\.\\.\\(RLY, Remote:127\\.0\\.0\\.1:\\d+\\)")}))
        << Joined(status);
    const auto pane0 = mWorld.Lines("pane0");
    EXPECT_TRUE(
        InOrder(pane0, {std::regex("Running\\.\\.\\.\\(RLY, Remote:127\\.0\\.0\\.1:\\d+\\)"),
                        std::regex("Running\\.\\.\\.\\(Relay, Server:127\\.0\\.0\\.1:\\d+\\)")}))
        << Joined(pane0);
}

TEST_F(HostEndToEnd, WrongPasswordFailsAtOnce) {
    ASSERT_NO_FATAL_FAILURE(Start());
    ASSERT_EQ(mWorld.RunHost(Script(R"JS(
        host.log("start");
        player.StartAV();
        host.log("returned");
        host.sleep(1500);
        host.quit(0);
    )JS"),
                             60s, "999999"),
              0)
        << Transcript();
    const auto lines = mWorld.Transcript();
    const long long start = FirstMs(lines, "log", "start");
    const long long failed = FirstMs(lines, "pane0", "Failed to connect(Wrong password).");
    ASSERT_GE(failed, 0) << Transcript();
    // Refused, not timed out: well inside the 10-second login wait.
    EXPECT_LT(failed - start, 5000) << Transcript();
    EXPECT_EQ(ReadFile(mWorld.DeviceLog()).find("CMD_START_STREAM"), std::string::npos);
}

// A viewer refuses, with the transport's own code shown as every failed connect is, a
// device vouched for by a service key it does not pin (a spoofed service), and every device
// when it trusts no key at all (none pinned where it looks, no migration switch). The device
// never hears a login.
TEST(HostRefusals, DevicesTheViewerCannotAuthenticateAreRefused) {
    struct Case {
        const char* name;
        bool otherServiceKey;              // the service signs with a key nobody pinned
        std::vector<std::string> hostEnv;  // over the world's (which pins the right key)
    };
    const Case cases[] = {
        {"device vouched for by an unpinned service key", true, {}},
        {"viewer trusting no service key", false, {"ZEVO_P2P_SERVICE_KEYS="}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        LoopbackWorld world;
        std::vector<std::string> serviceOptions;
        if (c.otherServiceKey) {
            const std::string seed = world.Dir() + "/other.seed";
            zevo::p2p::secure::ServicePublicKey other;
            std::string error;
            ASSERT_TRUE(zevo::p2p::secure::CreateServiceSeedFile(seed, &other, &error)) << error;
            serviceOptions = {"--signing-key-file", seed};
        }
        ASSERT_TRUE(world.StartService(serviceOptions));
        ASSERT_TRUE(world.StartDevice({}));
        world.SetHostEnvironment(c.hostEnv);
        ASSERT_EQ(world.RunHost(Script(R"JS(
            player.StartAV();
            host.log(waitFor(function () { return paneStarts("Failed..."); }, 20000)
                     ? "refused " + host.paneText(0) : "no-refusal " + host.paneText(0));
            host.quit(0);
        )JS"),
                                60s),
                  0)
            << ReadFile(world.HostOut());
        EXPECT_EQ(world.Lines("log").back(), "refused Failed...(-24), Press stop button.")
            << ReadFile(world.HostOut());
        EXPECT_EQ(ReadFile(world.DeviceLog()).find("viewer connected"), std::string::npos);
    }
}

TEST_F(HostEndToEnd, SilentDeviceFailsAfterTheLoginWait) {
    ASSERT_NO_FATAL_FAILURE(Start({}, {"silent-login"}));
    ASSERT_EQ(mWorld.RunHost(Script(R"JS(
        host.log("start");
        player.StartAV();
        host.log("returned");
        host.sleep(100);
        host.log("alert " + player.GetEmailAlert());
        host.quit(0);
    )JS"),
                             90s),
              0)
        << Transcript();
    const auto lines = mWorld.Transcript();
    const long long start = FirstMs(lines, "log", "start");
    const long long failed = FirstMs(lines, "pane0", "Failed to connect(Wrong password).");
    ASSERT_GE(failed, 0) << Transcript();
    EXPECT_GE(failed - start, 9500) << Transcript();
    EXPECT_LT(failed - start, 40000) << Transcript();
    // The session is closed: the option commands find none.
    EXPECT_GE(FirstMs(lines, "log", "alert -2"), 0) << Transcript();
}

TEST_F(HostEndToEnd, KilledDeviceIsReportedExactlyOnce) {
    ASSERT_NO_FATAL_FAILURE(Start());
    ASSERT_TRUE(mWorld.StartHost(Script(R"JS(
        player.StartAV();
        waitRunning(8000);
        waitFor(function () { return boxCount() > 0; }, 30000);
        host.sleep(3000);
        host.quit(0);
    )JS")));
    ASSERT_TRUE(mWorld.WaitForLine("pane0", "Running...", 20s)) << Transcript();
    mWorld.KillDevice();
    ASSERT_EQ(mWorld.FinishHost(90s), 0) << Transcript();
    const auto boxes = mWorld.Lines("box[Tips]");
    ASSERT_EQ(boxes.size(), 1u) << Transcript();
    EXPECT_TRUE(std::regex_match(boxes[0], std::regex("Connection Lost!\\(-1[234]\\)")))
        << boxes[0];
    EXPECT_EQ(mWorld.Lines("pane0").back(), "Press start button to run.");
}

TEST_F(HostEndToEnd, UserStopReportsNothing) {
    ASSERT_NO_FATAL_FAILURE(Start());
    ASSERT_EQ(mWorld.RunHost(Script(R"JS(
        player.StartAV();
        waitRunning(8000);
        host.sleep(1000);
        player.StopAV();
        host.sleep(3000);
        host.quit(0);
    )JS"),
                             60s),
              0)
        << Transcript();
    EXPECT_TRUE(mWorld.Lines("box[Tips]").empty()) << Transcript();
    EXPECT_EQ(mWorld.Lines("pane0").back(), "Press start button to run.");
    // The device was told: stop the session, then the stream of the watched camera.
    const auto commands = mWorld.DeviceCommands();
    ASSERT_GE(commands.size(), 2u) << ReadFile(mWorld.DeviceLog());
    EXPECT_EQ(commands[1].name, "CMD_STOP_SESSION");
    EXPECT_EQ(commands[1].camera, 0);
}

TEST_F(HostEndToEnd, OversizedMediaPacketIsConnectionLostZero) {
    ASSERT_NO_FATAL_FAILURE(Start({}, {"oversize-media"}));
    ASSERT_EQ(mWorld.RunHost(Script(R"JS(
        player.StartAV();
        waitFor(function () { return boxCount() > 0; }, 15000);
        host.sleep(1500);
        host.quit(0);
    )JS"),
                             60s),
              0)
        << Transcript();
    EXPECT_EQ(mWorld.Lines("box[Tips]"), std::vector<std::string>{"Connection Lost!(0)"})
        << Transcript();
}

TEST_F(HostEndToEnd, OversizedCommandPacketIsConnectionLostZero) {
    ASSERT_NO_FATAL_FAILURE(Start({}, {"oversize-command"}));
    ASSERT_EQ(mWorld.RunHost(Script(R"JS(
        player.StartAV();
        waitFor(function () { return boxCount() > 0; }, 15000);
        host.sleep(1500);
        host.quit(0);
    )JS"),
                             60s),
              0)
        << Transcript();
    EXPECT_EQ(mWorld.Lines("box[Tips]"), std::vector<std::string>{"Connection Lost!(0)"})
        << Transcript();
}

TEST_F(HostEndToEnd, CameraChangeStopsThenStarts50msLater) {
    ASSERT_NO_FATAL_FAILURE(Start());
    ASSERT_EQ(mWorld.RunHost(Script(R"JS(
        player.StartAV();
        waitRunning(8000);
        host.sleep(1000);
        host.log("change " + player.ChgSelection(3));
        host.sleep(1500);
        player.StopAV();
        host.sleep(300);
        host.quit(0);
    )JS"),
                             60s),
              0)
        << Transcript();
    EXPECT_FALSE(mWorld.Lines("log").empty());
    EXPECT_EQ(mWorld.Lines("log")[0], "change 0");
    const auto commands = mWorld.DeviceCommands();
    auto stop = std::find_if(commands.begin(), commands.end(),
                             [](const DeviceCommand& c) { return c.name == "CMD_STOP_STREAM"; });
    ASSERT_NE(stop, commands.end()) << ReadFile(mWorld.DeviceLog());
    ASSERT_NE(stop + 1, commands.end());
    EXPECT_EQ(stop->camera, 0);
    EXPECT_EQ((stop + 1)->name, "CMD_START_STREAM");
    EXPECT_EQ((stop + 1)->camera, 3);
    const auto gap = static_cast<long long>((stop + 1)->mono - stop->mono);
    // The viewer waits 50 ms between the two; their arrival times at the device also
    // carry the transport's jitter and the log's millisecond truncation.
    EXPECT_GE(gap, 40);
    EXPECT_LT(gap, 1000);
    // The session's own stop names the new camera.
    EXPECT_EQ(commands.back().camera, 3);
}

TEST_F(HostEndToEnd, EmailAlertRoundTrip) {
    ASSERT_NO_FATAL_FAILURE(Start());
    ASSERT_EQ(mWorld.RunHost(Script(R"JS(
        host.log("none " + player.GetEmailAlert() + " " + player.SetEmailAlert(true));
        player.StartAV();
        waitRunning(8000);
        host.log("get " + player.GetEmailAlert());
        host.log("set " + player.SetEmailAlert(true));
        host.log("get " + player.GetEmailAlert());
        host.log("set " + player.SetEmailAlert(false));
        host.log("get " + player.GetEmailAlert());
        player.StopAV();
        host.quit(0);
    )JS"),
                             60s),
              0)
        << Transcript();
    EXPECT_EQ(mWorld.Lines("log"),
              (std::vector<std::string>{"none -2 -2", "get 0", "set 0", "get 1", "set 0", "get 0"}))
        << Transcript();
}

TEST_F(HostEndToEnd, UnansweredEmailAlertTimesOut) {
    ASSERT_NO_FATAL_FAILURE(Start({}, {"short-notice"}));
    ASSERT_EQ(mWorld.RunHost(Script(R"JS(
        player.StartAV();
        waitRunning(8000);
        host.log("asking");
        host.log("get " + player.GetEmailAlert());
        player.StopAV();
        host.quit(0);
    )JS"),
                             60s),
              0)
        << Transcript();
    const auto lines = mWorld.Transcript();
    const long long asked = FirstMs(lines, "log", "asking");
    const long long answered = FirstMs(lines, "log", "get -3");
    ASSERT_GE(answered, 0) << Transcript();
    EXPECT_GE(answered - asked, 2400);
}

TEST_F(HostEndToEnd, StartWhileStreamingKeepsTheSession) {
    ASSERT_NO_FATAL_FAILURE(Start());
    ASSERT_EQ(mWorld.RunHost(Script(R"JS(
        player.StartAV();
        waitRunning(8000);
        host.sleep(2500);
        host.log("again");
        player.StartAV();
        host.sleep(4500);
        host.log("stats " + host.paneText(3));
        player.StopAV();
        host.quit(0);
    )JS"),
                             60s),
              0)
        << Transcript();
    const std::string log = ReadFile(mWorld.DeviceLog());
    size_t sessions = 0;
    for (size_t at = log.find("viewer connected"); at != std::string::npos;
         at = log.find("viewer connected", at + 1)) {
        ++sessions;
    }
    EXPECT_EQ(sessions, 1u) << log;
    // The second start re-checks the session and stops at the running reader; the
    // stream goes on.
    const auto lines = mWorld.Transcript();
    const long long again = FirstMs(lines, "log", "again");
    bool readyAfter = false;
    bool runningAfter = false;
    for (const auto& l : lines) {
        if (l.ms < again) continue;
        if (l.kind == "status" && l.text == "Stream Data Ready...") readyAfter = true;
        if (l.kind == "pane0" && l.text.rfind("Running...(P2P, Remote:", 0) == 0)
            runningAfter = true;
    }
    EXPECT_TRUE(readyAfter) << Transcript();
    EXPECT_TRUE(runningAfter) << Transcript();
    EXPECT_EQ(FirstMs(lines, "log", "stats N:0, FPS:0.00"), -1) << Transcript();
    EXPECT_TRUE(mWorld.Lines("box[Tips]").empty());
}

TEST_F(HostEndToEnd, StartRightAfterStopRunsOnALaterStart) {
    ASSERT_NO_FATAL_FAILURE(Start());
    ASSERT_EQ(mWorld.RunHost(Script(R"JS(
        player.StartAV();
        waitRunning(8000);
        player.StopAV();
        player.StartAV();
        if (!waitRunning(3000)) {
            host.log("retry");
            player.StartAV();
        }
        host.log(waitRunning(8000) ? "running" : "stuck");
        host.sleep(2500);
        player.StopAV();
        host.sleep(300);
        host.quit(0);
    )JS"),
                             60s),
              0)
        << Transcript();
    const auto logs = mWorld.Lines("log");
    EXPECT_NE(std::find(logs.begin(), logs.end(), "running"), logs.end()) << Transcript();
    // A report from the closed session must not end the new one.
    EXPECT_TRUE(mWorld.Lines("box[Tips]").empty()) << Transcript();
}

struct Usage {
    int threads = 0;
    int workers = 0;      // the viewer's session threads (named zevo-..., but for the
                          // host's own and the transport's one worker, zevo-p2p)
    int fds = 0;          // everything but Unix-domain sockets
    int unixSockets = 0;  // GStreamer's wake-up pairs among them
    long rssKb = 0;
};

std::set<std::string> UnixSocketInodes() {
    std::set<std::string> inodes;
    std::istringstream in(ReadFile("/proc/net/unix"));
    std::string line;
    std::getline(in, line);
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string field;
        for (int i = 0; i < 7 && fields >> field; ++i) {
        }
        if (!field.empty()) inodes.insert(field);
    }
    return inodes;
}

Usage Sample(pid_t pid) {
    Usage usage;
    const std::string base = "/proc/" + std::to_string(pid);
    if (DIR* dir = opendir((base + "/task").c_str())) {
        while (dirent* e = readdir(dir)) {
            if (e->d_name[0] == '.') continue;
            ++usage.threads;
            const std::string name = ReadFile(base + "/task/" + e->d_name + "/comm");
            if (name.rfind("zevo-", 0) == 0 && name.rfind("zevo-host", 0) != 0 &&
                name.rfind("zevo-p2p", 0) != 0) {
                ++usage.workers;
            }
        }
        closedir(dir);
    }
    const std::set<std::string> unixInodes = UnixSocketInodes();
    if (DIR* dir = opendir((base + "/fd").c_str())) {
        while (dirent* e = readdir(dir)) {
            if (e->d_name[0] == '.') continue;
            char target[256] = {};
            const std::string link = base + "/fd/" + e->d_name;
            const ssize_t n = readlink(link.c_str(), target, sizeof(target) - 1);
            const std::string text(target, n > 0 ? static_cast<size_t>(n) : 0);
            const bool isUnix = text.rfind("socket:[", 0) == 0 &&
                                unixInodes.count(text.substr(8, text.size() - 9)) > 0;
            (isUnix ? usage.unixSockets : usage.fds) += 1;
        }
        closedir(dir);
    }
    std::ifstream status(base + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0) usage.rssKb = std::stol(line.substr(6));
    }
    return usage;
}

TEST_F(HostEndToEnd, TwoHundredStartsAndStopsLeaveNothingBehind) {
    // The service's per-address session limits are not what this test is about.
    ASSERT_NO_FATAL_FAILURE(
        Start({"--max-sessions", "4096", "--max-sessions-per-address", "4096"}));
    ASSERT_TRUE(mWorld.StartHost(Script(R"JS(
        function cycle() {
            player.StartAV();
            // Right after a stop the old readers may not have ended yet, and then
            // nothing is started; a later start succeeds. (A start that went through
            // shows its "Running..." one timer tick after it returns.)
            host.sleep(30);
            for (var r = 0; r < 5 && paneStarts("Stream Data Ready..."); ++r) {
                host.log("refused");
                host.sleep(100);
                player.StartAV();
            }
            if (!waitRunning(8000)) host.log("no-running " + host.paneText(0));
            host.sleep(30);
            player.StopAV();
            waitFor(function () { return false; }, 40);
        }
        for (var i = 0; i < 5; ++i) cycle();
        host.sleep(1500);
        host.log("before");
        host.sleep(2500);
        for (var i = 0; i < 200; ++i) cycle();
        host.sleep(1500);
        host.log("after");
        host.sleep(25000);
        host.quit(0);
    )JS")));
    const pid_t pid = mWorld.Host().Pid();
    ASSERT_TRUE(mWorld.WaitForLine("log", "before", 120s)) << Transcript();
    std::this_thread::sleep_for(500ms);
    const Usage before = Sample(pid);
    ASSERT_TRUE(mWorld.WaitForLine("log", "after", 900s)) << Transcript();
    std::this_thread::sleep_for(500ms);
    Usage after = Sample(pid);
    // GStreamer keeps a finished streaming thread in its pool for up to 15 s of idling
    // before it retires it; give the pool that long.
    for (int i = 0; i < 40 && after.threads > before.threads; ++i) {
        std::this_thread::sleep_for(500ms);
        after = Sample(pid);
    }
    ASSERT_EQ(mWorld.FinishHost(60s), 0) << Transcript();

    // Threads, transport sockets, files, pipes and event descriptors: none may be left.
    EXPECT_EQ(after.workers, 0);
    EXPECT_LE(after.threads, before.threads)
        << "threads " << before.threads << " -> " << after.threads;
    EXPECT_LE(after.fds, before.fds) << "descriptors " << before.fds << " -> " << after.fds;
    // Every stop rebuilds the live graph; a graph that is not finalised keeps its bus's
    // socket pair (two descriptors a cycle, 400 here). A few may come and go meanwhile.
    EXPECT_LE(after.unixSockets, before.unixSockets + 4)
        << "unix sockets " << before.unixSockets << " -> " << after.unixSockets;
    RecordProperty("unix_sockets_before", before.unixSockets);
    RecordProperty("unix_sockets_after", after.unixSockets);
    RecordProperty("rss_kb_before", static_cast<int>(before.rssKb));
    RecordProperty("rss_kb_after", static_cast<int>(after.rssKb));
    std::printf("unix sockets %d -> %d, rss %ld kB -> %ld kB\n", before.unixSockets,
                after.unixSockets, before.rssKb, after.rssKb);
    EXPECT_TRUE(mWorld.Lines("box[Tips]").empty()) << Transcript();
    const auto logs = mWorld.Lines("log");
    EXPECT_EQ(std::count_if(logs.begin(), logs.end(),
                            [](const std::string& l) { return l.rfind("no-running", 0) == 0; }),
              0)
        << Transcript();
}

}  // namespace
}  // namespace zevo::e2e
