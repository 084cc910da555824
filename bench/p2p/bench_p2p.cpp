// Run: build/default/bench/p2p/bench_p2p
// Every figure sits beside the TCP loopback stream measured in the same run; channel-1
// throughput also beside a bare ENet pair (vs_enet), the ceiling the transport builds on.
// Sealed sessions sit beside the plain ones of the same run (vs_plain), by wall clock and by
// the CPU the viewer, the service and the device spent per GB (cpu_vs_plain).
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <enet/enet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "bench/process_usage.h"
#include "p2p/PPPP_API.h"
#include "p2p/crypto.h"
#include "p2p/p2pd/service.h"
#include "p2p/secure/key_files.h"
#include "p2p/wire.h"
#include "tests/p2p/harness.h"

using namespace zevo::p2ptest;
namespace p2p = zevo::p2p;

namespace {

using zevo::bench::CpuSeconds;
using zevo::bench::RssKb;

constexpr int64_t kStreamBytes = 256ll * 1024 * 1024;
double gTcpGbps = 0;
double gEnetGbps = 0;

// ---- baseline: one TCP stream over loopback, same buffer size as the P2P reads.
void BM_TcpLoopback(benchmark::State& state) {
    int listener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t len = sizeof a;
    getsockname(listener, reinterpret_cast<sockaddr*>(&a), &len);
    listen(listener, 1);
    int client = socket(AF_INET, SOCK_STREAM, 0);
    connect(client, reinterpret_cast<sockaddr*>(&a), sizeof a);
    int server = accept(listener, nullptr, nullptr);
    std::vector<char> buffer(64 * 1024);
    double seconds = 0;
    for (auto _ : state) {
        auto start = std::chrono::steady_clock::now();
        std::thread sender([&] {
            std::vector<char> out(64 * 1024, 'x');
            int64_t sent = 0;
            while (sent < kStreamBytes) {
                ssize_t n = send(server, out.data(), out.size(), 0);
                if (n <= 0) return;
                sent += n;
            }
        });
        int64_t got = 0;
        while (got < kStreamBytes) {
            ssize_t n = recv(client, buffer.data(), buffer.size(), 0);
            if (n <= 0) break;
            got += n;
        }
        sender.join();
        seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    }
    close(client);
    close(server);
    close(listener);
    state.SetBytesProcessed(state.iterations() * kStreamBytes);
    gTcpGbps = double(state.iterations()) * kStreamBytes * 8 / seconds / 1e9;
    state.counters["Gbit/s"] = gTcpGbps;
}

// ---- ceiling: two bare ENet hosts in this process, one thread each, moving the same
// stream as reliable 64 KiB packets on one channel with the transport's datagram size,
// ENet window and 4 MiB credit window. What the transport adds shows against this.
void BM_EnetPair(benchmark::State& state) {
    ENetAddress any{};
    any.host = ENET_HOST_ANY;
    ENetHost* rx = enet_host_create(&any, 1, 2, 0, 0);
    ENetHost* tx = enet_host_create(nullptr, 1, 2, 0, 0);
    if (enet_initialize() != 0 || rx == nullptr || tx == nullptr) {
        state.SkipWithError("no ENet hosts");
        return;
    }
    for (ENetHost* h : {rx, tx}) {
        enet_socket_set_option(h->socket, ENET_SOCKOPT_RCVBUF, 4 * 1024 * 1024);
        enet_socket_set_option(h->socket, ENET_SOCKOPT_SNDBUF, 4 * 1024 * 1024);
        h->mtu = ENET_PROTOCOL_MAXIMUM_MTU;
        for (size_t i = 0; i < h->peerCount; ++i) h->peers[i].mtu = h->mtu;
    }
    ENetAddress to{};
    enet_socket_get_address(rx->socket, &to);
    enet_address_set_host(&to, "127.0.0.1");
    constexpr int64_t kCredit = 4 * 1024 * 1024;
    std::atomic<bool> stop{false};
    std::thread receiver([&] {
        ENetEvent ev;
        int64_t got = 0, reported = 0;
        while (!stop.load()) {
            if (enet_host_service(rx, &ev, 1) <= 0 || ev.type != ENET_EVENT_TYPE_RECEIVE) continue;
            got += int64_t(ev.packet->dataLength);
            enet_packet_destroy(ev.packet);
            if (got - reported >= kCredit / 4) {
                reported = got;
                enet_peer_send(ev.peer, 1,
                               enet_packet_create(&got, sizeof got, ENET_PACKET_FLAG_RELIABLE));
                enet_host_flush(rx);
            }
        }
    });
    ENetPeer* peer = enet_host_connect(tx, &to, 2, 0);
    ENetEvent ev;
    bool connected = false;
    for (int i = 0; i < 50 && !connected; ++i)
        connected = enet_host_service(tx, &ev, 100) > 0 && ev.type == ENET_EVENT_TYPE_CONNECT;
    if (connected) peer->windowSize = 2 * 1024 * 1024;
    std::vector<char> out(64 * 1024, 'x');
    int64_t sent = 0, acked = 0;
    double seconds = 0;
    for (auto _ : state) {
        if (!connected) break;
        auto start = std::chrono::steady_clock::now();
        const int64_t target = sent + kStreamBytes;
        while (acked < target) {
            while (sent < target && sent - acked < kCredit) {
                enet_peer_send(
                    peer, 0, enet_packet_create(out.data(), out.size(), ENET_PACKET_FLAG_RELIABLE));
                sent += int64_t(out.size());
            }
            int r = enet_host_service(tx, &ev, 1);
            while (r > 0) {
                if (ev.type == ENET_EVENT_TYPE_RECEIVE) {
                    std::memcpy(&acked, ev.packet->data, sizeof acked);
                    enet_packet_destroy(ev.packet);
                }
                r = enet_host_check_events(tx, &ev);
            }
        }
        seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    }
    stop = true;
    receiver.join();
    enet_host_destroy(tx);
    enet_host_destroy(rx);
    if (!connected) {
        state.SkipWithError("ENet pair did not connect");
        return;
    }
    state.SetBytesProcessed(state.iterations() * kStreamBytes);
    gEnetGbps = double(state.iterations()) * kStreamBytes * 8 / seconds / 1e9;
    state.counters["Gbit/s"] = gEnetGbps;
    if (gTcpGbps > 0) state.counters["vs_tcp"] = gEnetGbps / gTcpGbps;
}

// Sealed sessions: the service vouches with a fresh key the viewer pins.
struct Rig {
    DeploymentKeys keys;
    ServiceProcess service;
    DeviceProcess device;
    int32_t session = -1;
    bool sealed = false;
    bool Start(std::vector<std::string> args, char tryDirect, bool seal = false) {
        args.push_back(seal ? "--signing-key-file" : "--insecure-transport");
        if (seal) args.push_back(keys.SeedPath());
        if (!service.Start(args)) return false;
        const std::string did = "BNCH-000001-STRMA";
        unsetenv("ZEVO_P2P_SERVICE_KEYS");
        if (device.Start(service.InitString(), did, SecretFor(did)) != 0) return false;
        // The plain baseline runs unsealed on purpose, with the migration switch.
        setenv(seal ? "ZEVO_P2P_SERVICE_KEYS" : "ZEVO_P2P_INSECURE_TRANSPORT",
               seal ? keys.PinsPath().c_str() : "1", 1);
        int init = PPPP_Initialize(service.InitString().c_str());
        unsetenv("ZEVO_P2P_SERVICE_KEYS");
        unsetenv("ZEVO_P2P_INSECURE_TRANSPORT");
        if (init != 0) return false;
        session = PPPP_Connect(did.c_str(), tryDirect, 0);
        SessionSecurity security{};
        sealed = session >= 0 && PPPP_Check_Security(session, &security) == 0 && security.sealed;
        return session >= 0 && sealed == seal;
    }
    ~Rig() {
        if (session >= 0) PPPP_Close(session);
        PPPP_DeInitialize();
    }
};

// Plain results of this run, the baselines of the sealed ones.
double gPlainGbps[2] = {0, 0};  // direct, relay (unlimited)
double gPlainCpu[2] = {0, 0};   // CPU seconds per GB of the three processes
double gPlainRttUs = 0;

bool Order(int32_t session, char code, uint64_t value) {
    unsigned char order[9] = {static_cast<unsigned char>(code)};
    for (int i = 0; i < 8; ++i) order[1 + i] = uint8_t(value >> (8 * i));
    return PPPP_Write(session, 2, reinterpret_cast<char*>(order), 9) == 9;
}

void Throughput(benchmark::State& state, const std::vector<std::string>& args, bool seal = false,
                int baseline = -1) {
    Rig rig;
    if (!rig.Start(args, 1, seal)) {
        state.SkipWithError("could not open a session");
        return;
    }
    SessionInfo info{};
    PPPP_Check(rig.session, &info);
    std::vector<char> buffer(64 * 1024);
    double seconds = 0;
    // CPU of the viewer (this process), the relay or service and the device together: on a
    // busy machine it tells more than the wall clock what a byte costs.
    auto cpu = [&] {
        return CpuSeconds(0) + CpuSeconds(rig.service.Pid()) + CpuSeconds(rig.device.Pid());
    };
    const double cpuBefore = cpu();
    for (auto _ : state) {
        auto start = std::chrono::steady_clock::now();
        if (!Order(rig.session, 'S', kStreamBytes)) {
            state.SkipWithError("order failed");
            return;
        }
        int64_t got = 0;
        while (got < kStreamBytes) {
            int32_t n = int32_t(std::min<int64_t>(buffer.size(), kStreamBytes - got));
            int32_t r = PPPP_Read(rig.session, 1, buffer.data(), &n, 5000);
            got += n;
            if (r != PPPP_OK && r != PPPP_ERR_TIMEOUT) {
                state.SkipWithError("read failed");
                return;
            }
        }
        seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    }
    const double cpuPerGb = (cpu() - cpuBefore) / (double(state.iterations()) * kStreamBytes / 1e9);
    state.SetBytesProcessed(state.iterations() * kStreamBytes);
    double gbps = double(state.iterations()) * kStreamBytes * 8 / seconds / 1e9;
    state.counters["Gbit/s"] = gbps;
    state.counters["cpu_s/GB"] = cpuPerGb;
    state.counters["mode"] = info.mode;
    // Datagrams the relay dropped over its rate: the peers' pacing should keep this near 0.
    std::vector<uint64_t> stats = rig.service.Stats();
    if (info.mode == PPPP_MODE_RELAY && stats.size() > size_t(p2p::kStatRelayRateDrops))
        state.counters["rate_drops"] = double(stats[p2p::kStatRelayRateDrops]);
    if (gTcpGbps > 0) state.counters["vs_tcp"] = gbps / gTcpGbps;
    if (gEnetGbps > 0) state.counters["vs_enet"] = gbps / gEnetGbps;
    if (baseline >= 0 && !seal) {
        gPlainGbps[baseline] = gbps;
        gPlainCpu[baseline] = cpuPerGb;
    }
    if (baseline >= 0 && seal && gPlainGbps[baseline] > 0) {
        state.counters["vs_plain"] = gbps / gPlainGbps[baseline];
        state.counters["cpu_vs_plain"] = cpuPerGb / gPlainCpu[baseline];
    }
}

void BM_Channel1Direct(benchmark::State& state) {
    Throughput(state, {"--relay-rate", "0"}, false, 0);
}
void BM_Channel1DirectSealed(benchmark::State& state) {
    Throughput(state, {"--relay-rate", "0"}, true, 0);
}
// The relay at its default per-session rate, as deployed: the peers pace below it.
void BM_Channel1Relay(benchmark::State& state) {
    Throughput(state, {"--force-relay"});
}
void BM_Channel1RelayUnlimited(benchmark::State& state) {
    Throughput(state, {"--force-relay", "--relay-rate", "0"}, false, 1);
}
void BM_Channel1RelayUnlimitedSealed(benchmark::State& state) {
    Throughput(state, {"--force-relay", "--relay-rate", "0"}, true, 1);
}

// ---- channel 0: a 36-byte packet out and its echo back.
void RoundTrip(benchmark::State& state, bool seal) {
    Rig rig;
    if (!rig.Start({}, 1, seal)) {
        state.SkipWithError("could not open a session");
        return;
    }
    std::vector<double> samples;
    char packet[36] = {}, echo[36];
    for (auto _ : state) {
        auto start = std::chrono::steady_clock::now();
        PPPP_Write(rig.session, 0, packet, sizeof packet);
        int32_t got = 0;
        while (got < 36) {
            int32_t n = 36 - got;
            PPPP_Read(rig.session, 0, echo + got, &n, 1000);
            got += n;
        }
        samples.push_back(
            std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start)
                .count());
    }
    std::sort(samples.begin(), samples.end());
    if (!samples.empty()) {
        state.counters["median_us"] = samples[samples.size() / 2];
        state.counters["p99_us"] = samples[samples.size() * 99 / 100];
        double median = samples[samples.size() / 2];
        if (!seal) gPlainRttUs = median;
        if (seal && gPlainRttUs > 0) state.counters["vs_plain"] = median / gPlainRttUs;
    }
}
void BM_Channel0RoundTrip(benchmark::State& state) {
    RoundTrip(state, false);
}
void BM_Channel0RoundTripSealed(benchmark::State& state) {
    RoundTrip(state, true);
}

struct RawClient {
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in service{};
    explicit RawClient(uint16_t port) {
        service.sin_family = AF_INET;
        service.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        service.sin_port = htons(port);
        sockaddr_in any{};
        any.sin_family = AF_INET;
        bind(fd, reinterpret_cast<sockaddr*>(&any), sizeof any);
    }
    ~RawClient() { close(fd); }
    bool Ask(const p2p::Message& m, p2p::MsgType want, p2p::Message* reply) {
        uint8_t buffer[p2p::kMaxDatagram];
        size_t n = p2p::EncodeMessage(m, buffer, sizeof buffer);
        for (int attempt = 0; attempt < 5; ++attempt) {
            sendto(fd, buffer, n, 0, reinterpret_cast<sockaddr*>(&service), sizeof service);
            pollfd p{fd, POLLIN, 0};
            while (poll(&p, 1, 200) > 0) {
                uint8_t in[p2p::kMaxDatagram];
                ssize_t got = recv(fd, in, sizeof in, 0);
                if (got > 0 && p2p::DecodeMessage(in, size_t(got), reply) && reply->type == want)
                    return true;
            }
        }
        return false;
    }
    bool Register(const std::string& did) {
        p2p::Message hello, challenge, result;
        hello.type = p2p::MsgType::kHello;
        std::strcpy(hello.did, did.c_str());
        if (!Ask(hello, p2p::MsgType::kChallenge, &challenge)) return false;
        p2p::Message reg;
        reg.type = p2p::MsgType::kRegister;
        std::strcpy(reg.did, did.c_str());
        std::memcpy(reg.challenge, challenge.challenge, sizeof reg.challenge);
        uint8_t secret[p2p::kSecretSize];
        p2p::DeviceSecret(kTestKey, did.c_str(), secret);
        p2p::RegistrationProof(secret, reg.challenge, did.c_str(), reg.proof);
        return Ask(reg, p2p::MsgType::kRegisterResult, &result) && result.status == 0;
    }
};

void BM_ServiceMemoryPerDevice(benchmark::State& state) {
    const int n = int(state.range(0));
    for (auto _ : state) {
        ServiceProcess service;
        service.Start({"--max-devices-per-address", "1000000", "--device-expiry-ms", "600000",
                       "--insecure-transport"});
        RawClient warm(service.Port());
        warm.Register("WARM-000000-UPUPA");  // touch the code paths first
        long before = RssKb(service.Pid());
        int ok = 0;
        for (int i = 0; i < n; ++i) {
            RawClient device(service.Port());
            ok += device.Register("MEMO-" + std::to_string(100000 + i) + "-DEVIC");
        }
        long after = RssKb(service.Pid());
        state.counters["devices"] = ok;
        state.counters["bytes_per_device"] = double(after - before) * 1024 / std::max(ok, 1);
        state.counters["rss_kb"] = double(after);
    }
}

void BM_ServiceMemoryPerRelay(benchmark::State& state) {
    const int n = int(state.range(0));
    for (auto _ : state) {
        ServiceProcess service;
        service.Start({"--insecure-transport", "--max-sessions", "100000",
                       "--max-sessions-per-address", "100000", "--max-pending", "100000",
                       "--join-timeout-ms", "60000"});
        RawClient device(service.Port());
        device.Register("RLAY-000000-HOSTS");
        RawClient viewer(service.Port());
        p2p::Message lookup, status;
        lookup.type = p2p::MsgType::kLookup;
        std::strcpy(lookup.did, "RLAY-000000-HOSTS");
        lookup.flags = 0;
        lookup.nonce = 1;
        viewer.Ask(lookup, p2p::MsgType::kLookupStatus, &status);
        long before = RssKb(service.Pid());
        int ok = 0;
        for (int i = 0; i < n; ++i) {
            lookup.nonce = 100 + uint64_t(i);
            ok += viewer.Ask(lookup, p2p::MsgType::kLookupStatus, &status) && status.status == 6;
        }
        long after = RssKb(service.Pid());
        std::vector<uint64_t> stats = service.Stats();
        state.counters["sessions"] = ok;
        state.counters["relays_open"] = stats.size() > 16 ? double(stats[16]) : -1;
        state.counters["bytes_per_relay"] = double(after - before) * 1024 / std::max(ok, 1);
    }
}

}  // namespace

BENCHMARK(BM_TcpLoopback)->Unit(benchmark::kMillisecond)->MinTime(2.0)->UseRealTime();
BENCHMARK(BM_EnetPair)->Unit(benchmark::kMillisecond)->MinTime(2.0)->UseRealTime();
BENCHMARK(BM_Channel1Direct)->Unit(benchmark::kMillisecond)->MinTime(2.0)->UseRealTime();
BENCHMARK(BM_Channel1DirectSealed)->Unit(benchmark::kMillisecond)->MinTime(2.0)->UseRealTime();
BENCHMARK(BM_Channel1Relay)->Unit(benchmark::kMillisecond)->MinTime(2.0)->UseRealTime();
BENCHMARK(BM_Channel1RelayUnlimited)->Unit(benchmark::kMillisecond)->MinTime(2.0)->UseRealTime();
BENCHMARK(BM_Channel1RelayUnlimitedSealed)
    ->Unit(benchmark::kMillisecond)
    ->MinTime(2.0)
    ->UseRealTime();
BENCHMARK(BM_Channel0RoundTrip)->Unit(benchmark::kMicrosecond)->Iterations(2000)->UseRealTime();
BENCHMARK(BM_Channel0RoundTripSealed)
    ->Unit(benchmark::kMicrosecond)
    ->Iterations(2000)
    ->UseRealTime();
BENCHMARK(BM_ServiceMemoryPerDevice)->Arg(2000)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ServiceMemoryPerRelay)->Arg(400)->Iterations(1)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
