#include "p2p/secure/handshake.h"

#include <sodium.h>

#include <cstring>

#include "p2p/wire.h"

namespace zevo::p2p::secure {
namespace {

constexpr char kPrologueLabel[] = "zevo-p2p secure 1";
constexpr size_t kPrologueSize = sizeof kPrologueLabel - 1 + kDidFieldSize + 8;

// Offsets shared by both messages: prefix, two reserved bytes, the ephemeral key.
constexpr size_t kOffEphemeral = kHeaderPrefix + 2;
constexpr size_t kOffAfterEphemeral = kOffEphemeral + kDhSize;

void MixPrologue(SymmetricState& state, const char* did, uint64_t session) {
    uint8_t prologue[kPrologueSize] = {};
    size_t labelSize = sizeof kPrologueLabel - 1;
    std::memcpy(prologue, kPrologueLabel, labelSize);
    std::memcpy(prologue + labelSize, did, std::strlen(did));
    for (int i = 0; i < 8; ++i)
        prologue[labelSize + kDidFieldSize + i] = uint8_t(session >> (8 * i));
    state.MixHash(prologue, sizeof prologue);
}

bool ValidFrame(const uint8_t* data, size_t length, size_t expected, SecureType type) {
    return data != nullptr && length == expected && data[0] == kMarker &&
           data[1] == TypeByte(type) && data[2] == 0 && data[3] == 0;
}

void WriteFrame(uint8_t* out, SecureType type) {
    out[0] = kMarker;
    out[1] = TypeByte(type);
    out[2] = 0;
    out[3] = 0;
}

bool AllZero(const uint8_t* data, size_t length) {
    uint8_t any = 0;
    for (size_t i = 0; i < length; ++i) any |= data[i];
    return any == 0;
}

}  // namespace

const char* HandshakeResultText(HandshakeResult result) {
    switch (result) {
        case HandshakeResult::kOk:
            return "ok";
        case HandshakeResult::kMalformed:
            return "malformed handshake message";
        case HandshakeResult::kNoCommonSuite:
            return "no common cipher";
        case HandshakeResult::kWeakKey:
            return "weak peer key";
        case HandshakeResult::kBadTag:
            return "handshake message fails authentication";
        case HandshakeResult::kNotVouched:
            return "device key not vouched for";
    }
    return "unknown";
}

SessionKeys::~SessionKeys() {
    sodium_memzero(send, sizeof send);
    sodium_memzero(receive, sizeof receive);
}

void Initiator::Start(const char* did, uint64_t session, uint8_t suites, uint8_t out[kHelloSize],
                      const KeyPair* ephemeral) {
    mState = SymmetricState(kProtocolName);
    std::memset(mDid, 0, sizeof mDid);
    std::strncpy(mDid, did, kDidFieldSize);
    MixPrologue(mState, mDid, session);
    if (ephemeral != nullptr) {
        mEphemeral.FromSecret(ephemeral->secret);
    } else {
        mEphemeral.Generate();
    }
    mSuites = suites;
    WriteFrame(out, SecureType::kHello);
    std::memcpy(out + kOffEphemeral, mEphemeral.pub, kDhSize);
    mState.MixHash(mEphemeral.pub, kDhSize);
    uint8_t payload[kHelloPayloadSize] = {};
    payload[0] = suites;
    mState.EncryptAndHash(payload, sizeof payload, out + kOffAfterEphemeral);
    mStarted = true;
}

HandshakeResult Initiator::ReadReply(const uint8_t* data, size_t length,
                                     const std::vector<ServicePublicKey>& trusted,
                                     uint64_t nowSeconds, SessionKeys* keys) {
    if (!mStarted || !ValidFrame(data, length, kReplySize, SecureType::kReply))
        return HandshakeResult::kMalformed;
    SymmetricState state = mState;  // committed only on success
    const uint8_t* re = data + kOffEphemeral;
    state.MixHash(re, kDhSize);
    uint8_t shared[kDhSize];
    if (!Dh(mEphemeral, re, shared)) return HandshakeResult::kWeakKey;
    state.MixKey(shared, kDhSize);
    const uint8_t* p = data + kOffAfterEphemeral;
    uint8_t rs[kDhSize];
    if (state.DecryptAndHash(p, kDhSize + kTagSize, rs) < 0) return HandshakeResult::kBadTag;
    p += kDhSize + kTagSize;
    if (!Dh(mEphemeral, rs, shared)) return HandshakeResult::kWeakKey;
    state.MixKey(shared, kDhSize);
    sodium_memzero(shared, sizeof shared);
    uint8_t payload[kReplyPayloadSize];
    if (state.DecryptAndHash(p, kReplyPayloadSize + kTagSize, payload) < 0)
        return HandshakeResult::kBadTag;
    // Authentic from here on: whoever holds rs's secret wrote it. Is rs the DID's device?
    uint8_t suite = payload[0];
    if (!AllZero(payload + 1, 3)) return HandshakeResult::kMalformed;
    mVouch = VerifyCertificate(payload + 4, kCertificateSize, trusted, mDid, rs, nowSeconds);
    if (mVouch != VouchResult::kOk) return HandshakeResult::kNotVouched;
    if (PickSuite(suite, mSuites) != suite) return HandshakeResult::kNoCommonSuite;
    state.Split(keys->send, keys->receive);
    keys->suite = suite;
    std::memcpy(keys->handshakeHash, state.hash(), kHashSize);
    std::memcpy(keys->peerStatic, rs, kDhSize);
    mState = state;
    mStarted = false;  // one session per HELLO
    return HandshakeResult::kOk;
}

Responder::Responder(const KeyPair& staticKey, const uint8_t certificate[kCertificateSize],
                     uint8_t suites)
    : mStatic(staticKey), mSuites(suites) {
    std::memcpy(mCertificate, certificate, kCertificateSize);
}

HandshakeResult Responder::Respond(const uint8_t* hello, size_t length, const char* did,
                                   uint64_t session, uint8_t out[kReplySize], SessionKeys* keys,
                                   const KeyPair* ephemeral) {
    if (!ValidFrame(hello, length, kHelloSize, SecureType::kHello) || !IsValidDid(did))
        return HandshakeResult::kMalformed;
    if (mAnswered && session == mSession && std::strcmp(did, mDid) == 0 &&
        std::memcmp(hello, mHello, kHelloSize) == 0) {
        std::memcpy(out, mReply, kReplySize);
        *keys = mKeys;
        return HandshakeResult::kOk;
    }
    SymmetricState state(kProtocolName);
    MixPrologue(state, did, session);
    const uint8_t* re = hello + kOffEphemeral;
    state.MixHash(re, kDhSize);
    uint8_t helloPayload[kHelloPayloadSize];
    state.DecryptAndHash(hello + kOffAfterEphemeral, kHelloPayloadSize, helloPayload);
    if (!AllZero(helloPayload + 1, kHelloPayloadSize - 1)) return HandshakeResult::kMalformed;
    uint8_t suite = PickSuite(helloPayload[0], mSuites);
    if (suite == 0) return HandshakeResult::kNoCommonSuite;

    KeyPair e;
    if (ephemeral != nullptr) {
        e.FromSecret(ephemeral->secret);
    } else {
        e.Generate();
    }
    WriteFrame(out, SecureType::kReply);
    std::memcpy(out + kOffEphemeral, e.pub, kDhSize);
    state.MixHash(e.pub, kDhSize);
    uint8_t shared[kDhSize];
    if (!Dh(e, re, shared)) return HandshakeResult::kWeakKey;  // ee
    state.MixKey(shared, kDhSize);
    uint8_t* p = out + kOffAfterEphemeral;
    p += state.EncryptAndHash(mStatic.pub, kDhSize, p);              // s
    if (!Dh(mStatic, re, shared)) return HandshakeResult::kWeakKey;  // es
    state.MixKey(shared, kDhSize);
    sodium_memzero(shared, sizeof shared);
    uint8_t payload[kReplyPayloadSize] = {};
    payload[0] = suite;
    std::memcpy(payload + 4, mCertificate, kCertificateSize);
    state.EncryptAndHash(payload, sizeof payload, p);
    // The responder receives on the initiator's sending key and the other way round.
    state.Split(keys->receive, keys->send);
    keys->suite = suite;
    std::memcpy(keys->handshakeHash, state.hash(), kHashSize);
    std::memset(keys->peerStatic, 0, kDhSize);  // the viewer is anonymous to the transport
    mAnswered = true;
    std::memcpy(mHello, hello, kHelloSize);
    std::memset(mDid, 0, sizeof mDid);
    std::memcpy(mDid, did, std::strlen(did));
    mSession = session;
    std::memcpy(mReply, out, kReplySize);
    mKeys = *keys;
    return HandshakeResult::kOk;
}

}  // namespace zevo::p2p::secure
