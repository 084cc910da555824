#pragma once
// Loopback UDP helpers for the proxy's tests and benchmarks: a socket, self-checking
// numbered datagrams, and an echo server.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

namespace zevo::testing {

using Clock = std::chrono::steady_clock;

class UdpSocket {
public:
    UdpSocket() {
        mFd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        int bytes = 4 << 20;
        setsockopt(mFd, SOL_SOCKET, SO_RCVBUFFORCE, &bytes, sizeof bytes);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(mFd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
        socklen_t len = sizeof addr;
        getsockname(mFd, reinterpret_cast<sockaddr*>(&addr), &len);
        mPort = ntohs(addr.sin_port);
    }
    ~UdpSocket() { close(mFd); }
    UdpSocket(const UdpSocket&) = delete;
    UdpSocket& operator=(const UdpSocket&) = delete;

    uint16_t Port() const { return mPort; }

    bool SendTo(uint16_t port, const std::vector<uint8_t>& data) {
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        to.sin_port = htons(port);
        return sendto(mFd, data.data(), data.size(), 0, reinterpret_cast<sockaddr*>(&to),
                      sizeof to) == static_cast<ssize_t>(data.size());
    }

    // Waits up to timeoutMs for one datagram; returns false on timeout.
    bool Receive(std::vector<uint8_t>* data, int timeoutMs, uint16_t* fromPort = nullptr) {
        pollfd p{mFd, POLLIN, 0};
        if (poll(&p, 1, timeoutMs) <= 0) return false;
        data->resize(65536);
        sockaddr_in from{};
        socklen_t len = sizeof from;
        ssize_t got =
            recvfrom(mFd, data->data(), data->size(), 0, reinterpret_cast<sockaddr*>(&from), &len);
        if (got < 0) return false;
        data->resize(static_cast<size_t>(got));
        if (fromPort) *fromPort = ntohs(from.sin_port);
        return true;
    }

private:
    int mFd = -1;
    uint16_t mPort = 0;
};

// A datagram whose every byte depends on its sender and number, so corruption,
// truncation and mix-ups between clients all show.
inline std::vector<uint8_t> MakeDatagram(uint32_t sender, uint32_t seq, size_t size) {
    size = std::max<size_t>(size, 8);
    std::vector<uint8_t> d(size);
    std::memcpy(d.data(), &sender, 4);
    std::memcpy(d.data() + 4, &seq, 4);
    uint32_t x = sender * 2654435761u ^ seq * 40503u;
    for (size_t i = 8; i < size; ++i) {
        x = x * 1103515245u + 12345u;
        d[i] = static_cast<uint8_t>(x >> 16);
    }
    return d;
}

struct Decoded {
    uint32_t sender = 0;
    uint32_t seq = 0;
    bool intact = false;
};

inline Decoded Decode(const std::vector<uint8_t>& d) {
    Decoded r;
    if (d.size() < 8) return r;
    std::memcpy(&r.sender, d.data(), 4);
    std::memcpy(&r.seq, d.data() + 4, 4);
    r.intact = MakeDatagram(r.sender, r.seq, d.size()) == d;
    return r;
}

inline size_t SizeFor(uint32_t seq) {
    return 8 + (seq * 7919u) % 1400u;
}

// Echoes every datagram back to its sender until stopped.
class EchoServer {
public:
    EchoServer() {
        mThread = std::thread([this] {
            std::vector<uint8_t> d;
            while (!mStop.load()) {
                uint16_t from = 0;
                if (!mSocket.Receive(&d, 20, &from)) continue;
                {
                    std::lock_guard<std::mutex> lock(mMutex);
                    mSources.insert(from);
                }
                mSocket.SendTo(from, d);
            }
        });
    }
    ~EchoServer() {
        mStop.store(true);
        mThread.join();
    }
    uint16_t Port() const { return mSocket.Port(); }
    std::set<uint16_t> Sources() {
        std::lock_guard<std::mutex> lock(mMutex);
        return mSources;
    }

private:
    UdpSocket mSocket;
    std::atomic<bool> mStop{false};
    std::mutex mMutex;
    std::set<uint16_t> mSources;
    std::thread mThread;
};

template <typename Pred>
bool WaitFor(Pred pred, int timeoutMs = 20000) {
    auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!pred()) {
        if (Clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

}  // namespace zevo::testing
