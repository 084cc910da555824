#include "p2p/transport/sealing.h"

#include <arpa/inet.h>
#include <sys/socket.h>
#include <sys/uio.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <mutex>

#include "p2p/secure/aead.h"
#include "p2p/secure/wire_format.h"
#include "p2p/transport/internal.h"

namespace zevo::p2p::transport {
namespace {

// ENet hands its datagrams over as iovecs on this platform; the plain send passes them on.
static_assert(sizeof(ENetBuffer) == sizeof(iovec) && offsetof(ENetBuffer, data) == 0 &&
                  offsetof(ENetBuffer, dataLength) == offsetof(iovec, iov_len),
              "ENetBuffer is an iovec");

constexpr size_t kMaxHeld = 8;
constexpr size_t kLargest = ENET_PROTOCOL_MAXIMUM_MTU;  // the largest datagram ENet reads

thread_local Sealer* tSealer = nullptr;
thread_local int tFd = -1;
std::atomic<int> gProbeFd{-1};
std::atomic<bool> gProbeSeen{false};

sockaddr_in ToSin(const ENetAddress& a) {
    sockaddr_in sin{};
    sin.sin_family = AF_INET;
    sin.sin_port = htons(a.port);
    sin.sin_addr.s_addr = a.host;
    return sin;
}

// What ENet's own enet_socket_send does on this platform.
int PlainSend(int fd, const ENetAddress* address, const ENetBuffer* buffers, size_t count) {
    msghdr header{};
    sockaddr_in sin{};
    if (address != nullptr) {
        sin = ToSin(*address);
        header.msg_name = &sin;
        header.msg_namelen = sizeof sin;
    }
    header.msg_iov = reinterpret_cast<iovec*>(const_cast<ENetBuffer*>(buffers));
    header.msg_iovlen = count;
    ssize_t sent = ::sendmsg(fd, &header, MSG_NOSIGNAL);
    if (sent == -1) return errno == EWOULDBLOCK ? 0 : -1;
    return int(sent);
}

int SendTo(int fd, const ENetAddress& to, const uint8_t* data, size_t length) {
    sockaddr_in sin = ToSin(to);
    ssize_t sent =
        ::sendto(fd, data, length, MSG_NOSIGNAL, reinterpret_cast<sockaddr*>(&sin), sizeof sin);
    if (sent == -1) return errno == EWOULDBLOCK ? 0 : -1;
    return int(sent);
}

uint64_t UnixSeconds() {
    return uint64_t(std::time(nullptr));
}

}  // namespace

std::unique_ptr<Sealer> Sealer::ForViewer(const char* did, uint64_t sessionId,
                                          const std::vector<secure::ServicePublicKey>& trusted) {
    std::unique_ptr<Sealer> s(new Sealer);
    s->mViewer =
        std::make_unique<secure::ViewerSession>(did, sessionId, trusted, secure::LocalSuites());
    return s;
}

std::unique_ptr<Sealer> Sealer::ForDevice(const char* did, uint64_t sessionId,
                                          const secure::KeyPair& staticKey,
                                          const uint8_t certificate[secure::kCertificateSize]) {
    std::unique_ptr<Sealer> s(new Sealer);
    s->mDevice = std::make_unique<secure::DeviceSession>(did, sessionId, staticKey, certificate,
                                                         secure::LocalSuites());
    return s;
}

Sealer::~Sealer() = default;

bool Sealer::established() const {
    return mViewer ? mViewer->established() : mDevice->committed();
}

bool Sealer::authenticityFailed() const {
    return mViewer && mViewer->authenticityFailed();
}

SealingDrops Sealer::drops() const {
    SealingDrops d;
    d.secure = mViewer ? mViewer->drops() : mDevice->drops();
    d.stranger = mStrangers;
    d.plain = mPlain;
    return d;
}

size_t Sealer::Seal(const uint8_t* plain, size_t length, uint8_t* out, size_t capacity) {
    return mViewer ? mViewer->Seal(plain, length, out, capacity, mNowMs)
                   : mDevice->Seal(plain, length, out, capacity, mNowMs);
}

void Sealer::PollHello(int fd, const Endpoint& to, uint64_t nowMs) {
    mNowMs = nowMs;
    if (!mViewer || mViewer->established()) return;
    uint8_t hello[secure::kHelloSize];
    size_t n = mViewer->PollHello(nowMs, hello);
    if (n != 0) (void)SendTo(fd, ToEnet(to), hello, n);
}

int Sealer::Receive(ENetHost* host, int fd, bool fromAccepted, const Endpoint& from,
                    uint64_t nowMs) {
    mNowMs = nowMs;
    const uint8_t* data = host->receivedData;
    size_t length = host->receivedDataLength;
    secure::SecureType type;
    if (!secure::PeekSecure(data, length, &type)) {
        ++mPlain;
        return 1;
    }
    if (!fromAccepted) {
        ++mStrangers;
        return 1;
    }
    // Opened datagrams land apart from ENet's receive buffer: a failed open may wipe its
    // output, and the device tries each pending handshake's keys on the same bytes.
    static thread_local uint8_t opened[kLargest];
    uint8_t answer[secure::kReplySize];
    bool isData = type == secure::SecureType::kData;
    uint8_t* out = isData ? opened : answer;
    size_t capacity = isData ? sizeof opened : sizeof answer;
    size_t outLength = 0;
    secure::Received r =
        mViewer ? mViewer->Receive(data, length, out, capacity, &outLength, nowMs, UnixSeconds())
                : mDevice->Receive(data, length, out, capacity, &outLength, nowMs);
    switch (r) {
        case secure::Received::kData:
            host->receivedData = opened;
            host->receivedDataLength = outLength;
            return 0;
        case secure::Received::kSend:
            (void)SendTo(fd, ToEnet(from), answer, outLength);
            return 1;
        case secure::Received::kEstablished: {
            // ENet's connect waited for the keys; it goes out now.
            uint8_t sealed[kLargest + secure::kOverhead];
            for (Held& h : mHeld) {
                size_t n = Seal(h.bytes.data(), h.bytes.size(), sealed, sizeof sealed);
                if (n != 0) (void)SendTo(fd, h.to, sealed, n);
            }
            mHeld.clear();
            return 1;
        }
        case secure::Received::kDropped:
            return 1;
    }
    return 1;
}

int Sealer::Send(int fd, const ENetAddress* address, const ENetBuffer* buffers, size_t count) {
    if (address == nullptr) return -1;  // ENet's hosts always name the peer
    uint8_t sealed[kLargest + secure::kOverhead];
    uint8_t* plain = sealed + secure::kDataHeaderSize;
    size_t length = 0;
    for (size_t i = 0; i < count; ++i) {
        if (buffers[i].dataLength > kLargest - length) return -1;
        std::memcpy(plain + length, buffers[i].data, buffers[i].dataLength);
        length += buffers[i].dataLength;
    }
    if (!established()) {
        // Nothing leaves in the clear: the viewer keeps ENet's connect until the keys are
        // there (ENet repeats it anyway should more wait), the device has nothing to say
        // before the viewer's first datagram.
        if (mViewer && mHeld.size() < kMaxHeld)
            mHeld.push_back(Held{*address, std::vector<uint8_t>(plain, plain + length)});
        return int(length);
    }
    size_t n = Seal(plain, length, sealed, sizeof sealed);
    if (n == 0) return -1;
    int sent = SendTo(fd, *address, sealed, n);
    return sent <= 0 ? sent : int(length);
}

SealingScope::SealingScope(Sealer* sealer, int fd) {
    tSealer = sealer;
    tFd = fd;
}

SealingScope::~SealingScope() {
    EndSealingScope();
}

void EndSealingScope() {
    tSealer = nullptr;
    tFd = -1;
}

bool SealingHookLive() {
    static std::once_flag once;
    static bool live = false;
    std::call_once(once, [] {
        // A host connects to itself: its connect datagram leaves through enet_socket_send,
        // which must be ours.
        ENetAddress loopback;
        loopback.host = htonl(INADDR_LOOPBACK);
        loopback.port = 0;
        ENetHost* host = enet_host_create(&loopback, 1, 1, 0, 0);
        if (host == nullptr) return;
        gProbeFd = int(host->socket);
        if (enet_host_connect(host, &host->address, 1, 0) != nullptr) enet_host_flush(host);
        live = gProbeSeen.load();
        gProbeFd = -1;
        enet_host_destroy(host);
    });
    return live;
}

}  // namespace zevo::p2p::transport

using zevo::p2p::transport::gProbeFd;
using zevo::p2p::transport::gProbeSeen;
using zevo::p2p::transport::PlainSend;
using zevo::p2p::transport::tFd;
using zevo::p2p::transport::tSealer;

// libenet's sends arrive here (see sealing.h).
extern "C" __attribute__((visibility("default"))) int enet_socket_send(ENetSocket socket,
                                                                       const ENetAddress* address,
                                                                       const ENetBuffer* buffers,
                                                                       size_t bufferCount) {
    int fd = int(socket);
    if (fd == gProbeFd.load(std::memory_order_relaxed)) gProbeSeen = true;
    if (tSealer != nullptr && fd == tFd) return tSealer->Send(fd, address, buffers, bufferCount);
    return PlainSend(fd, address, buffers, bufferCount);
}
