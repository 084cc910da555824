#pragma once
// The UDP sockets the service and its load generator open: non-blocking, close-on-exec,
// with large kernel buffers, bound to one IPv4 address.
#include <cstdint>

namespace zevo::p2p {

// Binds ip:port (host order; port 0 picks a free one) with send and receive buffers of
// bufferBytes. Returns the descriptor and sets *boundPort (when given), or -1. sharedPort:
// SO_REUSEPORT, so that several sockets of this process share the port and the kernel
// spreads the arriving datagrams over them.
int OpenUdpSocket(uint32_t ip, uint16_t port, int bufferBytes = 4 * 1024 * 1024,
                  uint16_t* boundPort = nullptr, bool sharedPort = false);

}  // namespace zevo::p2p
