// Addresses, clocks, logging and raw datagrams: the small helpers every part of the
// transport uses.
#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <sys/socket.h>

#include <chrono>
#include <cstdarg>
#include <cstdio>

#include "p2p/transport/internal.h"

namespace zevo::p2p::transport {

uint64_t NowMs() {
    return uint64_t(std::chrono::duration_cast<std::chrono::milliseconds>(
                        std::chrono::steady_clock::now().time_since_epoch())
                        .count());
}

bool gLogEnabled = false;

void Log(const char* format, ...) {
    if (!gLogEnabled) return;
    va_list args;
    va_start(args, format);
    std::fprintf(stderr, "zevo_p2p: ");
    std::vfprintf(stderr, format, args);
    std::fprintf(stderr, "\n");
    va_end(args);
}

sockaddr_in ToSockaddr(const Endpoint& e) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(e.ip);
    a.sin_port = htons(e.port);
    return a;
}

Endpoint FromEnet(const ENetAddress& a) {
    return Endpoint{ntohl(a.host), a.port};
}

ENetAddress ToEnet(const Endpoint& e) {
    ENetAddress a;
    a.host = htonl(e.ip);
    a.port = e.port;
    return a;
}

void SendRaw(int fd, const Endpoint& to, const Message& m) {
    uint8_t buffer[kMaxDatagram];
    size_t n = EncodeMessage(m, buffer, sizeof buffer);
    if (n == 0) return;
    sockaddr_in a = ToSockaddr(to);
    (void)::sendto(fd, buffer, n, MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&a), sizeof a);
}

uint16_t LocalPort(int fd) {
    sockaddr_in a{};
    socklen_t len = sizeof a;
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0) return 0;
    return ntohs(a.sin_port);
}

void FillLocalEndpoints(int fd, Message* m) {
    uint16_t port = LocalPort(fd);
    m->endpointCount = 0;
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) return;
    for (ifaddrs* i = list; i != nullptr && m->endpointCount < kMaxEndpoints; i = i->ifa_next) {
        if (i->ifa_addr == nullptr || i->ifa_addr->sa_family != AF_INET) continue;
        if (!(i->ifa_flags & IFF_UP) || (i->ifa_flags & IFF_LOOPBACK)) continue;
        uint32_t ip = ntohl(reinterpret_cast<sockaddr_in*>(i->ifa_addr)->sin_addr.s_addr);
        m->endpoints[m->endpointCount++] = Endpoint{ip, port};
    }
    freeifaddrs(list);
}

bool IsThisHost(uint32_t ip) {
    if ((ip >> 24) == 127) return true;
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) return false;
    bool found = false;
    for (ifaddrs* i = list; i != nullptr && !found; i = i->ifa_next)
        found = i->ifa_addr != nullptr && i->ifa_addr->sa_family == AF_INET &&
                ntohl(reinterpret_cast<sockaddr_in*>(i->ifa_addr)->sin_addr.s_addr) == ip;
    freeifaddrs(list);
    return found;
}

// A burst of datagrams overflows a small receive buffer and costs a retransmission
// timeout. The system caps a plain request at net.core.rmem_max (wmem_max), often
// 208 KiB; a process allowed to (CAP_NET_ADMIN) gets the full size past the cap.
void SetSocketBuffer(int fd, int forced, int plain) {
    int size = kSocketBuffer;
    if (setsockopt(fd, SOL_SOCKET, forced, &size, sizeof size) != 0)
        (void)setsockopt(fd, SOL_SOCKET, plain, &size, sizeof size);
}

}  // namespace zevo::p2p::transport
