#pragma once
// End-to-end security of one session on its socket: the handshake runs beside ENet, and
// after it every ENet datagram travels sealed, directly or through the relay.
//
// ENet 1.3 has a hook for what it receives (the host's intercept) but none for what it
// sends, so this library defines enet_socket_send itself: libenet calls it through its
// PLT, and the definition of the library loaded before libenet wins. While the worker
// services a secure session it names that session's sealer (SealingScope); a send on that
// session's socket is sealed, any other goes out as ENet wrote it. PPPP_Initialize checks
// that ENet's sends really come here (SealingHookLive) before any session relies on it.
#include <enet/enet.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <vector>

#include "p2p/secure/channel.h"
#include "p2p/secure/session.h"
#include "p2p/wire.h"

namespace zevo::p2p::transport {

// The drops of one session by cause, as the sealing layer counts them.
struct SealingDrops {
    secure::DropCounts secure;
    uint64_t stranger = 0;  // secure datagrams from an address the session never proved
    uint64_t plain = 0;     // plain ENet datagrams on a session that runs the handshake
};

class Sealer {
public:
    static std::unique_ptr<Sealer> ForViewer(const char* did, uint64_t sessionId,
                                             const std::vector<secure::ServicePublicKey>& trusted);
    static std::unique_ptr<Sealer> ForDevice(const char* did, uint64_t sessionId,
                                             const secure::KeyPair& staticKey,
                                             const uint8_t certificate[secure::kCertificateSize]);
    ~Sealer();

    // A datagram that reached the session's ENet host from an address the session accepts
    // (fromAccepted) or not. Returns 0 to let ENet read host->receivedData, now the
    // plaintext, or 1 when it was a handshake message or was dropped (and counted).
    int Receive(ENetHost* host, int fd, bool fromAccepted, const Endpoint& from, uint64_t nowMs);

    // The viewer's HELLO, sent to where ENet connects until a REPLY completes.
    void PollHello(int fd, const Endpoint& to, uint64_t nowMs);
    // ENet's datagrams of a connect that begins now are not the ones held so far.
    void Retarget() { mHeld.clear(); }

    // What enet_socket_send does for this session's socket.
    int Send(int fd, const ENetAddress* address, const ENetBuffer* buffers, size_t count);

    bool established() const;
    // The viewer: a REPLY failed authentication or its certificate was refused.
    bool authenticityFailed() const;
    SealingDrops drops() const;

private:
    Sealer() = default;
    size_t Seal(const uint8_t* plain, size_t length, uint8_t* out, size_t capacity);

    std::unique_ptr<secure::ViewerSession> mViewer;
    std::unique_ptr<secure::DeviceSession> mDevice;
    uint64_t mNowMs = 0;
    // ENet's first datagrams (its connect) wait here until the handshake completes, rather
    // than costing a retransmission timeout.
    struct Held {
        ENetAddress to;
        std::vector<uint8_t> bytes;
    };
    std::deque<Held> mHeld;
    uint64_t mStrangers = 0;
    uint64_t mPlain = 0;
};

// Names the sealer of the session the worker is servicing on this thread.
class SealingScope {
public:
    SealingScope(Sealer* sealer, int fd);
    ~SealingScope();
    SealingScope(const SealingScope&) = delete;
    SealingScope& operator=(const SealingScope&) = delete;
};

// The sealer of the scope open on this thread is gone (the session went unsealed): ENet's
// further sends in that scope leave as written.
void EndSealingScope();

// True once ENet's own sends were seen to pass through this library (checked once).
bool SealingHookLive();

}  // namespace zevo::p2p::transport
