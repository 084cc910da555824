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
// - Latency: capture to display of every frame for BENCH_SECONDS (default 60), from the
//   frame traces (ZEVO_FRAME_TRACE) of zevo-camd (taken from its source, sent) and
//   zevo-host (received, pushed, decoded, shown after the paint), joined on the stamp each
//   frame carries; median, p90, p99, max, the longest gap between shown frames and the
//   median of each stage, leaving out the first second after the first picture (start-up
//   is the first figure's). Baseline: the same frames from memory, pushed at 30 fps into the
//   same graph and window paint path in this process, push to present; half before and
//   half after the host's run, as many seconds in all. latency-lossy forces the relay and puts
//   every peer behind impairment proxies (25 ms and 1% loss each way) on its way to the service and
//   relay.
// Usage: bench_viewer_end_to_end [startav|memory|latency|latency-lossy|all]   (default all:
// startav and memory)
#include <unistd.h>

#include <QApplication>
#include <QEventLoop>
#include <QTimer>
#include <QWidget>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "bench/control/host_bench.h"
#include "media/video_graph.h"
#include "platform/frame_trace.h"
#include "tools/udpproxy/udp_proxy.h"

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

// ---- latency -----------------------------------------------------------------------------

constexpr int kFps = 30;
// Frames shown in the first second are left out of both paths' figures: they queued while
// the decoder was plugged in and started, which the start-to-first-picture figure covers.
constexpr double kWarmUpSeconds = 1.0;
// The host's default window less its status bar: the video area both paths paint.
constexpr int kVideoWidth = 800;
constexpr int kVideoHeight = 620 - 22;

double Percentile(std::vector<double> v, double p) {
    if (v.empty()) return -1;
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, static_cast<size_t>(p * static_cast<double>(v.size())))];
}

// When each frame passed each point: point -> id -> microseconds (the first time).
using PointTimes = std::map<std::string, std::unordered_map<uint32_t, uint64_t>>;

PointTimes IndexTrace(const std::vector<zevo::FrameTracePoint>& trace) {
    PointTimes at;
    for (const auto& p : trace) at[p.point].emplace(p.id, p.us);
    return at;
}

// Milliseconds from `from` to `to` of each frame in ids that passed both.
std::vector<double> Between(const PointTimes& at, const std::string& from, const std::string& to,
                            const std::vector<uint32_t>& ids) {
    std::vector<double> ms;
    const auto f = at.find(from);
    const auto t = at.find(to);
    if (f == at.end() || t == at.end()) return ms;
    for (uint32_t id : ids) {
        const auto a = f->second.find(id);
        const auto b = t->second.find(id);
        if (a != f->second.end() && b != t->second.end()) {
            ms.push_back((static_cast<double>(b->second) - static_cast<double>(a->second)) /
                         1000.0);
        }
    }
    return ms;
}

// The frames shown from `skip` to `skip + seconds` seconds after the first one, in the
// order shown, and the longest time between two of them (ms).
std::vector<uint32_t> ShownWindow(const std::vector<zevo::FrameTracePoint>& trace, double skip,
                                  double seconds, double* longestGapMs) {
    std::vector<uint32_t> ids;
    uint64_t first = 0, last = 0;
    bool any = false;
    *longestGapMs = 0;
    for (const auto& p : trace) {
        if (p.point != "shown") continue;
        if (!any) first = p.us;
        any = true;
        const double at = static_cast<double>(p.us - first) / 1e6;
        if (at < skip) continue;
        if (at > skip + seconds) break;
        if (!ids.empty()) {
            *longestGapMs = std::max(*longestGapMs, static_cast<double>(p.us - last) / 1000.0);
        }
        ids.push_back(p.id);
        last = p.us;
    }
    return ids;
}

// The first `count` video payloads the device sends, from a key frame on; empty on failure.
std::vector<std::vector<uint8_t>> RecordFrames(DeviceHarness& world, size_t count) {
    DeviceClient client;
    if (client.Connect(world.Did()) < 0 || client.Login(world.Password()) != 1 ||
        client.StartStream(0) < 0) {
        return {};
    }
    std::vector<std::vector<uint8_t>> frames;
    Packet packet;
    while (frames.size() < count && client.ReadVideo(packet, 10000) == 0) {
        if (frames.empty() && packet.Head().FrameKind() != 0) continue;
        frames.emplace_back(packet.Payload(), packet.Payload() + packet.PayloadSize());
    }
    client.StopStream(0);
    client.StopSession();
    return frames.size() == count ? frames : std::vector<std::vector<uint8_t>>{};
}

// Push to present (ms) of `seconds` of frames fed from memory at 30 fps (looping over
// `frames`) into a live graph painting a window of the host's video area, on this
// process's event loop. The frame ids are the pushes' positions.
std::vector<double> MemoryBaseline(const std::vector<std::vector<uint8_t>>& frames, int seconds,
                                   const std::string& tracePath) {
    const size_t pushes = static_cast<size_t>(seconds) * kFps;
    zevo::SetFrameTraceFile(tracePath.c_str());
    {
        QWidget window;
        window.resize(kVideoWidth, kVideoHeight);
        window.show();
        VideoGraph graph;
        graph.BuildGraph();
        graph.AttachVideoWindow(&window);
        graph.RunGraph();
        std::atomic<bool> done{false};
        std::thread pusher([&] {
            const double start = Now();
            for (size_t i = 0; i < pushes; ++i) {
                SleepUntil(start + static_cast<double>(i) / kFps);
                const auto id = static_cast<uint32_t>(i + 1);
                const std::vector<uint8_t>& frame = frames[i % frames.size()];
                zevo::TraceFrame("pushed", id);
                graph.PushVideo(224, frame.data(), static_cast<int32_t>(frame.size()), id);
            }
            SleepUntil(Now() + 0.5);  // the last frames painted
            done = true;
        });
        QEventLoop loop;
        QTimer poll;
        QObject::connect(&poll, &QTimer::timeout, [&] {
            if (done) loop.quit();
        });
        poll.start(20);
        loop.exec();
        pusher.join();
        graph.StopGraph();
        graph.ReleaseAll();
    }
    zevo::SetFrameTraceFile(nullptr);
    const std::vector<zevo::FrameTracePoint> trace = zevo::ReadFrameTrace(tracePath);
    double gap = 0;
    return Between(IndexTrace(trace), "pushed", "shown",
                   ShownWindow(trace, kWarmUpSeconds, 1e9, &gap));
}

void PrintLoad(const char* when) {
    std::printf("  load average %s: %s", when, Slurp("/proc/loadavg").c_str());
}

// Proxies on 127.0.0.2 in front of the service and each relay port, as far as the peers
// know the service's address.
struct ImpairedLinks {
    std::vector<std::unique_ptr<zevo::tools::UdpProxy>> proxies;

    bool Add(uint16_t port) {
        zevo::tools::UdpProxyConfig config;
        config.listen = "127.0.0.2:" + std::to_string(port);
        config.upstream = "127.0.0.1:" + std::to_string(port);
        for (zevo::tools::Impairment* way : {&config.toUpstream, &config.toClient}) {
            way->delayMs = 25;
            way->lossPercent = 1.0;
        }
        config.seed = port;
        proxies.push_back(std::make_unique<zevo::tools::UdpProxy>(config));
        return proxies.back()->Start() == 0;
    }
    void Print() const {
        uint64_t forwarded = 0, lost = 0;
        for (const auto& p : proxies) {
            const zevo::tools::UdpProxyStats s = p->Stats();
            forwarded += s.toClient.forwarded + s.toUpstream.forwarded;
            lost += s.toClient.lost + s.toUpstream.lost;
        }
        std::printf("  proxies: %llu datagrams forwarded, %llu lost (%.2f%%)\n",
                    static_cast<unsigned long long>(forwarded),
                    static_cast<unsigned long long>(lost),
                    forwarded + lost
                        ? 100.0 * static_cast<double>(lost) / static_cast<double>(forwarded + lost)
                        : 0.0);
    }
};

int RunLatency(DeviceHarness& world, bool lossy, const std::string& hostServer, int seconds,
               const ImpairedLinks* links) {
    const std::string dir = world.Folder();
    // The same frames the device sends, from memory: one pass of the clip.
    const std::vector<std::vector<uint8_t>> frames = RecordFrames(world, 10 * kFps);
    if (frames.empty()) {
        std::fprintf(stderr, "could not record the device's frames (logs in %s)\n", dir.c_str());
        return 1;
    }
    usleep(300000);  // the camera stops between viewers
    std::printf("\nCapture to display, 1080p30 passthrough, %s:\n",
                lossy ? "relay forced, 25 ms and 1% loss each way between every peer and the "
                        "relay"
                      : "loopback");
    PrintLoad("before");
    std::fflush(stdout);
    // Half the baseline before the host's run and half after, as long as it in all.
    const int half = (seconds + 1) / 2 + static_cast<int>(kWarmUpSeconds);
    std::vector<double> baseline = MemoryBaseline(frames, half, dir + "/baseline-1.trace");

    const std::string hostTrace = dir + "/host.trace";
    std::ostringstream body;
    body << "player.ChgSelection(0);\nplayer.StartAV();\nhost.sleep(" << (seconds + 10) * 1000
         << ");\nhost.log(\"frames \" + viewer.framesRendered());\nplayer.StopAV();\n"
         << "host.quit(0);\n";
    ChildProcess host;
    std::vector<std::string> env = {"ZEVO_FRAME_TRACE=" + hostTrace};
    if (!hostServer.empty()) env.push_back("ZEVO_P2P_SERVER=" + hostServer);
    if (!StartHostOnScript(host, world, "latency", body.str(), {"--size", "800x620"}, env)) {
        std::fprintf(stderr, "zevo-host did not start\n");
        return 1;
    }
    const double deadline = Now() + seconds + 60;
    while (host.Running() && Now() < deadline) usleep(100000);
    host.Stop(15, 5000);

    std::vector<double> after = MemoryBaseline(frames, half, dir + "/baseline-2.trace");
    baseline.insert(baseline.end(), after.begin(), after.end());
    PrintLoad("after ");

    const std::vector<zevo::FrameTracePoint> shownTrace = zevo::ReadFrameTrace(hostTrace);
    double longestGap = 0, startGap = 0;
    const std::vector<uint32_t> ids = ShownWindow(shownTrace, kWarmUpSeconds, seconds, &longestGap);
    const std::vector<uint32_t> fromStart = ShownWindow(shownTrace, 0, kWarmUpSeconds, &startGap);
    PointTimes at = IndexTrace(shownTrace);
    for (auto& [point, times] : IndexTrace(zevo::ReadFrameTrace(dir + "/camd.trace"))) {
        at[point] = std::move(times);
    }
    const std::vector<double> latency = Between(at, "capture", "shown", ids);
    if (latency.size() < static_cast<size_t>(seconds * kFps / 2) || baseline.empty()) {
        std::fprintf(stderr, "too few frames shown: host %zu, baseline %zu (traces in %s)\n",
                     latency.size(), baseline.size(), dir.c_str());
        return 1;
    }
    // Frames the device sent while the shown ones were taken, to tell how many never were.
    size_t sent = 0;
    const auto& captured = at["capture"];
    const auto first = captured.find(ids.front()), last = captured.find(ids.back());
    if (first != captured.end() && last != captured.end()) {
        for (const auto& [id, us] : captured) sent += us >= first->second && us <= last->second;
    }
    const std::vector<double> ownShare = Between(at, "pushed", "shown", ids);
    std::printf("  %-46s %7s %7s %7s %7s  (ms)\n", "", "median", "p90", "p99", "max");
    auto row = [](const char* label, const std::vector<double>& v) {
        std::printf("  %-46s %7.1f %7.1f %7.1f %7.1f\n", label, Percentile(v, 0.5),
                    Percentile(v, 0.9), Percentile(v, 0.99), Worst(v));
    };
    row("zevo-host: taken from source to shown", latency);
    row("baseline: pushed from memory to shown", baseline);
    row("zevo-host: pushed to shown (its graph)", ownShare);
    row("transport: sent to received", Between(at, "sent", "received", ids));
    row("zevo-host: taken to shown, first second", Between(at, "capture", "shown", fromStart));
    std::printf(
        "  frames shown %zu of %zu sent in %d s after the first second (baseline %zu "
        "of %zu); longest gap between shown frames %.0f ms\n",
        latency.size(), sent, seconds, baseline.size(),
        static_cast<size_t>(2 * (half - static_cast<int>(kWarmUpSeconds)) * kFps), longestGap);
    std::printf("  stage medians (ms):");
    const char* points[] = {"capture", "sent", "received", "pushed", "decoded", "shown"};
    for (size_t i = 0; i + 1 < std::size(points); ++i) {
        std::printf(" %s->%s %.1f", points[i], points[i + 1],
                    Percentile(Between(at, points[i], points[i + 1], ids), 0.5));
    }
    std::printf("\n  median minus baseline's %.1f ms; ",
                Percentile(latency, 0.5) - Percentile(baseline, 0.5));
    if (lossy) {
        std::printf("goal: p99 < 250 ms, no gap over 500 ms\n");
    } else {
        std::printf("goal: within 10 ms, p99 < 80 ms\n");
    }
    if (links) links->Print();
    std::fflush(stdout);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string mode = argc > 1 ? argv[1] : "all";
    const bool doStart = mode == "all" || mode == "startav";
    const bool doMemory = mode == "all" || mode == "memory";
    const bool doLatency = mode == "latency" || mode == "latency-lossy";
    const bool lossy = mode == "latency-lossy";
    if (!doStart && !doMemory && !doLatency) {
        std::fprintf(stderr, "usage: %s [startav|memory|latency|latency-lossy|all]\n", argv[0]);
        return 2;
    }
    const int runs = EnvInt("BENCH_STARTS", 20, 1);
    const int minutes = EnvInt("BENCH_MINUTES", 10, 2);
    const int seconds = EnvInt("BENCH_SECONDS", 60, 10);

    // The relay's ports, mirrored by the proxies when the links are impaired.
    constexpr int kRelayPorts = 8;
    const uint16_t relayFirst =
        lossy ? FreeRelayPorts(static_cast<uint16_t>(30000 + (getpid() % 400) * 16), kRelayPorts)
              : 0;
    std::vector<std::string> serviceOptions;
    if (lossy) {
        serviceOptions = {
            "--force-relay", "--relay-ports",
            std::to_string(relayFirst) + "-" + std::to_string(relayFirst + kRelayPorts - 1)};
    }
    DeviceHarness world;
    if (world.StartService(true, serviceOptions) < 0) {
        std::fprintf(stderr, "zevo-p2pd did not start (logs in %s)\n", world.Folder().c_str());
        return 1;
    }
    const std::string dir = world.Folder();
    ImpairedLinks links;
    std::string peerServer;  // where the viewer and the device reach the service
    if (lossy) {
        const std::string endpoint = world.Endpoint();
        const auto port =
            static_cast<uint16_t>(std::atoi(endpoint.c_str() + endpoint.rfind(':') + 1));
        bool ok = links.Add(port);
        for (int i = 0; i < kRelayPorts; ++i)
            ok = links.Add(static_cast<uint16_t>(relayFirst + i)) && ok;
        if (!ok) {
            std::fprintf(stderr, "the impairment proxies did not start\n");
            return 1;
        }
        peerServer = "127.0.0.2:" + std::to_string(port);
        world.SetDeviceServer(peerServer);
    }
    if (doLatency) world.SetDeviceEnvironment({"ZEVO_FRAME_TRACE=" + dir + "/camd.trace"});
    std::unique_ptr<QApplication> app;
    if (doLatency) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
        app = std::make_unique<QApplication>(argc, argv);
    }
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

    if (doLatency && RunLatency(world, lossy, peerServer, seconds, lossy ? &links : nullptr) != 0) {
        return 1;
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
