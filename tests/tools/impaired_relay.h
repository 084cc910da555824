#pragma once
// A viewer whose whole path to the relay runs through the impairment proxy.
//
// zevo-p2pd runs alone in namespace "svc" (198.51.100.1) with --force-relay, and that
// namespace's ephemeral ports are narrowed to a small range, so every relay port it
// can hand out is known in advance. In namespace "peers" (198.51.100.2) the device
// talks to the service directly, while the viewer is pointed at 127.0.0.1: one proxy
// listens on the service's port and one on each possible relay port, each forwarding to
// the same port on 198.51.100.1. The library sends relay traffic to the address it
// reached the service at, so every datagram between viewer and relay crosses a proxy.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "tests/tools/netns_lab.h"
#include "tools/udpproxy/udp_proxy.h"

namespace zevo::testing {

// Starts zevo-p2pd in a namespace listening on listen ("ip:port") with the test key and
// extra options; returns its pid once it is serving, or -1.
pid_t StartService(NetnsLab& lab, const std::string& ns, const std::string& listen,
                   const std::vector<std::string>& extra);

// Reads one line from fd within timeoutMs.
std::string ReadLine(int fd, int timeoutMs);

class ImpairedRelay {
public:
    static constexpr uint16_t kServicePort = 32100;
    static constexpr uint16_t kRelayFirstPort = 40000;
    static constexpr uint16_t kRelayPorts = 16;

    ImpairedRelay() = default;
    ~ImpairedRelay();

    // Builds the namespaces, moves the calling thread into "peers", starts the proxies
    // there with the given faults (toRelay: viewer -> relay), the service and the device.
    // Returns "" or what failed. The caller then uses the PPPP_* calls in this thread.
    std::string Start(const zevo::tools::Impairment& toRelay,
                      const zevo::tools::Impairment& fromRelay, uint64_t seed);

    // For the viewer's ZEVO_P2P_SERVER, and its init string (replaced by the former).
    std::string ViewerServer() const;
    // The service's own address, for a viewer that bypasses the proxies.
    std::string DirectServer() const;
    std::string InitString() const;
    const std::string& Did() const { return mDid; }

    // Counters summed over the relay proxies (not the rendezvous one).
    zevo::tools::UdpProxyStats RelayStats() const;

private:
    NetnsLab mLab;
    std::vector<std::unique_ptr<zevo::tools::UdpProxy>> mProxies;
    pid_t mService = -1;
    pid_t mDevice = -1;
    std::string mDid = "ZEVO-000123-FAULT";
};

}  // namespace zevo::testing
