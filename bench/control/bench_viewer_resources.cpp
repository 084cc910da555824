// What the viewer costs to run, each against a baseline in the same run:
// - CPU per stream: zevo-host (headless) streaming one H.264 camera from zevo-camd over
//   zevo-p2pd on loopback, against gst-launch-1.0 decoding the same stream from a file at
//   its own rate (h264parse ! avdec_h264 ! videoconvert ! BGRx ! fakesink sync=true),
//   measured just before the host. The camera's stream is recorded once from the encoding
//   device, which then sends the recording as it is (passthrough): both decode the same
//   bytes. Three cases: 1280x720 25 fps in the default window,
//   the same shown 1:1 (--size 1280x742: the picture area is 1280x720 above the status
//   bar), and 1920x1080 30 fps in the default window. Both figures are utime+stime of the
//   process from /proc/<pid>/stat over a 20 s window that starts 3 s after the first
//   frame (host) or the start (gst-launch). zevo-camd and zevo-p2pd are other processes
//   and so are not counted.
// - Memory growth: zevo-host VmRSS after BENCH_MINUTES (default 10) minutes of streaming
//   against after 1 minute (720p, default window).
// - Recording: the same host's CPU over a window while it records the stream (AVI into a
//   temporary folder) against a window just before, same stream, same run.
// Usage: bench_viewer_resources [cpu|memory|record|all]
//   (default all = cpu and memory). BENCH_ROUNDS (default 3) rounds of the CPU cases,
//   each baseline and host again, with the medians at the end. BENCH_CASES (e.g. "0,2")
//   runs only those CPU cases, by their index in the table below. The CPU cases watch the
//   device passing the recorded streams through (BENCH_SOURCE=encoder: encoding them live).
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

constexpr int kSkipSeconds = 3;
constexpr int kWindowSeconds = 20;
// Recorded a little longer than skip + window so the file outlasts the baseline's window.
constexpr int kRecordSeconds = kSkipSeconds + kWindowSeconds + 2;

// One stream shown in one window.
struct Case {
    const char* name;
    int camera;  // the device's camera that sends it
    int width;
    int height;
    int fps;
    const char* windowSize;  // zevo-host --size, or null for the default window
};

constexpr Case kCases[] = {
    {"720p25, default window", 0, 1280, 720, 25, nullptr},
    {"720p25, 1:1 (--size 1280x742)", 0, 1280, 720, 25, "1280x742"},
    {"1080p30, default window", 1, 1920, 1080, 30, nullptr},
};

std::string FindInPath(const std::string& name) {
    const char* path = std::getenv("PATH");
    std::istringstream dirs(path ? path : "/usr/bin");
    std::string dir;
    while (std::getline(dirs, dir, ':')) {
        const std::string candidate = dir + "/" + name;
        if (access(candidate.c_str(), X_OK) == 0) return candidate;
    }
    return {};
}

struct CpuFigure {
    double cpu = -1;     // CPU seconds per second over the window
    double frames = -1;  // frames shown over the window (host only)
    double wall = -1;    // the baseline's whole run, seconds
};

// The camera's video for kRecordSeconds as an Annex B byte stream; frames written or -1.
int Record(const std::string& did, const std::string& password, int camera,
           const std::string& path) {
    DeviceClient client;
    if (client.Connect(did) < 0 || client.Login(password) != 1 || client.StartStream(camera) < 0) {
        return -1;
    }
    std::ofstream out(path, std::ios::binary);
    int frames = 0;
    bool keyFound = false;
    const double end = Now() + kRecordSeconds;
    Packet packet;
    while (Now() < end && client.ReadVideo(packet, 3000) == 0) {
        const uint8_t* p = packet.Payload();
        const size_t n = packet.PayloadSize();
        // Start at a picture the decoder can begin with: one carrying an SPS (type 7).
        if (!keyFound) {
            for (size_t i = 0; i + 4 < n && !keyFound; ++i) {
                if (p[i] == 0 && p[i + 1] == 0 && p[i + 2] == 1 && (p[i + 3] & 0x1f) == 7) {
                    keyFound = true;
                }
            }
            if (!keyFound) continue;
        }
        out.write(reinterpret_cast<const char*>(p), static_cast<std::streamsize>(n));
        ++frames;
    }
    client.StopStream(camera);
    client.StopSession();
    return out.good() ? frames : -1;
}

CpuFigure Baseline(const std::string& file, int fps, const std::string& dir) {
    CpuFigure figure;
    const std::string launch = FindInPath("gst-launch-1.0");
    if (launch.empty()) return figure;
    ChildProcess gst;
    const double start = Now();
    if (gst.Start({launch, "-q", "filesrc", "location=" + file, "!",
                   "video/x-h264,stream-format=byte-stream,framerate=" + std::to_string(fps) + "/1",
                   "!", "h264parse", "!", "avdec_h264", "!", "videoconvert", "!",
                   "video/x-raw,format=BGRx", "!", "fakesink", "sync=true"},
                  {}, dir + "/gst.log") < 0) {
        return figure;
    }
    SleepUntil(start + kSkipSeconds);
    const double c0 = CpuSeconds(gst.Pid());
    const double t0 = Now();
    SleepUntil(t0 + kWindowSeconds);
    const double c1 = CpuSeconds(gst.Pid());
    const double t1 = Now();
    if (c0 >= 0 && c1 >= 0) figure.cpu = (c1 - c0) / (t1 - t0);
    while (gst.Running() && Now() < start + kRecordSeconds + 30) usleep(20000);
    figure.wall = Now() - start;
    gst.Stop(15, 2000);
    return figure;
}

// Starts zevo-host on camera `camera` of the world's device; its script logs the frames
// shown twice a second for `seconds`, and with recordAfterMs > 0 starts a recording that
// long after the first frame.
bool StartHost(ChildProcess& host, DeviceHarness& world, const std::string& tag, int camera,
               const char* windowSize, int seconds, int recordAfterMs) {
    std::ostringstream script;
    script << "player.ChgSelection(" << camera << ");\n"
           << "player.StartAV();\n"
           << "var first = 0;\n"
           << "for (var t = 0; t < " << seconds * 1000 << "; t += 500) {\n"
           << "    host.sleep(500);\n"
           << "    host.log(\"frames \" + viewer.framesRendered());\n"
           << "    if (!first && viewer.framesRendered() > 0) first = Date.now();\n";
    if (recordAfterMs > 0) {
        script << "    if (first && !viewer.recordFile() && Date.now() - first > " << recordAfterMs
               << ") {\n"
               << "        player.StartRecord();\n"
               << "        host.log(\"recording \" + viewer.recordFile());\n"
               << "    }\n";
    }
    script << "}\n"
           << "player.StopRecord();\nplayer.StopAV();\nhost.quit(0);\n";
    std::vector<std::string> extra;
    if (windowSize) extra = {"--size", windowSize};
    return StartHostOnScript(host, world, tag, script.str(), extra);
}

// Waits for the host's first frame; the time it came, or -1.
double WaitFirstFrame(const ChildProcess& host) {
    const double launched = Now();
    while (LastFrames(Slurp(host.LogPath())) <= 0 && Now() < launched + 30) usleep(20000);
    if (LastFrames(Slurp(host.LogPath())) <= 0) return -1;
    return Now();
}

struct CaseFigures {
    CpuFigure gst;
    double host = -1;
    double shown = -1;  // frames per second the host showed
    double device = -1;
};

// One case: the baseline on the recorded file, then the host on the live stream.
bool RunCpuCase(const Case& c, DeviceHarness& world, const std::string& file, int index,
                CaseFigures& out) {
    out.gst = Baseline(file, c.fps, world.Folder());
    if (out.gst.cpu < 0) {
        std::fprintf(stderr, "gst-launch-1.0 baseline did not run (log %s/gst.log)\n",
                     world.Folder().c_str());
        return false;
    }
    ChildProcess host;
    const std::string tag = "cpu" + std::to_string(index);
    if (!StartHost(host, world, tag, c.camera, c.windowSize,
                   2 * (kSkipSeconds + kWindowSeconds) + 120, 0)) {
        std::fprintf(stderr, "zevo-host did not start\n");
        return false;
    }
    const double streaming = WaitFirstFrame(host);
    if (streaming < 0) {
        std::fprintf(stderr, "zevo-host showed no frame (transcript %s)\n", host.LogPath().c_str());
        return false;
    }
    SleepUntil(streaming + kSkipSeconds);
    const double c0 = CpuSeconds(host.Pid());
    const double f0 = LastFrames(Slurp(host.LogPath()));
    const double d0 = CpuSeconds(world.Device().Pid());
    const double t0 = Now();
    SleepUntil(t0 + kWindowSeconds);
    const double c1 = CpuSeconds(host.Pid());
    const double f1 = LastFrames(Slurp(host.LogPath()));
    const double d1 = CpuSeconds(world.Device().Pid());
    const double span = Now() - t0;
    host.Stop(15, 10000);
    if (c0 < 0 || c1 < 0) {
        std::fprintf(stderr, "zevo-host ended during the window\n");
        return false;
    }
    out.host = (c1 - c0) / span;
    out.shown = (f1 - f0) / span;
    out.device = (d1 - d0) / span;
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string mode = argc > 1 ? argv[1] : "all";
    const bool doCpu = mode == "all" || mode == "cpu";
    const bool doMemory = mode == "all" || mode == "memory";
    const bool doRecord = mode == "record";
    if (!doCpu && !doMemory && !doRecord) {
        std::fprintf(stderr, "usage: %s [cpu|memory|record|all]\n", argv[0]);
        return 2;
    }
    int minutes = 10;
    if (const char* m = std::getenv("BENCH_MINUTES")) minutes = std::max(2, std::atoi(m));
    int rounds = 3;
    if (const char* r = std::getenv("BENCH_ROUNDS")) rounds = std::max(1, std::atoi(r));
    // BENCH_SOURCE=encoder: the host watches the device encoding live, as the recordings
    // were made, instead of the recordings passed through.
    const char* source = std::getenv("BENCH_SOURCE");
    const bool passthrough = !source || std::string(source) != "encoder";
    std::vector<bool> chosen(std::size(kCases), true);
    if (const char* list = std::getenv("BENCH_CASES")) {
        std::fill(chosen.begin(), chosen.end(), false);
        std::istringstream items(list);
        for (std::string item; std::getline(items, item, ',');) {
            const size_t i = static_cast<size_t>(std::atoi(item.c_str()));
            if (item.empty() || i >= chosen.size()) {
                std::fprintf(stderr, "BENCH_CASES: no case '%s' (0 to %zu)\n", item.c_str(),
                             chosen.size() - 1);
                return 2;
            }
            chosen[i] = true;
        }
    }

    DeviceHarness world;
    if (world.StartService() < 0 ||
        world.StartDevice({"--camera", "0:size=1280x720,fps=25,bitrate=2000,audio=none", "--camera",
                           "1:size=1920x1080,fps=30,bitrate=4000,audio=none"}) < 0) {
        std::fprintf(stderr, "service or device did not start (logs in %s)\n",
                     world.Folder().c_str());
        return 1;
    }
    const std::string dir = world.Folder();
    // The host creates the control through the user's registration.
    const std::string registration =
        "HOME='" + dir + "' " ZEVO_REGSVR_PATH " " ZEVO_OCX_PATH " >/dev/null";
    if (std::system(registration.c_str()) != 0) {
        std::fprintf(stderr, "the control module could not be registered\n");
        return 1;
    }

    if (doCpu) {
        std::string files[2];
        std::vector<std::string> cameras;  // the device's arguments to pass them through
        for (size_t i = 0; i < std::size(kCases); ++i) {
            const Case& c = kCases[i];
            std::string& file = files[c.camera];
            if (!chosen[i]) continue;
            if (!file.empty()) continue;
            file = dir + "/camera" + std::to_string(c.camera) + ".h264";
            const int frames = Record(world.Did(), world.Password(), c.camera, file);
            if (frames <= 0) {
                std::fprintf(stderr, "could not record camera %d's stream\n", c.camera);
                return 1;
            }
            std::printf("recorded %d frames (%.1f s at %d fps) to %s\n", frames,
                        static_cast<double>(frames) / c.fps, c.fps, file.c_str());
            std::fflush(stdout);
            cameras.insert(cameras.end(),
                           {"--camera", std::to_string(c.camera) + ":source=passthrough:" + file +
                                            ",fps=" + std::to_string(c.fps) + ",audio=none"});
        }
        if (passthrough) {
            // The device sends the recordings as they are, looped: no encoder competes
            // with the viewer for the CPU, and viewer and baseline decode the same bytes.
            world.StopDevice();
            if (world.StartDevice(cameras) < 0) {
                std::fprintf(stderr, "zevo-camd did not start again (logs in %s)\n", dir.c_str());
                return 1;
            }
        }
        std::printf("source: %s\n", passthrough ? "the recordings, passed through by zevo-camd"
                                                : "zevo-camd encoding its test pattern");
        std::printf("\nCPU per stream (H.264, %d s windows after %d s; CPU s/s):\n", kWindowSeconds,
                    kSkipSeconds);
        std::printf("  %-32s %9s %9s %7s %7s %9s\n", "case", "zevo-host", "gst-launch", "ratio",
                    "shown/s", "zevo-camd");
        // Rounds go case after case, so a change in the machine's load between rounds
        // lands on every case; within a round the baseline runs just before the host.
        std::vector<std::vector<CaseFigures>> figures(std::size(kCases));
        int index = 0;
        for (int round = 1; round <= rounds; ++round) {
            for (size_t i = 0; i < std::size(kCases); ++i) {
                const Case& c = kCases[i];
                if (!chosen[i]) continue;
                CaseFigures f;
                if (!RunCpuCase(c, world, files[c.camera], index++, f)) return 1;
                std::printf("  %-32s %9.3f %9.3f %6.2fx %7.1f %9.3f  (round %d)\n", c.name,
                            f.host, f.gst.cpu, f.host / f.gst.cpu, f.shown, f.device, round);
                std::fflush(stdout);
                figures[i].push_back(f);
            }
        }
        if (rounds > 1) {
            std::printf("  medians of %d rounds (ratio: the median of the rounds' ratios):\n",
                        rounds);
            for (size_t i = 0; i < std::size(kCases); ++i) {
                if (!chosen[i]) continue;
                auto median = [&](auto pick) {
                    std::vector<double> v;
                    for (const CaseFigures& f : figures[i]) v.push_back(pick(f));
                    std::sort(v.begin(), v.end());
                    const size_t mid = v.size() / 2;
                    return v.size() % 2 ? v[mid] : (v[mid - 1] + v[mid]) / 2;
                };
                std::printf("  %-32s %9.3f %9.3f %6.2fx %7.1f %9.3f\n", kCases[i].name,
                            median([](const CaseFigures& f) { return f.host; }),
                            median([](const CaseFigures& f) { return f.gst.cpu; }),
                            median([](const CaseFigures& f) { return f.host / f.gst.cpu; }),
                            median([](const CaseFigures& f) { return f.shown; }),
                            median([](const CaseFigures& f) { return f.device; }));
            }
        }
        std::printf("  goals: <= 1.00x default window, <= 1.10x 1:1 (zevo-camd not counted)\n");
    }
    if (!doMemory && !doRecord) return 0;

    const int hostSeconds = (doMemory ? minutes * 60 : 2 * (kSkipSeconds + kWindowSeconds)) + 120;
    // In record mode the script starts a recording one window after the first frame.
    const int recordAfterMs = doRecord ? (kSkipSeconds + kWindowSeconds + 1) * 1000 : 0;
    ChildProcess host;
    if (!StartHost(host, world, "host", 0, nullptr, hostSeconds, recordAfterMs)) {
        std::fprintf(stderr, "zevo-host did not start\n");
        return 1;
    }
    const std::string transcript = host.LogPath();
    const double streaming = WaitFirstFrame(host);
    if (streaming < 0) {
        std::fprintf(stderr, "zevo-host showed no frame (transcript %s)\n", transcript.c_str());
        return 1;
    }

    if (doRecord) {
        // utime+stime per second over one window starting at start.
        auto window = [&](double start) {
            SleepUntil(start);
            const double c0 = CpuSeconds(host.Pid());
            const double t0 = Now();
            SleepUntil(t0 + kWindowSeconds);
            const double c1 = CpuSeconds(host.Pid());
            return c0 < 0 || c1 < 0 ? -1.0 : (c1 - c0) / (Now() - t0);
        };
        const double plain = window(streaming + kSkipSeconds);
        while (Slurp(transcript).find("log: recording ") == std::string::npos &&
               Now() < streaming + 2 * (kSkipSeconds + kWindowSeconds)) {
            usleep(20000);
        }
        const double recordingSince = Now();
        const double recording = window(recordingSince + kSkipSeconds);
        if (plain < 0 || recording < 0 ||
            Slurp(transcript).find("log: recording /") == std::string::npos) {
            std::fprintf(stderr, "zevo-host ended or did not record (transcript %s)\n",
                         transcript.c_str());
            return 1;
        }
        std::printf(
            "\nCPU per stream with and without a recording (1280x720 25 fps H.264, %d s "
            "windows):\n",
            kWindowSeconds);
        std::printf("  zevo-host streaming            %.3f CPU s/s  (baseline)\n", plain);
        std::printf("  zevo-host streaming+recording  %.3f CPU s/s\n", recording);
        std::printf("  ratio                          %.3fx  (goal <= 1.10x)\n", recording / plain);
        std::fflush(stdout);
    }

    if (doMemory) {
        std::printf("\nzevo-host VmRSS while streaming (%d min):\n", minutes);
        if (!PrintRssGrowth(host, streaming, minutes)) return 1;
    }
    host.Stop(15, 10000);
    return 0;
}
