// zevo-udpproxy: a UDP impairment proxy for tests, benchmarks and manual trials.
#include <sys/time.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

#include "platform/command_line.h"
#include "tools/udpproxy/udp_proxy.h"

namespace {

zevo::tools::UdpProxy* gProxy = nullptr;

void OnSignal(int sig) {
    if (!gProxy) return;
    if (sig == SIGUSR1 || sig == SIGUSR2)
        gProxy->SetOutage(sig == SIGUSR1);
    else
        gProxy->RequestStop();
}

// Applies one impairment option (name without its up-/down- prefix) to imp.
bool SetImpairment(zevo::tools::Impairment& imp, const std::string& name, double v) {
    if (name == "delay")
        imp.delayMs = static_cast<uint32_t>(v);
    else if (name == "jitter")
        imp.jitterMs = static_cast<uint32_t>(v);
    else if (name == "loss" && v <= 100.0)
        imp.lossPercent = v;
    else if (name == "reorder" && v <= 100.0)
        imp.reorderPercent = v;
    else if (name == "reorder-gap")
        imp.reorderGapMs = static_cast<uint32_t>(v);
    else if (name == "rate")
        imp.rateKbit = static_cast<uint32_t>(v);
    else
        return false;
    return true;
}

void PrintDirection(const char* name, const zevo::tools::DirectionStats& s) {
    std::printf(
        "%s: received %llu forwarded %llu bytes %llu delayed %llu reordered %llu "
        "dropped %llu (loss %llu, queue full %llu, send failed %llu)\n",
        name, static_cast<unsigned long long>(s.received),
        static_cast<unsigned long long>(s.forwarded), static_cast<unsigned long long>(s.bytes),
        static_cast<unsigned long long>(s.delayed), static_cast<unsigned long long>(s.reordered),
        static_cast<unsigned long long>(s.lost + s.overflow + s.sendFailed),
        static_cast<unsigned long long>(s.lost), static_cast<unsigned long long>(s.overflow),
        static_cast<unsigned long long>(s.sendFailed));
}

}  // namespace

int main(int argc, char** argv) {
    zevo::tools::UdpProxyConfig config;
    std::string portFile;
    double duration = 0.0;

    CLI::App app{
        "Forwards UDP datagrams from every client to one upstream address and the replies\n"
        "back, with delay, jitter, loss, reordering and a rate limit per direction.",
        "zevo-udpproxy"};
    app.footer(
        "Prints the listening address on start and the counters on exit (SIGINT/SIGTERM).\n"
        "SIGUSR1 takes the link down (every datagram lost), SIGUSR2 brings it back.");
    zevo::StandardFlags(app, "zevo-udpproxy", ZEVO_VERSION);
    app.add_option("--listen", config.listen, "Local address (default 127.0.0.1:0, a free port)")
        ->type_name("HOST:PORT");
    app.add_option("--upstream", config.upstream, "Where client datagrams go (required)")
        ->type_name("HOST:PORT");
    // Each impairment for both directions, and with up-/down- for one.
    const struct {
        const char* name;
        const char* unit;
        const char* help;
    } impairments[] = {
        {"delay", "MS", "Fixed delay"},
        {"jitter", "MS", "Uniform jitter +-MS added to the delay (keeps order)"},
        {"loss", "PCT", "Random loss in percent"},
        {"reorder", "PCT", "Percent of datagrams held back so later ones overtake"},
        {"reorder-gap", "MS", "How far a reordered datagram is held back (default 10)"},
        {"rate", "KBIT", "Link rate in kbit/s (default unlimited)"},
    };
    for (const auto& imp : impairments) {
        const std::string name = imp.name;
        for (const auto& [prefix, scope] :
             {std::pair{"", ", both directions"}, std::pair{"up-", ", client->upstream only"},
              std::pair{"down-", ", upstream->client only"}}) {
            const std::string option = std::string("--") + prefix + name;
            const std::string which = prefix;
            app.add_option_function<double>(
                   option,
                   [&config, name, which, option](double v) {
                       bool ok = true;
                       if (which != "down-") ok = SetImpairment(config.toUpstream, name, v) && ok;
                       if (which != "up-") ok = SetImpairment(config.toClient, name, v) && ok;
                       if (!ok) throw CLI::ValidationError(option, "out of range");
                   },
                   std::string(imp.help) + scope)
                ->type_name(imp.unit)
                ->check(zevo::NotNegative())
                ->group(*prefix ? "One direction" : "Impairments");
        }
    }
    app.add_option("--seed", config.seed, "Random seed (default 1): same seed, same decisions")
        ->type_name("N");
    app.add_option("--max-clients", config.maxClients,
                   "Client slots, one upstream socket each (default 64)")
        ->type_name("N");
    app.add_option("--max-queue-bytes", config.maxQueuedBytes,
                   "Bound on queued datagram memory (default 33554432)")
        ->type_name("N");
    app.add_option("--client-idle", config.clientIdleMs,
                   "Idle time after which a slot may be reused (default 120000)")
        ->type_name("MS");
    app.add_option("--port-file", portFile, "Write the bound listening port to PATH")
        ->type_name("PATH");
    app.add_option("--duration", duration,
                   "Stop by itself after S seconds (default: run until signal)")
        ->type_name("S")
        ->check(zevo::NotNegative());
    if (auto code = zevo::ParseCommandLine(app, "zevo-udpproxy", argc, argv)) return *code;
    // Checked here, not by the parser, so a mistyped option is what gets reported.
    if (config.upstream.empty()) {
        std::fprintf(stderr, "zevo-udpproxy: --upstream is required (see --help)\n");
        return 2;
    }

    zevo::tools::UdpProxy proxy(config);
    int rc = proxy.Open();
    if (rc != 0) {
        std::fprintf(stderr, "zevo-udpproxy: cannot listen on %s for %s: %s\n",
                     config.listen.c_str(), config.upstream.c_str(), std::strerror(-rc));
        return 1;
    }
    if (!portFile.empty()) {
        std::ofstream out(portFile);
        out << proxy.ListenPort() << "\n";
        if (!out) {
            std::fprintf(stderr, "zevo-udpproxy: cannot write %s\n", portFile.c_str());
            return 1;
        }
    }
    std::printf("zevo-udpproxy: listening on %s, upstream %s\n", proxy.ListenAddress().c_str(),
                config.upstream.c_str());
    std::fflush(stdout);

    gProxy = &proxy;
    struct sigaction sa {};
    sa.sa_handler = OnSignal;
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGUSR1, &sa, nullptr);
    sigaction(SIGUSR2, &sa, nullptr);

    if (duration > 0.0) {
        sigaction(SIGALRM, &sa, nullptr);
        itimerval limit{};
        limit.it_value.tv_sec = static_cast<time_t>(duration);
        limit.it_value.tv_usec =
            static_cast<suseconds_t>((duration - static_cast<double>(limit.it_value.tv_sec)) * 1e6);
        setitimer(ITIMER_REAL, &limit, nullptr);
    }
    rc = proxy.Run();
    gProxy = nullptr;

    zevo::tools::UdpProxyStats s = proxy.Stats();
    PrintDirection("to upstream", s.toUpstream);
    PrintDirection("to client", s.toClient);
    std::printf("clients %llu (refused datagrams %llu), queue peak %llu bytes\n",
                static_cast<unsigned long long>(s.clients),
                static_cast<unsigned long long>(s.clientsRejected),
                static_cast<unsigned long long>(s.queuedBytesPeak));
    if (rc != 0) {
        std::fprintf(stderr, "zevo-udpproxy: %s\n", std::strerror(-rc));
        return 1;
    }
    return 0;
}
