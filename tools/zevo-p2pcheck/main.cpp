// zevo-p2pcheck: resolves a DID through zevo-p2pd, opens a session and reports how it runs
// (mode, peer, own public address) and, against a peer that speaks the diagnostic
// protocol (zevo-p2pcheck --serve), the round trip and the throughput.
#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "p2p/PPPP_API.h"
#include "p2p/crypto.h"
#include "p2p/diag_device.h"
#include "p2p/init_string.h"
#include "p2p/p2pd/service.h"
#include "p2p/placement.h"
#include "p2p/wire.h"
#include "platform/command_line.h"

namespace {

std::string Address(const unsigned char* bytes) {
    sockaddr_in a;
    std::memcpy(&a, bytes, sizeof a);
    char text[INET_ADDRSTRLEN] = "?";
    inet_ntop(AF_INET, &a.sin_addr, text, sizeof text);
    return std::string(text) + ":" + std::to_string(ntohs(a.sin_port));
}

bool ReadAll(int32_t s, unsigned char channel, char* buffer, int32_t size, int32_t timeoutMs) {
    int32_t got = 0;
    while (got < size) {
        int32_t n = size - got;
        int32_t r = PPPP_Read(s, channel, buffer + got, &n, timeoutMs);
        got += n;
        if (r != PPPP_OK) return got == size;
    }
    return true;
}

// Asks each service for its counters (STATS_REQUEST; services answer on their own host
// only) and prints its load; false when one stayed silent.
bool PrintLoad(const std::vector<zevo::p2p::Endpoint>& services) {
    namespace p2p = zevo::p2p;
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    bool all = true;
    for (const p2p::Endpoint& e : services) {
        p2p::Message m;
        m.type = p2p::MsgType::kStatsRequest;
        m.nonce = p2p::RandomU64();
        uint8_t out[p2p::kMaxDatagram];
        size_t n = p2p::EncodeMessage(m, out, sizeof out);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(e.ip);
        a.sin_port = htons(e.port);
        bool answered = false;
        for (int attempt = 0; attempt < 3 && !answered; ++attempt) {
            (void)sendto(fd, out, n, 0, reinterpret_cast<sockaddr*>(&a), sizeof a);
            pollfd p{fd, POLLIN, 0};
            while (!answered && poll(&p, 1, 500) > 0) {
                uint8_t in[p2p::kMaxDatagram];
                ssize_t got = recv(fd, in, sizeof in, 0);
                p2p::Message r;
                if (got > 0 && p2p::DecodeMessage(in, size_t(got), &r) &&
                    r.type == p2p::MsgType::kStatsReply && r.nonce == m.nonce) {
                    std::printf("%s %s\n", p2p::FormatEndpoint(e).c_str(),
                                p2p::FormatLoad(r.stats, r.statCount).c_str());
                    answered = true;
                }
            }
        }
        if (!answered) std::printf("%s no answer\n", p2p::FormatEndpoint(e).c_str());
        all = all && answered;
    }
    close(fd);
    return all;
}

std::atomic<bool> gStop{false};
void OnSignal(int) {
    gStop = true;
}

}  // namespace

int main(int argc, char** argv) {
    std::string did, servers, init, secret;
    bool relay = false, serve = false, infoOnly = false, load = false, placement = false,
         insecure = false;
    uint32_t port = 0;
    uint64_t bytes = 64ull << 20;
    int pings = 200;
    std::string serveDid;
    CLI::App app{
        "Checks a P2P session to a device, or serves the diagnostic protocol as a device.\n"
        "  zevo-p2pcheck [options] DID\n"
        "  zevo-p2pcheck [options] --serve DID --secret HEX",
        "zevo-p2pcheck"};
    zevo::StandardFlags(app, "zevo-p2pcheck", ZEVO_VERSION);
    app.add_option("DID", did, "Device to check");
    app.add_option("--server", servers,
                   "Rendezvous service (default: the built-in string, or ZEVO_P2P_SERVER)")
        ->type_name("HOST:PORT[,...]");
    app.add_option("--init-string", init, "Initialisation string instead of --server")
        ->type_name("LETTERS");
    app.add_flag("--relay", relay, "Go through the relay at once (PPPP_Connect tryDirect 0)");
    app.add_option("--port", port, "Local UDP port (default any)")
        ->check(CLI::Range(0, 65535))
        ->type_name("N");
    app.add_option("--bytes", bytes, "Bytes to stream on channel 1 (default 67108864, 0 skips)")
        ->type_name("N");
    app.add_option("--pings", pings, "36-byte round trips on channel 0 (default 200, 0 skips)")
        ->check(zevo::NotNegative())
        ->type_name("N");
    app.add_flag("--info-only", infoOnly, "Only connect and print the session information");
    app.add_option("--serve", serveDid, "Serve the diagnostic protocol as device DID")
        ->type_name("DID");
    app.add_option("--secret", secret, "The served device's secret")->type_name("HEX");
    app.add_flag("--load", load,
                 "Print each service's load (devices, sessions, relays, datagrams/s, drops); "
                 "services answer on their own host only");
    app.add_flag("--placement", placement, "Print the services that hold DID, best first");
    app.add_flag("--insecure-transport", insecure,
                 "Connect unsealed when no service key is trusted; as a device, also serve "
                 "viewers that run unsealed (ZEVO_P2P_INSECURE_TRANSPORT=1)");
    if (auto code = zevo::ParseCommandLine(app, "zevo-p2pcheck", argc, argv)) return *code;
    if (!serveDid.empty()) {
        if (!did.empty()) {
            std::fprintf(stderr, "zevo-p2pcheck: give the DID once, with --serve (see --help)\n");
            return 2;
        }
        serve = true;
        did = serveDid;
    }
    if (did.empty() && !load) {
        std::fprintf(stderr, "zevo-p2pcheck: a DID is required (see --help)\n");
        return 2;
    }
    if (!servers.empty()) {
        std::vector<zevo::p2p::Endpoint> list;
        if (!zevo::p2p::ParseEndpointList(servers, &list, zevo::p2p::kInitStringMaxEndpoints)) {
            std::fprintf(stderr, "zevo-p2pcheck: bad --server '%s'\n", servers.c_str());
            return 2;
        }
        init = zevo::p2p::EncodeInitString(list);
    }
    if (init.empty()) init = zevo::p2p::kP2pInitString;
    if (load || placement) {
        // The same list the library would use: the string, or ZEVO_P2P_SERVER over it.
        std::vector<zevo::p2p::Endpoint> list;
        const char* over = std::getenv("ZEVO_P2P_SERVER");
        bool ok =
            servers.empty() && over != nullptr && *over != '\0'
                ? zevo::p2p::ParseEndpointList(over, &list, zevo::p2p::kInitStringMaxEndpoints)
                : zevo::p2p::DecodeInitString(init.c_str(), init.size(), &list);
        if (!ok) {
            std::fprintf(stderr, "zevo-p2pcheck: bad service list\n");
            return 2;
        }
        if (placement) {
            if (!zevo::p2p::IsValidDid(did.c_str())) {
                std::fprintf(stderr, "zevo-p2pcheck: '%s' is not a valid DID\n", did.c_str());
                return 2;
            }
            for (const auto& e : zevo::p2p::PlaceDid(did.c_str(), list))
                std::printf("%s\n", zevo::p2p::FormatEndpoint(e).c_str());
        }
        if (load && !PrintLoad(list)) return 1;
        return 0;
    }
    if (insecure) setenv("ZEVO_P2P_INSECURE_TRANSPORT", "1", 1);
    int32_t r = PPPP_Initialize(init.c_str());
    if (r < 0) {
        std::printf("PPPP_Initialize failed: %d\n", r);
        return 1;
    }

    if (serve) {
        int32_t device = PPPP_DeviceStart(did.c_str(), secret.c_str());
        if (device < 0) {
            std::printf("PPPP_DeviceStart %s failed: %d\n", did.c_str(), device);
            PPPP_DeInitialize();
            return 1;
        }
        std::printf("serving %s; Ctrl-C stops\n", did.c_str());
        std::fflush(stdout);
        std::signal(SIGINT, OnSignal);
        std::signal(SIGTERM, OnSignal);
        zevo::p2pdiag::ServeDevice(device, gStop);
        PPPP_DeInitialize();
        return 0;
    }

    auto start = std::chrono::steady_clock::now();
    int32_t s = PPPP_Connect(did.c_str(), relay ? 0 : 1, port);
    double connectMs =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    if (s < 0) {
        std::printf("PPPP_Connect %s failed: %d (after %.0f ms)\n", did.c_str(), s, connectMs);
        PPPP_DeInitialize();
        return 1;
    }
    SessionInfo info{};
    r = PPPP_Check(s, &info);
    if (r != 0) {
        std::printf("PPPP_Check failed: %d\n", r);
        PPPP_DeInitialize();
        return 1;
    }
    std::printf("session    %d to %s in %.0f ms\n", s, info.did, connectMs);
    std::printf("mode       %s\n", info.mode == PPPP_MODE_DIRECT ? "P2P (direct)" : "RLY (relay)");
    std::printf("remote     %s\n", Address(info.remote).c_str());
    std::printf("local      %s\n", Address(info.local).c_str());
    std::printf("public     %s\n", Address(info.publicAddr).c_str());
    SessionSecurity security{};
    const bool sealed = PPPP_Check_Security(s, &security) == PPPP_OK && security.sealed;
    std::printf("security   %s\n",
                sealed ? "sealed (device key vouched for by a trusted service key)" : "UNSEALED");
    std::fflush(stdout);
    int status = 0;
    if (!infoOnly && pings > 0) {
        std::vector<double> samples;
        char packet[36] = "zevo-p2pcheck", echo[36];
        for (int i = 0; i < pings; ++i) {
            auto t = std::chrono::steady_clock::now();
            if (PPPP_Write(s, 0, packet, 36) != 36 || !ReadAll(s, 0, echo, 36, 2000)) break;
            samples.push_back(
                std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - t)
                    .count());
        }
        if (samples.empty()) {
            std::printf(
                "round trip no echo on channel 0 (peer without the diagnostic protocol?)\n");
            status = 1;
        } else {
            std::sort(samples.begin(), samples.end());
            std::printf("round trip median %.0f us, p99 %.0f us (%zu x 36 bytes)\n",
                        samples[samples.size() / 2], samples[samples.size() * 99 / 100],
                        samples.size());
        }
    }
    if (!infoOnly && bytes > 0 && status == 0) {
        unsigned char order[9] = {'S'};
        for (int i = 0; i < 8; ++i) order[1 + i] = uint8_t(bytes >> (8 * i));
        auto t = std::chrono::steady_clock::now();
        PPPP_Write(s, 2, reinterpret_cast<char*>(order), 9);
        std::vector<uint8_t> buffer(64 * 1024);
        uint64_t got = 0;
        bool intact = true;
        while (got < bytes) {
            int32_t n = int32_t(std::min<uint64_t>(buffer.size(), bytes - got));
            r = PPPP_Read(s, 1, reinterpret_cast<char*>(buffer.data()), &n, 5000);
            intact =
                intact && zevo::p2pdiag::CheckPattern(got, buffer.data(), size_t(n)) == size_t(n);
            got += uint64_t(n);
            if (r != PPPP_OK) break;
        }
        double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - t).count();
        std::printf("throughput %.3f Gbit/s channel 1, %llu of %llu bytes, %s\n",
                    double(got) * 8 / seconds / 1e9, static_cast<unsigned long long>(got),
                    static_cast<unsigned long long>(bytes), intact ? "intact" : "CORRUPTED");
        if (got != bytes || !intact) status = 1;
    }
    PPPP_Close(s);
    PPPP_DeInitialize();
    return status;
}
