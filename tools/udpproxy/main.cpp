// zevo-udpproxy: a UDP impairment proxy for tests, benchmarks and manual trials.
#include <sys/time.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

#include "tools/udpproxy/udp_proxy.h"

namespace {

zevo::tools::UdpProxy* gProxy = nullptr;

void OnSignal(int) {
    if (gProxy) gProxy->RequestStop();
}

void PrintHelp() {
    std::printf(
        "Usage: zevo-udpproxy --upstream HOST:PORT [options]\n"
        "Forwards UDP datagrams from every client to one upstream address and the replies\n"
        "back, with delay, jitter, loss, reordering and a rate limit per direction.\n"
        "\n"
        "  --listen HOST:PORT     local address (default 127.0.0.1:0, a free port)\n"
        "  --upstream HOST:PORT   where client datagrams go (required)\n"
        "  --delay MS             fixed delay, both directions\n"
        "  --jitter MS            uniform jitter +-MS added to the delay (keeps order)\n"
        "  --loss PCT             random loss in percent\n"
        "  --reorder PCT          percent of datagrams held back so later ones overtake\n"
        "  --reorder-gap MS       how far a reordered datagram is held back (default 10)\n"
        "  --rate KBIT            link rate in kbit/s (default unlimited)\n"
        "  --up-OPTION VALUE      any of the six above for client->upstream only\n"
        "  --down-OPTION VALUE    any of the six above for upstream->client only\n"
        "  --seed N               random seed (default 1): same seed, same decisions\n"
        "  --max-clients N        client slots, one upstream socket each (default 64)\n"
        "  --max-queue-bytes N    bound on queued datagram memory (default 33554432)\n"
        "  --client-idle MS       idle time after which a slot may be reused (default 120000)\n"
        "  --port-file PATH       write the bound listening port to PATH\n"
        "  --duration S           stop by itself after S seconds (default: run until signal)\n"
        "  --help                 this text\n"
        "  --version              version\n"
        "\n"
        "Prints the listening address on start and the counters on exit (SIGINT/SIGTERM).\n");
}

bool ParseNumber(const char* text, double* out) {
    char* end = nullptr;
    double v = std::strtod(text, &end);
    if (end == text || *end != '\0' || !(v >= 0.0)) return false;
    *out = v;
    return true;
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

    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            PrintHelp();
            return 0;
        }
        if (arg == "--version") {
            std::printf("zevo-udpproxy %s\n", ZEVO_VERSION);
            return 0;
        }
        if (arg.rfind("--", 0) != 0 || i + 1 >= argc) {
            std::fprintf(stderr, "zevo-udpproxy: bad or incomplete option '%s' (see --help)\n",
                         arg.c_str());
            return 2;
        }
        std::string name = arg.substr(2);
        const char* value = argv[++i];
        double number = 0.0;
        bool numeric = ParseNumber(value, &number);
        bool ok = true;
        if (name == "listen")
            config.listen = value;
        else if (name == "upstream")
            config.upstream = value;
        else if (name == "port-file")
            portFile = value;
        else if (!numeric)
            ok = false;
        else if (name == "seed")
            config.seed = static_cast<uint64_t>(number);
        else if (name == "max-clients")
            config.maxClients = static_cast<size_t>(number);
        else if (name == "max-queue-bytes")
            config.maxQueuedBytes = static_cast<size_t>(number);
        else if (name == "client-idle")
            config.clientIdleMs = static_cast<uint32_t>(number);
        else if (name == "duration")
            duration = number;
        else if (name.rfind("up-", 0) == 0)
            ok = SetImpairment(config.toUpstream, name.substr(3), number);
        else if (name.rfind("down-", 0) == 0)
            ok = SetImpairment(config.toClient, name.substr(5), number);
        else
            ok = SetImpairment(config.toUpstream, name, number) &&
                 SetImpairment(config.toClient, name, number);
        if (!ok) {
            std::fprintf(stderr, "zevo-udpproxy: bad option or value '%s %s' (see --help)\n",
                         arg.c_str(), value);
            return 2;
        }
    }
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
