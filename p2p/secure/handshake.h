#pragma once
// The session handshake: Noise_NX_25519_ChaChaPoly_BLAKE2b between the viewer (initiator)
// and the device (responder), one round trip:
//   HELLO  viewer -> device   e                       payload: suites offered, padding
//   REPLY  device -> viewer   e, ee, s, es            payload: suite chosen, certificate
// The prologue binds the DID and the transport's session id, so a handshake cannot be
// replayed into another session or for another DID. The device's static key arrives
// encrypted and is trusted only when the certificate in the reply, signed by a service key
// the viewer pins, vouches for it under the DID the viewer asked for. Byte layouts in
// p2p/PROTOCOL.md.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "p2p/secure/certificate.h"
#include "p2p/secure/noise.h"
#include "p2p/secure/wire_format.h"

namespace zevo::p2p::secure {

constexpr char kProtocolName[] = "Noise_NX_25519_ChaChaPoly_BLAKE2b";

// HELLO is padded to REPLY's length, so answering a HELLO never sends more than it took.
constexpr size_t kReplyPayloadSize = 4 + kCertificateSize;
constexpr size_t kReplySize =
    kHeaderPrefix + 2 + kDhSize + (kDhSize + kTagSize) + (kReplyPayloadSize + kTagSize);
constexpr size_t kHelloSize = kReplySize;
constexpr size_t kHelloPayloadSize = kHelloSize - kHeaderPrefix - 2 - kDhSize;

enum class HandshakeResult {
    kOk,
    kMalformed,      // wrong length, marker, version, type or non-zero reserved bytes
    kNoCommonSuite,  // the two ends share no cipher
    kWeakKey,        // a peer key of low order
    kBadTag,         // the reply does not decrypt: altered, or keyed for another HELLO
    kNotVouched,     // the certificate does not vouch for this device (see vouch())
};
const char* HandshakeResultText(HandshakeResult result);

// What a finished handshake gives the datagram layer. Wiped on destruction.
struct SessionKeys {
    uint8_t send[kKeySize] = {};
    uint8_t receive[kKeySize] = {};
    uint8_t suite = 0;
    uint8_t handshakeHash[kHashSize] = {};  // identical at both ends: a channel binding
    uint8_t peerStatic[kDhSize] = {};       // the viewer's view of the device key
    ~SessionKeys();
};

// The viewer's side. Start once, then feed it every REPLY that arrives until one gives
// kOk; a failed reply leaves the state untouched, so a forged reply from a third party
// cannot spoil the genuine one that follows.
class Initiator {
public:
    // ephemeral: tests fix it; otherwise a fresh key.
    void Start(const char* did, uint64_t session, uint8_t suites, uint8_t out[kHelloSize],
               const KeyPair* ephemeral = nullptr);
    HandshakeResult ReadReply(const uint8_t* data, size_t length,
                              const std::vector<ServicePublicKey>& trusted, uint64_t nowSeconds,
                              SessionKeys* keys);
    // Why the last kNotVouched reply was refused.
    VouchResult vouch() const { return mVouch; }

private:
    SymmetricState mState{kProtocolName};
    KeyPair mEphemeral;
    char mDid[kDidFieldSize + 1] = {};
    uint8_t mSuites = 0;
    bool mStarted = false;
    VouchResult mVouch = VouchResult::kOk;
};

// The device's side: its static key and the certificate the service issued for it.
class Responder {
public:
    Responder(const KeyPair& staticKey, const uint8_t certificate[kCertificateSize],
              uint8_t suites);
    // Answers one HELLO for this DID and session with a fresh ephemeral key. The HELLO
    // answered last is remembered: the same bytes again (the viewer retransmits while the
    // REPLY is lost) get the same REPLY and keys, so the two ends never hold different
    // sessions for one HELLO.
    HandshakeResult Respond(const uint8_t* hello, size_t length, const char* did, uint64_t session,
                            uint8_t out[kReplySize], SessionKeys* keys,
                            const KeyPair* ephemeral = nullptr);

private:
    KeyPair mStatic;
    uint8_t mCertificate[kCertificateSize];
    uint8_t mSuites;
    // The last HELLO answered, for its DID and session, with its REPLY and keys.
    bool mAnswered = false;
    uint8_t mHello[kHelloSize] = {};
    char mDid[kDidFieldSize + 1] = {};
    uint64_t mSession = 0;
    uint8_t mReply[kReplySize] = {};
    SessionKeys mKeys;
};

}  // namespace zevo::p2p::secure
