// Channel-1 throughput viewer <- device in relay mode with the viewer's whole path to the
// relay crossing the impairment proxy (see tests/tools/impaired_relay.h). The first row
// is the same path with no fault at all: the baseline the others are read against.
//
//   args: one-way delay in ms (applied both ways), loss in tenths of a percent (both
//   ways), bytes per iteration in MiB, 1 through the proxies or 0 straight to the relay.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <cstdio>
#include <cstring>
#include <vector>

#include "p2p/PPPP_API.h"
#include "p2p/diag_device.h"
#include "tests/tools/impaired_relay.h"
#include "tests/tools/netns_lab.h"

namespace {

using zevo::testing::ImpairedRelay;
using zevo::tools::Impairment;

bool SendOrder(int32_t session, char code, uint64_t value) {
    unsigned char order[9] = {static_cast<unsigned char>(code)};
    for (int i = 0; i < 8; ++i) order[1 + i] = static_cast<uint8_t>(value >> (8 * i));
    return PPPP_Write(session, 2, reinterpret_cast<char*>(order), sizeof order) == 9;
}

// Reads count pattern bytes from channel 1; false on any error or wrong byte.
bool ReadStream(int32_t session, uint64_t count, std::vector<uint8_t>& buffer) {
    if (!SendOrder(session, 'S', count)) return false;
    uint64_t offset = 0;
    while (offset < count) {
        int32_t n = static_cast<int32_t>(std::min<uint64_t>(buffer.size(), count - offset));
        int32_t r = PPPP_Read(session, 1, reinterpret_cast<char*>(buffer.data()), &n, 30000);
        if (zevo::p2pdiag::CheckPattern(offset, buffer.data(), static_cast<size_t>(n)) !=
            static_cast<size_t>(n))
            return false;
        offset += static_cast<uint64_t>(n);
        if (r != PPPP_OK) return false;
    }
    return true;
}

// UDP datagrams this namespace's sockets dropped for a full receive buffer.
double UdpReceiveBufferErrors() {
    std::FILE* f = std::fopen("/proc/net/snmp", "r");
    if (!f) return 0;
    char header[1024], values[1024];
    double result = 0;
    while (std::fgets(header, sizeof header, f) && std::fgets(values, sizeof values, f)) {
        if (std::strncmp(header, "Udp:", 4) != 0) continue;
        // Find the column named RcvbufErrors and take the same column of the values.
        int column = 0;
        for (char* h = std::strtok(header, " \n"); h; h = std::strtok(nullptr, " \n"), ++column) {
            if (std::strcmp(h, "RcvbufErrors") == 0) break;
        }
        char* v = std::strtok(values, " \n");
        for (int i = 0; v && i < column; ++i) v = std::strtok(nullptr, " \n");
        if (v) result = std::atof(v);
        break;
    }
    std::fclose(f);
    return result;
}

void BM_Channel1RelayThroughProxy(benchmark::State& state) {
    Impairment faults;
    faults.delayMs = static_cast<uint32_t>(state.range(0));
    faults.lossPercent = static_cast<double>(state.range(1)) / 10.0;
    const uint64_t bytes = static_cast<uint64_t>(state.range(2)) << 20;

    ImpairedRelay relay;
    std::string failed = relay.Start(faults, faults, 99);
    if (!failed.empty()) {
        state.SkipWithError(failed.c_str());
        return;
    }
    const bool viaProxy = state.range(3) != 0;
    setenv("ZEVO_P2P_SERVER", (viaProxy ? relay.ViewerServer() : relay.DirectServer()).c_str(), 1);
    setenv("ZEVO_P2P_INSECURE_TRANSPORT", "1", 1);  // the relay path alone, unsealed
    PPPP_Initialize(relay.InitString().c_str());
    int32_t s = PPPP_Connect(relay.Did().c_str(), 0, 0);
    SessionInfo info{};
    if (s < 0 || PPPP_Check(s, &info) != PPPP_OK || info.mode != PPPP_MODE_RELAY) {
        state.SkipWithError("no relay session");
    } else {
        std::vector<uint8_t> buffer(256 * 1024);
        double rcvbufBefore = UdpReceiveBufferErrors();
        for (auto _ : state) {
            if (!ReadStream(s, bytes, buffer)) {
                state.SkipWithError("stream broken");
                break;
            }
        }
        state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes));
        auto stats = relay.RelayStats();
        state.counters["lost_dgrams"] =
            static_cast<double>(stats.toClient.lost + stats.toUpstream.lost);
        state.counters["kernel_drops"] = UdpReceiveBufferErrors() - rcvbufBefore;
        state.counters["queue_drops"] =
            static_cast<double>(stats.toClient.overflow + stats.toUpstream.overflow +
                                stats.toClient.sendFailed + stats.toUpstream.sendFailed);
        state.counters["fwd_dgrams"] =
            static_cast<double>(stats.toClient.forwarded + stats.toUpstream.forwarded);
    }
    if (s >= 0) PPPP_Close(s);
    PPPP_DeInitialize();
    unsetenv("ZEVO_P2P_SERVER");
    unsetenv("ZEVO_P2P_INSECURE_TRANSPORT");
}

// Baselines first: the relay reached directly, and the same path through the proxies
// with no fault at all.
BENCHMARK(BM_Channel1RelayThroughProxy)
    ->ArgNames({"delay_ms", "loss_permille", "MiB", "proxy"})
    ->Args({0, 0, 64, 0})
    ->Args({0, 0, 64, 1})
    ->Iterations(3)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Channel1RelayThroughProxy)
    ->ArgNames({"delay_ms", "loss_permille", "MiB", "proxy"})
    ->Args({50, 0, 8, 1})
    ->Args({0, 10, 8, 1})
    ->Args({50, 10, 8, 1})
    ->Iterations(2)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    // The lab moves this thread between namespaces; check before anything runs.
    std::string reason = zevo::testing::NetnsUnavailableReason();
    if (!reason.empty()) {
        std::fprintf(stderr, "bench_netfault: nothing measured: %s\n", reason.c_str());
        return 0;
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
