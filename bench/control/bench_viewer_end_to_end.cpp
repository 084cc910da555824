// End-to-end figures of the real programs on loopback: zevo-host (headless, offscreen)
// watching a zevo-camd camera that passes a 1080p30 H.264 file through as it is (no
// encoder in the device's CPU), over zevo-p2pd. Each against a baseline in the same run:
// - StartAV to first picture: the host's script calls StartAV and waits (2 ms steps) for
//   the first frame in the window's store, then StopAV; median and worst of N runs
//   (BENCH_STARTS, default 20). Baseline: the test client's connect, login and stream
//   start up to the first video packet, the part of the delay that is the transport's and
//   the device's, not the viewer's; the same number of runs.
// - Memory: zevo-host VmRSS after BENCH_MINUTES (default 10) minutes of the same stream
//   against after 1 minute.
// Usage: bench_viewer_end_to_end [startav|memory|all]   (default all)
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bench/control/host_bench.h"

using namespace zevo::bench;
using namespace zevo::camd::testing;

namespace {

// Every number that follows `tag` in the transcript, in order.
std::vector<double> Logged(const std::string& transcript, const std::string& tag) {
    std::vector<double> values;
    const std::string needle = "log: " + tag + " ";
    for (size_t at = transcript.find(needle); at != std::string::npos;
         at = transcript.find(needle, at + 1)) {
        values.push_back(std::strtod(transcript.c_str() + at + needle.size(), nullptr));
    }
    return values;
}

double Median(std::vector<double> v) {
    if (v.empty()) return -1;
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

double Worst(const std::vector<double>& v) {
    return v.empty() ? -1 : *std::max_element(v.begin(), v.end());
}

int EnvInt(const char* name, int fallback, int least) {
    const char* value = std::getenv(name);
    return value && *value ? std::max(least, std::atoi(value)) : fallback;
}

bool StartHost(ChildProcess& host, DeviceHarness& world, const std::string& tag,
               const std::string& scriptBody) {
    return StartHostOnScript(host, world, tag,
                             "player.ChgSelection(0);\n" + scriptBody + "host.quit(0);\n");
}

// Milliseconds from connecting to the first video packet, per run; empty on failure.
std::vector<double> ClientStarts(DeviceHarness& world, int runs) {
    std::vector<double> times;
    for (int i = 0; i < runs; ++i) {
        const double t0 = Now();
        DeviceClient client;
        if (client.Connect(world.Did()) < 0 || client.Login(world.Password()) != 1 ||
            client.StartStream(0) < 0) {
            return {};
        }
        Packet packet;
        if (client.ReadVideo(packet, 10000) != 0) return {};
        times.push_back((Now() - t0) * 1000.0);
        client.StopStream(0);
        client.StopSession();
        usleep(300000);  // as the host's runs: the camera stops between viewers
    }
    return times;
}

// The host's StartAV-to-first-frame times in ms; empty on failure.
std::vector<double> HostStarts(DeviceHarness& world, int runs, const std::string& tag) {
    std::ostringstream body;
    body << "for (var i = 0; i < " << runs << "; ++i) {\n"
         << "    var before = Math.max(0, viewer.framesRendered());\n"
         << "    var t0 = Date.now();\n"
         << "    player.StartAV();\n"
         << "    while (viewer.framesRendered() <= before && Date.now() - t0 < 15000) "
            "host.sleep(2);\n"
         << "    if (viewer.framesRendered() > before) host.log(\"first \" + (Date.now() - t0));\n"
         << "    player.StopAV();\n"
         << "    host.sleep(300);\n"
         << "}\n";
    ChildProcess host;
    if (!StartHost(host, world, tag, body.str())) return {};
    const double deadline = Now() + runs * 20.0 + 30;
    while (host.Running() && Now() < deadline) usleep(50000);
    host.Stop(15, 5000);
    std::vector<double> times = Logged(Slurp(host.LogPath()), "first");
    if (static_cast<int>(times.size()) != runs) {
        std::fprintf(stderr, "zevo-host showed %zu of %d starts (transcript %s)\n", times.size(),
                     runs, host.LogPath().c_str());
        return {};
    }
    return times;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string mode = argc > 1 ? argv[1] : "all";
    const bool doStart = mode == "all" || mode == "startav";
    const bool doMemory = mode == "all" || mode == "memory";
    if (!doStart && !doMemory) {
        std::fprintf(stderr, "usage: %s [startav|memory|all]\n", argv[0]);
        return 2;
    }
    const int runs = EnvInt("BENCH_STARTS", 20, 1);
    const int minutes = EnvInt("BENCH_MINUTES", 10, 2);

    DeviceHarness world;
    if (world.StartService() < 0) {
        std::fprintf(stderr, "zevo-p2pd did not start (logs in %s)\n", world.Folder().c_str());
        return 1;
    }
    const std::string dir = world.Folder();
    // Ten seconds of 1080p30 as a camera would send it, made once and then looped.
    const std::string clip = dir + "/clip.h264";
    const std::string make =
        "gst-launch-1.0 -q videotestsrc num-buffers=300 pattern=ball ! "
        "video/x-raw,width=1920,height=1080,framerate=30/1 ! x264enc tune=zerolatency "
        "speed-preset=ultrafast bitrate=4000 key-int-max=30 ! "
        "video/x-h264,stream-format=byte-stream ! filesink location=" +
        clip + " > /dev/null 2>&1";
    if (std::system(make.c_str()) != 0 ||
        world.StartDevice({"--timestamps", "monotonic", "--camera",
                           "0:source=passthrough:" + clip + ",fps=30,audio=none"}) < 0) {
        std::fprintf(stderr, "the clip or zevo-camd failed (logs in %s)\n", dir.c_str());
        return 1;
    }
    const std::string registration =
        "HOME='" + dir + "' " ZEVO_REGSVR_PATH " " ZEVO_OCX_PATH " >/dev/null";
    if (std::system(registration.c_str()) != 0) {
        std::fprintf(stderr, "the control module could not be registered\n");
        return 1;
    }

    if (doStart) {
        // Interleaved halves, so load on the machine falls on both alike.
        std::vector<double> client, host;
        for (int half = 0; half < 2; ++half) {
            const int n = half == 0 ? runs / 2 : runs - runs / 2;
            if (n == 0) continue;
            std::vector<double> c = ClientStarts(world, n);
            std::vector<double> h = HostStarts(world, n, "startav" + std::to_string(half));
            if (c.empty() || h.empty()) {
                std::fprintf(stderr, "a start failed (logs in %s)\n", dir.c_str());
                return 1;
            }
            client.insert(client.end(), c.begin(), c.end());
            host.insert(host.end(), h.begin(), h.end());
        }
        std::printf("\nStart to first picture, 1080p30 passthrough, loopback (%d runs each, ms):\n",
                    runs);
        std::printf("  %-44s %8s %8s\n", "", "median", "worst");
        std::printf("  %-44s %8.0f %8.0f\n", "zevo-host StartAV to first frame shown", Median(host),
                    Worst(host));
        std::printf("  %-44s %8.0f %8.0f\n", "baseline: client connect to first packet",
                    Median(client), Worst(client));
        std::printf(
            "  viewer's own share (median difference) %.0f ms; goal: host median < 250 ms\n",
            Median(host) - Median(client));
        std::fflush(stdout);
    }

    if (doMemory) {
        std::ostringstream body;
        body << "player.StartAV();\nfor (var t = 0; t < " << (minutes * 60 + 60) * 1000
             << "; t += 1000) {\n    host.sleep(1000);\n"
             << "    host.log(\"frames \" + viewer.framesRendered());\n}\nplayer.StopAV();\n";
        ChildProcess host;
        if (!StartHost(host, world, "memory", body.str())) {
            std::fprintf(stderr, "zevo-host did not start\n");
            return 1;
        }
        const double started = Now();
        std::printf("\nzevo-host VmRSS, 1080p30 passthrough (%d min):\n", minutes);
        if (!PrintRssGrowth(host, started, minutes)) return 1;
        host.Stop(15, 10000);
    }
    return 0;
}
