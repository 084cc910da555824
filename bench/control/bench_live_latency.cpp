// Capture-to-display latency of live video: zevo-camd stamps each frame with
// CLOCK_MONOTONIC milliseconds at capture; the viewer side reads the frames through the
// transport (direct or through the relay) and pushes them into the live VideoGraph; a
// frame counts as shown when the renderer's frame store holds it (the widget paints from
// there). The baseline in the same run pushes the same frames from memory, so it is the
// graph's own decode-to-display time.
// Counters: median_ms, p99_ms, frames.
#include <benchmark/benchmark.h>
#include <time.h>
#include <unistd.h>

#include <QApplication>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "device/testclient/device_client.h"
#include "media/video_graph.h"
#include "p2p/PPPP_API.h"
#include "p2p/init_string.h"

using namespace zevo;
using namespace zevo::camd::testing;

namespace {

constexpr int kSeconds = 10;

uint32_t MonoMs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint32_t>(ts.tv_sec * 1000 + ts.tv_nsec / 1000000);
}

std::string Slurp(const std::string& path) {
    std::ifstream in(path);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

struct Frame {
    uint32_t stamp;
    std::vector<uint8_t> payload;
};

// Pushes frames (stamp, payload) into a running graph as they come from next(); records
// for each the shown time minus its stamp. next returns false at the end.
template <typename Next>
std::vector<double> Measure(Next next, bool restamp) {
    VideoGraph graph;
    graph.BuildGraph();
    graph.RunGraph();
    std::vector<double> latencies;
    Frame frame;
    uint64_t shown = graph.FramesRendered();
    while (next(frame)) {
        const uint32_t stamp = restamp ? MonoMs() : frame.stamp;
        graph.PushVideo(224, frame.payload.data(), static_cast<int32_t>(frame.payload.size()));
        // One frame in, one out: the decoder runs without reordering.
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(500);
        while (graph.FramesRendered() == shown && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
        if (graph.FramesRendered() != shown) {
            shown = graph.FramesRendered();
            latencies.push_back(static_cast<double>(static_cast<int32_t>(MonoMs() - stamp)));
        }
    }
    graph.StopGraph();
    graph.ReleaseAll();
    return latencies;
}

void Report(benchmark::State& state, std::vector<double> latencies) {
    if (latencies.empty()) {
        state.SkipWithError("no frame shown");
        return;
    }
    std::sort(latencies.begin(), latencies.end());
    state.counters["median_ms"] = latencies[latencies.size() / 2];
    state.counters["p99_ms"] =
        latencies[std::min(latencies.size() - 1, latencies.size() * 99 / 100)];
    state.counters["frames"] = static_cast<double>(latencies.size());
}

// One service and device per configuration; frames are recorded for the baseline.
struct World {
    ChildProcess service;
    ChildProcess device;
    std::string dir;
    std::string did = "ZEVO-000777-BENCH";

    bool Start(bool relay, int width, int height, int fps) {
        char pattern[] = "/tmp/bench-latency-XXXXXX";
        if (!mkdtemp(pattern)) return false;
        dir = pattern;
        std::vector<std::string> args = {DeviceHarness::ServicePath(),
                                         "--listen",
                                         "127.0.0.1:0",
                                         "--port-file",
                                         dir + "/port",
                                         "--key",
                                         "bench-key",
                                         "--insecure-transport"};
        if (relay) args.push_back("--force-relay");
        if (service.Start(args, {}, dir + "/p2pd.log") < 0) return false;
        std::string port;
        for (int i = 0; i < 500 && port.empty(); ++i) {
            port = Slurp(dir + "/port");
            if (!port.empty() && port.back() == '\n') port.pop_back();
            if (port.empty()) usleep(10000);
        }
        const std::string server = "127.0.0.1:" + port;
        setenv("ZEVO_P2P_SERVER", server.c_str(), 1);
        // The latency of the media path against its own baseline, unsealed as before.
        setenv("ZEVO_P2P_INSECURE_TRANSPORT", "1", 1);
        const std::string secretFile = dir + "/secret";
        const std::string cmd = "'" + DeviceHarness::ServicePath() +
                                "' --key bench-key --device-secret " + did + " > " + secretFile;
        if (std::system(cmd.c_str()) != 0) return false;
        std::string secret = Slurp(secretFile);
        while (!secret.empty() && secret.back() == '\n') secret.pop_back();
        const std::string camera = "0:size=" + std::to_string(width) + "x" +
                                   std::to_string(height) + ",fps=" + std::to_string(fps) +
                                   ",bitrate=" + std::to_string(width * height / 400) +
                                   ",audio=none";
        if (device.Start(
                {DeviceHarness::DevicePath(), "--did", did, "--secret", secret, "--password",
                 "bench", "--server", server, "--timestamps", "monotonic", "--camera", camera},
                {}, dir + "/camd.log") < 0) {
            return false;
        }
        return device.WaitForLog("registered", 15000);
    }
    ~World() {
        device.Stop();
        service.Stop();
        if (std::system(("rm -rf '" + dir + "'").c_str()) != 0) {
        }
    }
};

void BM_CaptureToDisplay(benchmark::State& state) {
    const bool relay = state.range(0) != 0;
    const int width = static_cast<int>(state.range(1));
    const int height = static_cast<int>(state.range(2));
    const int fps = static_cast<int>(state.range(3));
    const bool baseline = state.range(4) != 0;
    for (auto _ : state) {
        World world;
        if (!world.Start(relay, width, height, fps)) {
            state.SkipWithError("service or device did not start");
            return;
        }
        PPPP_Initialize(const_cast<char*>(p2p::kP2pInitString));
        std::vector<Frame> recorded;
        {
            DeviceClient client;
            if (client.Connect(world.did) < 0 || client.Login("bench") != 1 ||
                client.StartStream(0) < 0) {
                state.SkipWithError("viewer could not start the stream");
                PPPP_DeInitialize();
                return;
            }
            const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(kSeconds);
            auto next = [&](Frame& frame) {
                if (std::chrono::steady_clock::now() > end) return false;
                Packet packet;
                if (client.ReadVideo(packet, 2000) != 0) return false;
                const PacketHead head = packet.Head();
                frame.stamp = head.Timestamp();
                frame.payload.assign(packet.body.begin() + kPacketHeadSize, packet.body.end());
                recorded.push_back(frame);
                return true;
            };
            std::vector<double> live = Measure(next, false);
            if (!baseline) Report(state, std::move(live));
        }
        PPPP_DeInitialize();
        if (baseline) {
            size_t i = 0;
            Report(state,
                   Measure(
                       [&](Frame& frame) {
                           if (i >= recorded.size()) return false;
                           frame = recorded[i++];
                           // At the stream's own pace, as a live source would.
                           std::this_thread::sleep_for(std::chrono::milliseconds(1000 / fps));
                           return true;
                       },
                       true));
        }
    }
}

// relay, width, height, fps, baseline
BENCHMARK(BM_CaptureToDisplay)
    ->ArgNames({"relay", "w", "h", "fps", "decode_only"})
    ->Args({0, 1280, 720, 25, 1})
    ->Args({0, 1280, 720, 25, 0})
    ->Args({1, 1280, 720, 25, 0})
    ->Args({0, 1920, 1080, 30, 1})
    ->Args({0, 1920, 1080, 30, 0})
    ->Args({1, 1920, 1080, 30, 0})
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace
