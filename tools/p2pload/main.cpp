// zevo-p2pload: loads zevo-p2pd services with simulated devices and viewers from one
// process and prints what they achieved, beside a bare UDP echo loop measured in the same
// run.
#include <cstdio>
#include <string>
#include <vector>

#include "p2p/init_string.h"
#include "platform/command_line.h"
#include "tools/p2pload/load.h"

namespace {

void Print(const char* what, const zevo::p2pload::Figures& f, double baseline) {
    std::printf("%-8s %10.0f /s  p50 %6.0f us  p99 %6.0f us  lost %llu", what, f.perSecond, f.p50us,
                f.p99us, static_cast<unsigned long long>(f.lost));
    if (baseline > 0) std::printf("  %.2f x echo", f.perSecond / baseline);
    std::printf("\n");
}

}  // namespace

int main(int argc, char** argv) {
    std::string servers = "127.0.0.1:32100", key;
    size_t devices = 10000, sockets = 64, replicas = 0, window = 256, relaySessions = 0,
           payload = 200;
    uint64_t keepaliveMs = 2000, holdSeconds = 10, lookupSeconds = 0, relaySeconds = 5;
    bool echo = false;
    CLI::App app{"Loads zevo-p2pd with simulated devices and viewers (real UDP datagrams).",
                 "zevo-p2pload"};
    zevo::StandardFlags(app, "zevo-p2pload", ZEVO_VERSION);
    app.add_option("--server", servers, "Services, as the devices' list (default 127.0.0.1:32100)")
        ->type_name("HOST:PORT[,...]");
    app.add_option("--key", key, "The services' key (device secrets derive from it)")
        ->required()
        ->type_name("KEY");
    app.add_option("--devices", devices, "Devices to register (10000)")->type_name("N");
    app.add_option("--sockets", sockets, "Device sockets the devices share (64)")->type_name("N");
    app.add_option("--replicas", replicas, "Services per device, 0 the default placement (0)")
        ->type_name("N");
    app.add_option("--keepalive-ms", keepaliveMs, "Keepalive interval (2000)")->type_name("MS");
    app.add_option("--hold-seconds", holdSeconds, "Keep the devices alive this long, 0 skips (10)")
        ->type_name("S");
    app.add_option("--lookup-seconds", lookupSeconds, "Look devices up this long (0: skip)")
        ->type_name("S");
    app.add_option("--window", window, "Requests in flight for lookups and relay (256)")
        ->type_name("N");
    app.add_option("--relay-sessions", relaySessions, "Relayed sessions to drive (0: skip)")
        ->type_name("N");
    app.add_option("--relay-seconds", relaySeconds, "Drive the relays this long (5)")
        ->type_name("S");
    app.add_option("--payload", payload, "Relayed and echoed datagram size (200)")
        ->type_name("BYTES");
    app.add_flag("--echo", echo, "Measure the bare UDP echo loop first, the baseline");
    if (auto code = zevo::ParseCommandLine(app, "zevo-p2pload", argc, argv)) return *code;
    std::vector<zevo::p2p::Endpoint> list;
    if (!zevo::p2p::ParseEndpointList(servers, &list, zevo::p2p::kInitStringMaxEndpoints)) {
        std::fprintf(stderr, "zevo-p2pload: bad --server '%s'\n", servers.c_str());
        return 2;
    }
    double baseline = 0;
    if (echo) {
        auto f = zevo::p2pload::EchoBaseline(window, payload, 3000);
        Print("echo", f, 0);
        baseline = f.perSecond;
    }
    zevo::p2pload::Fleet fleet(list, key, replicas, sockets);
    size_t made = fleet.Register(devices, keepaliveMs);
    std::printf("registered %zu of %zu devices x services\n", made,
                devices * (replicas ? replicas : (list.size() >= 2 ? 2 : 1)));
    if (holdSeconds > 0) {
        auto h = fleet.Hold(keepaliveMs, holdSeconds * 1000);
        std::printf("hold     %llu keepalives in %.0f s (%.0f /s), %.4f answered, %llu forgotten\n",
                    static_cast<unsigned long long>(h.sent), h.seconds, double(h.sent) / h.seconds,
                    h.sent ? double(h.acked) / double(h.sent) : 0.0,
                    static_cast<unsigned long long>(h.forgotten));
    }
    if (lookupSeconds > 0) Print("lookup", fleet.Lookups(window, lookupSeconds * 1000), baseline);
    if (relaySessions > 0) {
        auto f = fleet.Relay(relaySessions, window, payload, relaySeconds * 1000);
        Print("relay", f, baseline);
        std::printf("relay    %.0f datagrams forwarded /s (two per round trip)\n", 2 * f.perSecond);
    }
    return made > 0 ? 0 : 1;
}
