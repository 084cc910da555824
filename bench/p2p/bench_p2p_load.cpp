// Run: build/default/bench/p2p/bench_p2p_load
// zevo-p2pd under load from simulated devices and viewers (tools/p2pload): devices held
// with keepalives at the default interval, keepalives and lookups answered per second with
// their p99, relayed datagrams per second, memory per registered device, a million devices
// registered at once and two services sharing the devices. The service runs one or two
// worker threads (--threads, the second argument where there is one); the load generator
// is one thread on the same machine. Rates are also given against a bare UDP echo loop measured first in
// the same run (vs_echo): the kernel's datagram rate on this machine with the same client.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "bench/process_usage.h"
#include "p2p/p2pd/service.h"
#include "tests/p2p/harness.h"
#include "tools/p2pload/load.h"

using namespace zevo::p2ptest;
namespace p2p = zevo::p2p;
using zevo::p2pload::Figures;
using zevo::p2pload::Fleet;

namespace {

constexpr size_t kPayload = 200;
constexpr size_t kWindow = 256;
constexpr uint64_t kKeepaliveMs = 2000;  // the service's default
double gEchoPerSecond = 0;

const std::vector<std::string> kRoomy = {"--max-devices",
                                         "10000000",
                                         "--max-devices-per-address",
                                         "10000000",
                                         "--max-sessions",
                                         "1000000",
                                         "--max-sessions-per-address",
                                         "1000000",
                                         "--max-pending",
                                         "1000000",
                                         "--relay-rate",
                                         "0"};

std::vector<std::string> Options(std::vector<std::string> extra = {}, int64_t threads = 1) {
    extra.insert(extra.begin(), kRoomy.begin(), kRoomy.end());
    extra.push_back("--threads");
    extra.push_back(std::to_string(threads));
    // The simulated devices bring no key: the service's load alone, unsealed.
    extra.push_back("--insecure-transport");
    return extra;
}

p2p::Endpoint At(const ServiceProcess& s) {
    return p2p::Endpoint{0x7F000001, s.Port()};
}

using zevo::bench::RssKb;

// User and system CPU seconds the process has used.
double CpuSeconds(int pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    size_t close = text.rfind(')');
    if (close == std::string::npos) return 0;
    std::istringstream fields(text.substr(close + 2));
    std::string skip;
    for (int i = 3; i < 14; ++i) fields >> skip;
    unsigned long long user = 0, system = 0;
    fields >> user >> system;
    return double(user + system) / double(sysconf(_SC_CLK_TCK));
}

uint64_t Counter(const ServiceProcess& s, size_t index) {
    auto stats = s.Stats();
    return index < stats.size() ? stats[index] : 0;
}

// The echo loop again, just before a measurement: on a shared machine the load of the
// moment moves both, so each ratio is against its neighbour (vs_echo); vs_first_echo is
// against the run's first baseline.
double EchoNow(benchmark::State& state) {
    Figures f = zevo::p2pload::EchoBaseline(kWindow, kPayload, 3000);
    state.counters["echo_here_per_s"] = f.perSecond;
    return f.perSecond;
}

void Rate(benchmark::State& state, const Figures& f, const char* name, double echo) {
    state.counters[std::string(name) + "_per_s"] = f.perSecond;
    state.counters["p50_us"] = f.p50us;
    state.counters["p99_us"] = f.p99us;
    state.counters["lost"] = double(f.lost);
    if (echo > 0) state.counters["vs_echo"] = f.perSecond / echo;
    if (gEchoPerSecond > 0) state.counters["vs_first_echo"] = f.perSecond / gEchoPerSecond;
}

// ---- baseline: the same closed loop against a bare recvmmsg/sendmmsg echo.
void BM_UdpEchoBaseline(benchmark::State& state) {
    for (auto _ : state) {
        Figures f = zevo::p2pload::EchoBaseline(kWindow, kPayload, 5000);
        gEchoPerSecond = f.perSecond;
        Rate(state, f, "echo", f.perSecond);
    }
}

// ---- devices held at the default keepalive interval: memory, answered share, CPU; then
// keepalives as fast as the service answers. Extrapolated to a million devices.
void BM_DevicesHeld(benchmark::State& state) {
    const size_t devices = size_t(state.range(0));
    for (auto _ : state) {
        ServiceProcess service;
        if (!service.Start(Options({}, state.range(1)))) {
            state.SkipWithError("zevo-p2pd did not start");
            return;
        }
        Fleet fleet({At(service)}, kTestKey);
        fleet.Register(1000);  // code paths and allocator warm before measuring
        long before = RssKb(service.Pid());
        size_t made = fleet.Register(devices + 1000) + 1000;
        long after = RssKb(service.Pid());
        double cpuBefore = CpuSeconds(service.Pid());
        auto hold = fleet.Hold(kKeepaliveMs, 10000);
        double cpu = CpuSeconds(service.Pid()) - cpuBefore;
        double echo = EchoNow(state);
        double cpuBurst = CpuSeconds(service.Pid());
        Figures burst = fleet.Keepalives(kWindow, 5000);
        cpuBurst = CpuSeconds(service.Pid()) - cpuBurst;
        // At saturation batches are full: the cost per keepalive where it matters.
        state.counters["burst_cpu_us_per_keepalive"] =
            burst.done ? cpuBurst / double(burst.done) * 1e6 : 0;
        state.counters["burst_cpu_share"] = cpuBurst / 5.0;
        double bytesPerDevice = double(after - before) * 1024 / double(devices);
        double cpuPerKeepalive = hold.sent ? cpu / double(hold.sent) : 0;
        state.counters["devices"] = double(made);
        state.counters["held_answered"] = hold.sent ? double(hold.acked) / double(hold.sent) : 0;
        state.counters["forgotten"] = double(hold.forgotten);
        state.counters["devices_now"] = double(Counter(service, p2p::kStatDevicesNow));
        state.counters["hold_cpu_share"] = cpu / hold.seconds;
        state.counters["cpu_us_per_keepalive"] = cpuPerKeepalive * 1e6;
        state.counters["bytes_per_device"] = bytesPerDevice;
        Rate(state, burst, "keepalive", echo);
        // A million devices at one keepalive per 2 s: 500,000 keepalives/s.
        state.counters["1M_rss_MiB"] = bytesPerDevice * 1e6 / 1048576;
        state.counters["1M_cores_at_hold_cost"] = cpuPerKeepalive * 500000;
        state.counters["devices_at_burst_rate"] = burst.perSecond * double(kKeepaliveMs) / 1000;
    }
}

// ---- lookups answered (LOOKUP_STATUS) per second; no relay sockets, devices do not join.
void BM_Lookups(benchmark::State& state) {
    for (auto _ : state) {
        ServiceProcess service;
        if (!service.Start(Options({"--no-relay"}, state.range(0)))) {
            state.SkipWithError("zevo-p2pd did not start");
            return;
        }
        Fleet fleet({At(service)}, kTestKey);
        fleet.Register(20000);
        double echo = EchoNow(state);
        Figures f = fleet.Lookups(kWindow, 5000);
        Rate(state, f, "lookup", echo);
        state.counters["sessions_now"] = double(Counter(service, p2p::kStatSessionsNow));
    }
}

// ---- relayed datagrams per second: sessions relay only, each end echoing.
void BM_RelayDatagrams(benchmark::State& state) {
    const size_t sessions = size_t(state.range(0));
    for (auto _ : state) {
        ServiceProcess service;
        if (!service.Start(Options({"--force-relay"}, state.range(1)))) {
            state.SkipWithError("zevo-p2pd did not start");
            return;
        }
        Fleet fleet({At(service)}, kTestKey);
        fleet.Register(sessions);
        double echo = EchoNow(state);
        Figures f = fleet.Relay(sessions, kWindow / sessions, kPayload, 5000);
        // Each round trip passes the relay twice; the echo baseline's server passes once.
        f.perSecond *= 2;
        Rate(state, f, "relayed", echo);
        state.counters["relays_now"] = double(Counter(service, p2p::kStatRelaysNow));
        state.counters["relay_drops"] = double(Counter(service, p2p::kStatRelayDropped) +
                                               Counter(service, p2p::kStatRelayRateDrops));
    }
}

// ---- a million devices registered with one service: memory measured, not extrapolated.
// They keep alive every 20 s here (the generator cannot send 500,000 keepalives a second
// beside the service on this machine), so CPU per keepalive is measured at 50,000/s.
void BM_MillionDevices(benchmark::State& state) {
    constexpr size_t kDevices = 1000000;
    constexpr uint64_t kSlowKeepaliveMs = 20000;
    for (auto _ : state) {
        ServiceProcess service;
        if (!service.Start(Options({"--device-expiry-ms", "600000"}, state.range(0)))) {
            state.SkipWithError("zevo-p2pd did not start");
            return;
        }
        Fleet fleet({At(service)}, kTestKey, 1, 256);
        long empty = RssKb(service.Pid());
        size_t made = fleet.Register(kDevices, kSlowKeepaliveMs, 600000, 4096);
        long full = RssKb(service.Pid());
        double cpuBefore = CpuSeconds(service.Pid());
        auto hold = fleet.Hold(kSlowKeepaliveMs, 10000);
        double cpu = CpuSeconds(service.Pid()) - cpuBefore;
        state.counters["devices"] = double(made);
        state.counters["devices_now"] = double(Counter(service, p2p::kStatDevicesNow));
        state.counters["rss_MiB"] = double(full) / 1024;
        state.counters["bytes_per_device"] = double(full - empty) * 1024 / double(made);
        state.counters["held_per_s"] = double(hold.sent) / hold.seconds;
        state.counters["held_answered"] = hold.sent ? double(hold.acked) / double(hold.sent) : 0;
        state.counters["cpu_us_per_keepalive"] = hold.sent ? cpu / double(hold.sent) * 1e6 : 0;
        state.counters["1M_at_2s_cores"] = hold.sent ? cpu / double(hold.sent) * 500000 : 0;
    }
}

// ---- two services, one replica: each holds and answers about half of the devices.
void BM_TwoServicesShareTheDevices(benchmark::State& state) {
    const size_t devices = size_t(state.range(0));
    for (auto _ : state) {
        ServiceProcess a, b;
        if (!a.Start(Options()) || !b.Start(Options())) {  // one thread each
            state.SkipWithError("zevo-p2pd did not start");
            return;
        }
        Fleet fleet({At(a), At(b)}, kTestKey, 1);
        size_t made = fleet.Register(devices);
        uint64_t inA = Counter(a, p2p::kStatDatagrams), inB = Counter(b, p2p::kStatDatagrams);
        auto hold = fleet.Hold(kKeepaliveMs, 6000);
        // Less the one STATS_REQUEST each the first reading cost.
        double gotA = double(Counter(a, p2p::kStatDatagrams) - inA - 1);
        double gotB = double(Counter(b, p2p::kStatDatagrams) - inB - 1);
        state.counters["devices"] = double(made);
        state.counters["devices_a"] = double(Counter(a, p2p::kStatDevicesNow));
        state.counters["devices_b"] = double(Counter(b, p2p::kStatDevicesNow));
        state.counters["keepalive_share_a"] = gotA / (gotA + gotB);
        state.counters["keepalive_share_b"] = gotB / (gotA + gotB);
        state.counters["held_answered"] = hold.sent ? double(hold.acked) / double(hold.sent) : 0;
    }
}

}  // namespace

BENCHMARK(BM_UdpEchoBaseline)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DevicesHeld)
    ->Args({20000, 1})
    ->Args({100000, 1})
    ->Args({100000, 2})
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Lookups)->Arg(1)->Arg(2)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RelayDatagrams)
    ->Args({1, 1})
    ->Args({8, 1})
    ->Args({8, 2})
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_MillionDevices)->Arg(1)->Arg(2)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_TwoServicesShareTheDevices)->Arg(20000)->Iterations(1)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
