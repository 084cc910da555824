// Run: build/default/bench/p2p/bench_secure
// Per cipher and datagram size, beside memcpy of the same datagram in the same run
// (vs_memcpy): sealing alone (one end's work per datagram sent) and sealing then opening
// (both ends' work). at_3gbps is the share of a 3 Gbit/s transport's speed left if its
// thread also sealed every datagram it sends, 1 / (1 + 3 / Gbit/s of sealing). The
// handshake (both ends, certificate check included) beside one X25519 in the same run.
// Gbps figures are per CPU second of the benchmark's thread.
#include <benchmark/benchmark.h>

#include <cstring>
#include <ctime>
#include <memory>
#include <vector>

#include "p2p/secure/channel.h"
#include "tests/p2p/secure/secure_fixture.h"

namespace secure = zevo::p2p::secure;

namespace {

double gMemcpyGbps[2] = {};  // by size: 1200, 4096
double gDhSeconds = 0;

int SizeIndex(size_t size) {
    return size == 1200 ? 0 : 1;
}

// This thread's CPU time: the build machines are shared, and a figure of cost must not
// count the time other programs held the core.
double CpuSeconds() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return double(t.tv_sec) + double(t.tv_nsec) * 1e-9;
}

void BM_Memcpy(benchmark::State& state) {
    const size_t size = size_t(state.range(0));
    std::vector<uint8_t> in(size, 0x5A), out(size + secure::kOverhead);
    const double start = CpuSeconds();
    for (auto _ : state) {
        std::memcpy(out.data() + secure::kDataHeaderSize, in.data(), size);
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    double gbps = double(state.iterations()) * double(size) * 8e-9 / (CpuSeconds() - start);
    gMemcpyGbps[SizeIndex(size)] = gbps;
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(size));
    state.counters["Gbps"] = gbps;
}

std::unique_ptr<secure::SecureChannel> Channel(uint8_t suite, bool viewerSide) {
    secure::test::Cast cast;
    auto h = secure::test::RunHandshake(cast, suite, suite);
    return std::make_unique<secure::SecureChannel>(viewerSide ? h.viewerKeys : h.deviceKeys, 0);
}

bool Runnable(benchmark::State& state, uint8_t suite) {
    if (suite == secure::kSuiteAesGcm && !(secure::LocalSuites() & secure::kSuiteAesGcm)) {
        state.SkipWithError("no AES-256-GCM on this CPU");
        return false;
    }
    state.SetLabel(suite == secure::kSuiteAesGcm ? "aes256gcm" : "chacha20poly1305");
    return true;
}

void BM_Seal(benchmark::State& state) {
    const uint8_t suite = uint8_t(state.range(0));
    const size_t size = size_t(state.range(1));
    if (!Runnable(state, suite)) return;
    auto viewer = Channel(suite, true);
    std::vector<uint8_t> plain(size, 0x5A), wire(size + secure::kOverhead);
    const double start = CpuSeconds();
    for (auto _ : state) {
        benchmark::DoNotOptimize(viewer->Seal(plain.data(), size, wire.data(), wire.size(), 0));
        benchmark::ClobberMemory();
    }
    double gbps = double(state.iterations()) * double(size) * 8e-9 / (CpuSeconds() - start);
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(size));
    state.counters["Gbps"] = gbps;
    state.counters["vs_memcpy"] = gbps / gMemcpyGbps[SizeIndex(size)];
    state.counters["at_3gbps"] = 1.0 / (1.0 + 3.0 / gbps);
}

void BM_SealOpen(benchmark::State& state) {
    const uint8_t suite = uint8_t(state.range(0));
    const size_t size = size_t(state.range(1));
    if (!Runnable(state, suite)) return;
    secure::test::Cast cast;
    auto h = secure::test::RunHandshake(cast, suite, suite);
    secure::SecureChannel viewer(h.viewerKeys, 0), device(h.deviceKeys, 0);
    std::vector<uint8_t> plain(size, 0x5A), wire(size + secure::kOverhead), out(size);
    size_t opened = 0;
    const double start = CpuSeconds();
    for (auto _ : state) {
        viewer.Seal(plain.data(), size, wire.data(), wire.size(), 0);
        if (device.Open(wire.data(), wire.size(), out.data(), out.size(), &opened, 0) !=
            secure::OpenResult::kOk) {
            state.SkipWithError("datagram did not open");
            break;
        }
        benchmark::DoNotOptimize(out.data());
    }
    double gbps = double(state.iterations()) * double(size) * 8e-9 / (CpuSeconds() - start);
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(size));
    state.counters["Gbps"] = gbps;
    state.counters["vs_memcpy"] = gbps / gMemcpyGbps[SizeIndex(size)];
}

void BM_Dh(benchmark::State& state) {
    secure::KeyPair a, b;
    a.Generate();
    b.Generate();
    uint8_t shared[secure::kDhSize];
    const double start = CpuSeconds();
    for (auto _ : state) benchmark::DoNotOptimize(secure::Dh(a, b.pub, shared));
    gDhSeconds = (CpuSeconds() - start) / double(state.iterations());
}

void BM_Handshake(benchmark::State& state) {
    secure::test::Cast cast;
    const double start = CpuSeconds();
    for (auto _ : state) {
        auto h = secure::test::RunHandshake(cast);
        if (h.viewer != secure::HandshakeResult::kOk) {
            state.SkipWithError("handshake failed");
            break;
        }
    }
    state.counters["vs_x25519"] = (CpuSeconds() - start) / double(state.iterations()) / gDhSeconds;
}

}  // namespace

BENCHMARK(BM_Memcpy)->Arg(1200)->Arg(4096);
BENCHMARK(BM_Seal)
    ->ArgNames({"suite", "size"})
    ->Args({secure::kSuiteChaChaPoly, 1200})
    ->Args({secure::kSuiteChaChaPoly, 4096})
    ->Args({secure::kSuiteAesGcm, 1200})
    ->Args({secure::kSuiteAesGcm, 4096});
BENCHMARK(BM_SealOpen)
    ->ArgNames({"suite", "size"})
    ->Args({secure::kSuiteChaChaPoly, 1200})
    ->Args({secure::kSuiteChaChaPoly, 4096})
    ->Args({secure::kSuiteAesGcm, 1200})
    ->Args({secure::kSuiteAesGcm, 4096});
BENCHMARK(BM_Dh)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Handshake)->Unit(benchmark::kMicrosecond);

BENCHMARK_MAIN();
