#pragma once
// One session's security from the first HELLO to its end, for either role: the handshake,
// then the channel. Pure logic over datagrams and a clock; the transport moves the bytes.
//
// The viewer sends HELLO at once and again every kHelloIntervalMs until a REPLY completes.
// A REPLY that fails (altered, another key, a certificate refused) is dropped and
// remembered, so a connect that never completes can say the device was not authentic.
//
// The device answers every HELLO and keeps up to kMaxPending answered ones, each with its
// keys; it commits to the one under whose keys the first DATA opens and from then on drops
// HELLOs. The viewer's first datagram (ENet's connect) always precedes the device's.
#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "p2p/secure/certificate.h"
#include "p2p/secure/channel.h"
#include "p2p/secure/handshake.h"

namespace zevo::p2p::secure {

// What a received datagram gave.
enum class Received {
    kData,         // an opened datagram: *outLength bytes of plaintext in out
    kSend,         // a handshake answer: send *outLength bytes of out to the peer
    kEstablished,  // the handshake completed; Seal works from now on
    kDropped,      // refused and counted (see drops())
};

class ViewerSession {
public:
    static constexpr uint64_t kHelloIntervalMs = 250;

    ViewerSession(const char* did, uint64_t session, std::vector<ServicePublicKey> trusted,
                  uint8_t suites, RekeyPolicy policy = {});

    // The HELLO to send now, if one is due; 0 otherwise.
    size_t PollHello(uint64_t nowMs, uint8_t out[kHelloSize]);

    // nowSeconds (Unix time) checks the certificate's validity.
    Received Receive(const uint8_t* in, size_t length, uint8_t* out, size_t capacity,
                     size_t* outLength, uint64_t nowMs, uint64_t nowSeconds);

    // As SecureChannel::Seal; 0 before the handshake completed.
    size_t Seal(const uint8_t* plain, size_t length, uint8_t* out, size_t capacity, uint64_t nowMs);

    bool established() const { return mChannel != nullptr; }
    // A REPLY failed authentication or vouching: the device (or whoever answered) could
    // not prove it owns the DID. vouch() says why when the certificate was the reason.
    bool authenticityFailed() const { return mAuthenticityFailed; }
    HandshakeResult lastFailure() const { return mLastFailure; }
    VouchResult vouch() const { return mInitiator.vouch(); }
    DropCounts drops() const;

private:
    Initiator mInitiator;
    std::vector<ServicePublicKey> mTrusted;
    uint8_t mHello[kHelloSize];
    uint64_t mNextHelloMs = 0;
    bool mHelloSent = false;
    RekeyPolicy mPolicy;
    std::unique_ptr<SecureChannel> mChannel;
    bool mAuthenticityFailed = false;
    HandshakeResult mLastFailure = HandshakeResult::kOk;
    uint64_t mHandshakeDrops = 0;
    uint64_t mMalformed = 0;  // not a secure datagram at all
};

class DeviceSession {
public:
    static constexpr size_t kMaxPending = 4;

    DeviceSession(const char* did, uint64_t session, const KeyPair& staticKey,
                  const uint8_t certificate[kCertificateSize], uint8_t suites,
                  RekeyPolicy policy = {});

    Received Receive(const uint8_t* in, size_t length, uint8_t* out, size_t capacity,
                     size_t* outLength, uint64_t nowMs);

    // As SecureChannel::Seal; 0 until the viewer's first datagram opened.
    size_t Seal(const uint8_t* plain, size_t length, uint8_t* out, size_t capacity, uint64_t nowMs);

    bool committed() const { return mChannel != nullptr; }
    size_t pending() const { return mPending.size(); }
    DropCounts drops() const;

private:
    struct Pending {
        std::array<uint8_t, kHelloSize> hello;
        std::array<uint8_t, kReplySize> reply;
        std::unique_ptr<SecureChannel> channel;
    };

    char mDid[kDidFieldSize + 1] = {};
    uint64_t mSession;
    Responder mResponder;
    RekeyPolicy mPolicy;
    std::vector<Pending> mPending;  // oldest first
    std::unique_ptr<SecureChannel> mChannel;
    uint64_t mHandshakeDrops = 0;
    DropCounts mEarly;     // DATA refused before the commit, once each
    DropCounts mAtCommit;  // the committed channel's counts from its time as pending
};

}  // namespace zevo::p2p::secure
