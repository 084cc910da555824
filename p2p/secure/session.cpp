#include "p2p/secure/session.h"

#include <cstring>

namespace zevo::p2p::secure {
namespace {

void CountEarly(DropCounts* d, OpenResult r) {
    switch (r) {
        case OpenResult::kMalformed:
            ++d->malformed;
            break;
        case OpenResult::kBadTag:
            ++d->badTag;
            break;
        case OpenResult::kReplay:
            ++d->replay;
            break;
        case OpenResult::kTooOld:
            ++d->tooOld;
            break;
        case OpenResult::kStaleKey:
            ++d->staleKey;
            break;
        case OpenResult::kOk:
        case OpenResult::kNoRoom:
            break;
    }
}

SecureType TypeOf(const uint8_t* in, size_t length, bool* secure) {
    SecureType type = SecureType::kData;
    *secure = PeekSecure(in, length, &type);
    return type;
}

}  // namespace

// ---- viewer

ViewerSession::ViewerSession(const char* did, uint64_t session,
                             std::vector<ServicePublicKey> trusted, uint8_t suites,
                             RekeyPolicy policy)
    : mTrusted(std::move(trusted)), mPolicy(policy) {
    mInitiator.Start(did, session, suites, mHello);
}

size_t ViewerSession::PollHello(uint64_t nowMs, uint8_t out[kHelloSize]) {
    if (established() || (mHelloSent && nowMs < mNextHelloMs)) return 0;
    mHelloSent = true;
    mNextHelloMs = nowMs + kHelloIntervalMs;
    std::memcpy(out, mHello, kHelloSize);
    return kHelloSize;
}

Received ViewerSession::Receive(const uint8_t* in, size_t length, uint8_t* out, size_t capacity,
                                size_t* outLength, uint64_t nowMs, uint64_t nowSeconds) {
    bool secure = false;
    SecureType type = TypeOf(in, length, &secure);
    if (secure && type == SecureType::kData && mChannel) {
        OpenResult r = mChannel->Open(in, length, out, capacity, outLength, nowMs);
        return r == OpenResult::kOk ? Received::kData : Received::kDropped;
    }
    if (!secure) {
        ++mMalformed;
        return Received::kDropped;
    }
    if (type != SecureType::kReply || mChannel) {
        ++mHandshakeDrops;  // out of place
        return Received::kDropped;
    }
    SessionKeys keys;
    HandshakeResult r = mInitiator.ReadReply(in, length, mTrusted, nowSeconds, &keys);
    if (r != HandshakeResult::kOk) {
        ++mHandshakeDrops;
        if (r == HandshakeResult::kBadTag || r == HandshakeResult::kNotVouched ||
            r == HandshakeResult::kWeakKey) {
            mAuthenticityFailed = true;
            mLastFailure = r;
        }
        return Received::kDropped;
    }
    mChannel = std::make_unique<SecureChannel>(keys, nowMs, mPolicy);
    *outLength = 0;
    return Received::kEstablished;
}

size_t ViewerSession::Seal(const uint8_t* plain, size_t length, uint8_t* out, size_t capacity,
                           uint64_t nowMs) {
    return mChannel ? mChannel->Seal(plain, length, out, capacity, nowMs) : 0;
}

DropCounts ViewerSession::drops() const {
    DropCounts d = mChannel ? mChannel->drops() : DropCounts{};
    d.malformed += mMalformed;
    d.handshake = mHandshakeDrops;
    return d;
}

// ---- device

DeviceSession::DeviceSession(const char* did, uint64_t session, const KeyPair& staticKey,
                             const uint8_t certificate[kCertificateSize], uint8_t suites,
                             RekeyPolicy policy)
    : mSession(session), mResponder(staticKey, certificate, suites), mPolicy(policy) {
    std::strncpy(mDid, did, kDidFieldSize);
}

Received DeviceSession::Receive(const uint8_t* in, size_t length, uint8_t* out, size_t capacity,
                                size_t* outLength, uint64_t nowMs) {
    bool secure = false;
    SecureType type = TypeOf(in, length, &secure);
    if (secure && type == SecureType::kData) {
        if (mChannel) {
            OpenResult r = mChannel->Open(in, length, out, capacity, outLength, nowMs);
            return r == OpenResult::kOk ? Received::kData : Received::kDropped;
        }
        // Not committed yet: the newest handshake first, it is the likeliest.
        OpenResult last = OpenResult::kMalformed;
        for (size_t i = mPending.size(); i-- > 0;) {
            last = mPending[i].channel->Open(in, length, out, capacity, outLength, nowMs);
            if (last == OpenResult::kOk) {
                mChannel = std::move(mPending[i].channel);
                mAtCommit = mChannel->drops();
                mPending.clear();
                return Received::kData;
            }
        }
        CountEarly(&mEarly, last);
        return Received::kDropped;
    }
    if (!secure) {
        ++mEarly.malformed;
        return Received::kDropped;
    }
    if (type != SecureType::kHello || mChannel || capacity < kReplySize) {
        ++mHandshakeDrops;
        return Received::kDropped;
    }
    for (const auto& p : mPending) {
        if (length == kHelloSize && std::memcmp(p.hello.data(), in, kHelloSize) == 0) {
            std::memcpy(out, p.reply.data(), kReplySize);  // a retransmission
            *outLength = kReplySize;
            return Received::kSend;
        }
    }
    Pending p;
    SessionKeys keys;
    if (mResponder.Respond(in, length, mDid, mSession, p.reply.data(), &keys) !=
        HandshakeResult::kOk) {
        ++mHandshakeDrops;
        return Received::kDropped;
    }
    std::memcpy(p.hello.data(), in, kHelloSize);
    p.channel = std::make_unique<SecureChannel>(keys, nowMs, mPolicy);
    if (mPending.size() == kMaxPending) mPending.erase(mPending.begin());
    mPending.push_back(std::move(p));
    std::memcpy(out, mPending.back().reply.data(), kReplySize);
    *outLength = kReplySize;
    return Received::kSend;
}

size_t DeviceSession::Seal(const uint8_t* plain, size_t length, uint8_t* out, size_t capacity,
                           uint64_t nowMs) {
    return mChannel ? mChannel->Seal(plain, length, out, capacity, nowMs) : 0;
}

DropCounts DeviceSession::drops() const {
    DropCounts d = mEarly;
    if (mChannel) {
        DropCounts c = mChannel->drops();
        d.malformed += c.malformed - mAtCommit.malformed;
        d.badTag += c.badTag - mAtCommit.badTag;
        d.replay += c.replay - mAtCommit.replay;
        d.tooOld += c.tooOld - mAtCommit.tooOld;
        d.staleKey += c.staleKey - mAtCommit.staleKey;
    }
    d.handshake = mHandshakeDrops;
    return d;
}

}  // namespace zevo::p2p::secure
