#pragma once
// A UDP impairment proxy: listens on one local address, forwards every client's
// datagrams to one upstream address through a socket of that client's own, and passes
// the upstream's replies back to the client that caused them. Each direction can be
// delayed (with jitter), lossy, reordered and rate limited, so tests and benchmarks get
// the faults of a real network on a kernel without netem.
//
// One thread does all the work with epoll and a timerfd; datagrams wait in a queue
// ordered by due time whose memory is bounded.
#include <sys/socket.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>

namespace zevo::tools {

// Faults applied to one direction. Every datagram is decided on its own: lost with
// lossPercent, otherwise delayed by delayMs plus a uniform jitter in
// [-jitterMs, +jitterMs] (never below zero). Jitter alone never reorders a flow: a
// datagram is never sent before one that arrived earlier on the same client and
// direction. Only reordering does that: with reorderPercent a datagram is held back a
// further reorderGapMs, so the ones after it overtake it. rateKbit > 0 serialises the
// direction through a link of that many kbit/s (1 kbit = 1000 bits) before the delay.
struct Impairment {
    uint32_t delayMs = 0;
    uint32_t jitterMs = 0;
    double lossPercent = 0.0;
    double reorderPercent = 0.0;
    uint32_t reorderGapMs = 10;
    uint32_t rateKbit = 0;
};

struct UdpProxyConfig {
    // Numeric addresses "host:port" or "[v6host]:port"; port 0 on listen picks a free one.
    std::string listen = "127.0.0.1:0";
    std::string upstream;
    Impairment toUpstream;  // client -> upstream
    Impairment toClient;    // upstream -> client
    uint64_t seed = 1;      // same seed, same arrivals: the same decisions
    size_t maxClients = 64;
    size_t maxQueuedBytes = 32u << 20;  // all datagrams waiting in both directions
    uint32_t clientIdleMs = 120000;     // an idle client may give up its slot to a new one
    int socketBufferBytes = 4 << 20;
    // Sees every datagram as it arrives, on the proxy's thread, and may change its bytes in
    // place (a fault in flight); returns how many copies go on: 0 drops it, 2 sends it
    // twice (a replay). The faults above then apply to each copy.
    std::function<int(bool toUpstream, uint8_t* data, size_t size)> inspect;
};

// Counters for one direction.
struct DirectionStats {
    uint64_t received = 0;    // datagrams read from the sending side
    uint64_t forwarded = 0;   // datagrams sent on
    uint64_t lost = 0;        // dropped on purpose (loss percent)
    uint64_t overflow = 0;    // dropped because the queue was at its memory bound
    uint64_t sendFailed = 0;  // dropped because the socket refused them
    uint64_t delayed = 0;     // forwarded after waiting in the queue
    uint64_t reordered = 0;   // held back so later datagrams overtake them
    uint64_t bytes = 0;       // bytes forwarded
};

struct UdpProxyStats {
    DirectionStats toUpstream;
    DirectionStats toClient;
    uint64_t clients = 0;          // client slots opened
    uint64_t clientsRejected = 0;  // datagrams from new clients refused: every slot busy
    uint64_t queuedBytesPeak = 0;
};

// Parses "host:port" or "[host]:port" (numeric hosts only). Returns 0 or -1.
int ParseEndpoint(const std::string& text, sockaddr_storage* addr, socklen_t* len);
std::string FormatEndpoint(const sockaddr_storage& addr);

class UdpProxy {
public:
    explicit UdpProxy(UdpProxyConfig config);
    ~UdpProxy();
    UdpProxy(const UdpProxy&) = delete;
    UdpProxy& operator=(const UdpProxy&) = delete;

    // Binds the listening socket. Returns 0, or a negative errno-style code.
    int Open();
    // The bound listening port (after Open).
    uint16_t ListenPort() const;
    std::string ListenAddress() const;

    // Runs the loop in the calling thread until Stop(). Returns 0 or a negative code.
    int Run();
    // Open() if needed and Run() on a thread of the proxy's own.
    int Start();
    // Asks Run() to return; safe from any thread and from a signal handler.
    void RequestStop();
    // RequestStop() and join the thread Start() made.
    void Stop();

    // Safe to call from any thread while the proxy runs.
    UdpProxyStats Stats() const;
    // While on, every datagram in both directions is lost (and counted so), as when the
    // link goes down; off restores the configured faults. Safe from any thread and from a
    // signal handler.
    void SetOutage(bool on);

private:
    struct Impl;
    std::unique_ptr<Impl> mImpl;
    std::thread mThread;
};

}  // namespace zevo::tools
