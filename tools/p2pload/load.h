#pragma once
// Simulated devices and viewers for loading zevo-p2pd from one process: real datagrams over
// UDP in the transport's wire format, many DIDs per socket (the service keys registrations
// by DID, so a socket stands for as many devices as it likes). Used by zevo-p2pload and the
// load benchmark.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "p2p/wire.h"

namespace zevo::p2pload {

using p2p::Endpoint;

// Closed-loop request figures: completed requests, their rate and latency.
struct Figures {
    uint64_t done = 0;
    uint64_t lost = 0;  // no answer within the loss timeout; asked again
    double perSecond = 0;
    double p50us = 0;
    double p99us = 0;
};

struct HoldFigures {
    uint64_t sent = 0;
    uint64_t acked = 0;
    uint64_t forgotten = 0;  // "register again": the service lost the registration
    double seconds = 0;
};

class Fleet {
public:
    // services: the list every peer has; each device registers with the replicas best of
    // it (0: the default placement). key: the service key the device secrets derive from.
    Fleet(std::vector<Endpoint> services, std::string key, size_t replicas = 0, size_t sockets = 64,
          std::string prefix = "LOAD");
    ~Fleet();
    Fleet(const Fleet&) = delete;
    Fleet& operator=(const Fleet&) = delete;

    // Registers devices [Devices(), count) with each service of their set, window at a
    // time, keeping those registered alive every keepaliveMs meanwhile (a large fleet
    // takes longer to register than a registration lives); returns the registrations
    // made (device x service).
    size_t Register(size_t count, uint64_t keepaliveMs = 2000, uint64_t timeoutMs = 120000,
                    size_t window = 2048);
    size_t Devices() const { return mDevices; }
    std::string Did(size_t index) const;

    // Every device sends a KEEPALIVE to each service of its set every intervalMs, spread
    // evenly over the interval, for durationMs.
    HoldFigures Hold(uint64_t intervalMs, uint64_t durationMs);

    // Keepalives as fast as the service answers them: window devices (of different slots)
    // with one KEEPALIVE each in flight, to the first service of their set.
    Figures Keepalives(size_t window, uint64_t durationMs);

    // Viewers look up registered DIDs (LOOKUP to the first service of the set), window
    // outstanding; an answer is the first LOOKUP_STATUS. The devices do not join, so
    // each lookup leaves a session pending on the service until its join timeout.
    Figures Lookups(size_t window, uint64_t durationMs);

    // Opens sessions through the relay (relay only: lookup, join, bind on both ends), then
    // sends payload-byte datagrams from each viewer through the relay to its device, which
    // sends them back the same way, window in flight per session. A round trip is two
    // relayed datagrams.
    Figures Relay(size_t sessions, size_t window, size_t payload, uint64_t durationMs);

private:
    struct Impl;
    Impl* mImpl;
    size_t mDevices = 0;
};

// The same closed loop as Lookups and Relay against a bare UDP echo server on loopback in
// this process (recvmmsg/sendmmsg in batches of 64, as zevo-p2pd reads): the kernel's
// datagram rate on this machine, the baseline the service's figures are set against.
Figures EchoBaseline(size_t window, size_t payload, uint64_t durationMs, size_t sockets = 8);

}  // namespace zevo::p2pload
