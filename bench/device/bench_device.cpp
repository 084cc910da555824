// Cost of zevo-camd: CPU and memory while viewers drain 1280x720 25 fps streams, and the
// time from CMD_START_STREAM to the first video packet. The baselines come from the same
// daemon in the same run: its CPU while registered and idle, and a command round trip.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "device/testclient/device_client.h"
#include "p2p/PPPP_API.h"

using namespace zevo;
using namespace zevo::camd::testing;

namespace {

constexpr int kCameras = 4;

int WindowSeconds() {
    const char* s = std::getenv("CAMD_BENCH_SECONDS");
    int v = s ? std::atoi(s) : 10;
    return v > 0 ? v : 10;
}

DeviceHarness* Harness() {
    static std::unique_ptr<DeviceHarness> harness;
    if (!harness) {
        harness = std::make_unique<DeviceHarness>();
        std::vector<std::string> args = {"--cameras", std::to_string(kCameras)};
        for (int i = 0; i < kCameras; ++i) {
            args.push_back("--camera");
            args.push_back(std::to_string(i) + ":size=1280x720,fps=25,bitrate=2000,keyint=50");
        }
        if (harness->StartService() != 0 || harness->StartDevice(args) != 0) {
            fprintf(stderr, "cannot start zevo-p2pd / zevo-camd\n");
            std::exit(1);
        }
    }
    return harness.get();
}

struct ProcessSample {
    double cpuSeconds = 0;  // utime + stime
    double rssMb = 0;
    double peakRssMb = 0;
};

ProcessSample Sample(pid_t pid) {
    ProcessSample s;
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    // Fields after the command name, which is in parentheses and may hold spaces.
    std::istringstream rest(text.substr(text.rfind(')') + 2));
    std::string field;
    unsigned long long utime = 0, stime = 0;
    for (int i = 3; i <= 15 && rest >> field; ++i) {
        if (i == 14) utime = std::stoull(field);
        if (i == 15) stime = std::stoull(field);
    }
    s.cpuSeconds = double(utime + stime) / double(sysconf(_SC_CLK_TCK));
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0) s.rssMb = std::stod(line.substr(6)) / 1024.0;
        if (line.rfind("VmHWM:", 0) == 0) s.peakRssMb = std::stod(line.substr(6)) / 1024.0;
    }
    return s;
}

// Logged-in viewers that drain their video on threads of their own.
class Viewers {
public:
    explicit Viewers(const std::vector<int>& cameras) {
        for (int camera : cameras) {
            auto c = std::make_unique<DeviceClient>();
            if (c->Connect(Harness()->Did()) != 0 || c->Login(Harness()->Password()) != 1) {
                fprintf(stderr, "viewer could not log in\n");
                std::exit(1);
            }
            c->StartStream(camera);
            mClients.push_back(std::move(c));
        }
        for (auto& c : mClients) {
            mThreads.emplace_back([this, client = c.get()] {
                while (!mStop.load()) {
                    Packet p;
                    int rc = client->ReadPacket(1, p, 500);
                    if (rc == 0 && p.packetClass == PACKET_CLASS_VIDEO) {
                        ++mFrames;
                        mBytes += p.body.size() + 4;
                    } else if (rc < 0 && rc != PPPP_ERR_TIMEOUT) {
                        break;
                    }
                }
            });
        }
    }
    ~Viewers() {
        mStop.store(true);
        for (auto& t : mThreads) t.join();
        for (auto& c : mClients) c->StopSession();
        mClients.clear();
        std::this_thread::sleep_for(std::chrono::milliseconds(500));  // pipelines stop
    }
    uint64_t Frames() const { return mFrames.load(); }
    uint64_t Bytes() const { return mBytes.load(); }

private:
    std::vector<std::unique_ptr<DeviceClient>> mClients;
    std::vector<std::thread> mThreads;
    std::atomic<bool> mStop{false};
    std::atomic<uint64_t> mFrames{0};
    std::atomic<uint64_t> mBytes{0};
};

double gIdleCpuPercent = 0;

void MeasureWindow(benchmark::State& state, const std::vector<int>& cameras) {
    pid_t pid = Harness()->Device().Pid();
    for (auto _ : state) {
        std::unique_ptr<Viewers> viewers;
        if (!cameras.empty()) viewers = std::make_unique<Viewers>(cameras);
        std::this_thread::sleep_for(std::chrono::seconds(2));  // encoders settle
        ProcessSample before = Sample(pid);
        uint64_t frames0 = viewers ? viewers->Frames() : 0;
        uint64_t bytes0 = viewers ? viewers->Bytes() : 0;
        auto t0 = std::chrono::steady_clock::now();
        std::this_thread::sleep_for(std::chrono::seconds(WindowSeconds()));
        double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        ProcessSample after = Sample(pid);
        double cpuPercent = 100.0 * (after.cpuSeconds - before.cpuSeconds) / seconds;
        state.SetIterationTime(seconds);
        state.counters["cpu_pct"] = cpuPercent;
        state.counters["rss_MB"] = after.rssMb;
        state.counters["peak_rss_MB"] = after.peakRssMb;
        if (viewers) {
            state.counters["fps_received"] = double(viewers->Frames() - frames0) / seconds;
            state.counters["kbit_s"] = double(viewers->Bytes() - bytes0) * 8 / 1024 / seconds;
            if (gIdleCpuPercent > 0) state.counters["cpu_vs_idle"] = cpuPercent / gIdleCpuPercent;
        } else {
            gIdleCpuPercent = std::max(cpuPercent, 0.01);
        }
    }
}

// Baseline: the daemon registered, cameras stopped, nobody watching.
void BM_DaemonIdle(benchmark::State& state) {
    MeasureWindow(state, {});
}
BENCHMARK(BM_DaemonIdle)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);

// One viewer, one 1280x720 25 fps stream.
void BM_DaemonOneStream(benchmark::State& state) {
    MeasureWindow(state, {0});
}
BENCHMARK(BM_DaemonOneStream)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);

// Four viewers, each on its own camera: four encoders.
void BM_DaemonFourStreams(benchmark::State& state) {
    MeasureWindow(state, {0, 1, 2, 3});
}
BENCHMARK(BM_DaemonFourStreams)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);

// Four viewers on one camera: one shared encoder.
void BM_DaemonFourViewersOneCamera(benchmark::State& state) {
    MeasureWindow(state, {0, 0, 0, 0});
}
BENCHMARK(BM_DaemonFourViewersOneCamera)
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

// Baseline for the start time: one command answered by the device.
void BM_CommandRoundTrip(benchmark::State& state) {
    DeviceClient client;
    if (client.Connect(Harness()->Did()) != 0 || client.Login(Harness()->Password()) != 1) {
        state.SkipWithError("login failed");
        return;
    }
    for (auto _ : state) {
        auto t0 = std::chrono::steady_clock::now();
        if (client.GetEmailAlert(3000) < 0) state.SkipWithError("no answer");
        state.SetIterationTime(
            std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count());
    }
    client.StopSession();
}
BENCHMARK(BM_CommandRoundTrip)->Iterations(20)->UseManualTime()->Unit(benchmark::kMillisecond);

// CMD_START_STREAM to the first video packet with the camera stopped: the pipeline starts.
void BM_StartToFirstVideo(benchmark::State& state) {
    DeviceClient client;
    if (client.Connect(Harness()->Did()) != 0 || client.Login(Harness()->Password()) != 1) {
        state.SkipWithError("login failed");
        return;
    }
    for (auto _ : state) {
        auto t0 = std::chrono::steady_clock::now();
        client.StartStream(1);
        Packet p;
        if (client.ReadVideo(p, 10000) != 0) state.SkipWithError("no video");
        state.SetIterationTime(
            std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count());
        state.PauseTiming();
        client.StopStream(1);
        // Let the camera stop and drain what was still on its way.
        while (client.ReadPacket(1, p, 300) == 0) {
        }
        state.ResumeTiming();
    }
    client.StopSession();
}
BENCHMARK(BM_StartToFirstVideo)->Iterations(10)->UseManualTime()->Unit(benchmark::kMillisecond);

// The same while another viewer already watches: a forced key frame from the running encoder.
void BM_JoinRunningCamera(benchmark::State& state) {
    Viewers watcher({2});
    std::this_thread::sleep_for(std::chrono::seconds(1));
    DeviceClient client;
    if (client.Connect(Harness()->Did()) != 0 || client.Login(Harness()->Password()) != 1) {
        state.SkipWithError("login failed");
        return;
    }
    for (auto _ : state) {
        auto t0 = std::chrono::steady_clock::now();
        client.StartStream(2);
        Packet p;
        if (client.ReadVideo(p, 10000) != 0) state.SkipWithError("no video");
        state.SetIterationTime(
            std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count());
        state.PauseTiming();
        client.StopStream(2);
        while (client.ReadPacket(1, p, 300) == 0) {
        }
        state.ResumeTiming();
    }
    client.StopSession();
}
BENCHMARK(BM_JoinRunningCamera)->Iterations(10)->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
