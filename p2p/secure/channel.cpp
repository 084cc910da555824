#include "p2p/secure/channel.h"

#include <sodium.h>

#include <cstring>

#include "p2p/secure/wire_format.h"

namespace zevo::p2p::secure {
namespace {

constexpr uint8_t kDataType = TypeByte(SecureType::kData);

}  // namespace

void NextEpochKey(const uint8_t key[kKeySize], uint8_t out[kKeySize]) {
    static constexpr char kLabel[] = "zevo-p2p next epoch";
    uint8_t next[kKeySize];  // out may be key
    crypto_generichash(next, kKeySize, reinterpret_cast<const uint8_t*>(kLabel), sizeof kLabel - 1,
                       key, kKeySize);
    std::memcpy(out, next, kKeySize);
    sodium_memzero(next, sizeof next);
}

SecureChannel::SecureChannel(const SessionKeys& keys, uint64_t nowMs, RekeyPolicy policy)
    : mPolicy(policy), mSuite(keys.suite), mEpochStartMs(nowMs) {
    std::memcpy(mSendKey, keys.send, kKeySize);
    std::memcpy(mReceiveKey, keys.receive, kKeySize);
    mSend.SetKey(mSuite, mSendKey);
    mCurrent.SetKey(mSuite, mReceiveKey);
}

SecureChannel::~SecureChannel() {
    sodium_memzero(mSendKey, sizeof mSendKey);
    sodium_memzero(mReceiveKey, sizeof mReceiveKey);
}

void SecureChannel::RotateSend(uint64_t nowMs) {
    NextEpochKey(mSendKey, mSendKey);
    mSend.SetKey(mSuite, mSendKey);
    ++mSendEpoch;
    mSentInEpoch = 0;
    mEpochStartMs = nowMs;
}

size_t SecureChannel::Seal(const uint8_t* plain, size_t length, uint8_t* out, size_t capacity,
                           uint64_t nowMs) {
    if (!mSend.HasKey() || capacity < kOverhead || length > capacity - kOverhead) return 0;
    if (mNextCounter == UINT64_MAX) return 0;  // the session must end before a nonce repeats
    if (mSentInEpoch >= mPolicy.afterDatagrams || nowMs - mEpochStartMs >= mPolicy.afterMs)
        RotateSend(nowMs);
    uint64_t counter = mNextCounter++;
    ++mSentInEpoch;
    out[0] = kMarker;
    out[1] = kDataType;
    out[2] = uint8_t(mSendEpoch);
    out[3] = 0;
    PutU64(out + 4, counter);
    if (!mSend.Seal(counter, out, kDataHeaderSize, plain, length, out + kDataHeaderSize)) return 0;
    return length + kOverhead;
}

void SecureChannel::Count(OpenResult result) {
    int index = -1;
    switch (result) {
        case OpenResult::kMalformed:
            index = 0;
            break;
        case OpenResult::kBadTag:
            index = 1;
            break;
        case OpenResult::kReplay:
            index = 2;
            break;
        case OpenResult::kTooOld:
            index = 3;
            break;
        case OpenResult::kStaleKey:
            index = 4;
            break;
        case OpenResult::kOk:
        case OpenResult::kNoRoom:
            break;
    }
    if (index >= 0) mDrops[index].fetch_add(1, std::memory_order_relaxed);
}

DropCounts SecureChannel::drops() const {
    DropCounts d;
    d.malformed = mDrops[0].load(std::memory_order_relaxed);
    d.badTag = mDrops[1].load(std::memory_order_relaxed);
    d.replay = mDrops[2].load(std::memory_order_relaxed);
    d.tooOld = mDrops[3].load(std::memory_order_relaxed);
    d.staleKey = mDrops[4].load(std::memory_order_relaxed);
    return d;
}

OpenResult SecureChannel::Open(const uint8_t* in, size_t length, uint8_t* out, size_t capacity,
                               size_t* plainLength, uint64_t nowMs) {
    auto refuse = [this](OpenResult r) {
        Count(r);
        return r;
    };
    if (in == nullptr || length < kOverhead || in[0] != kMarker || in[1] != kDataType || in[3] != 0)
        return refuse(OpenResult::kMalformed);
    size_t plain = length - kOverhead;
    if (capacity < plain) return OpenResult::kNoRoom;
    uint64_t counter = GetU64(in + 4);
    switch (mWindow.Check(counter)) {
        case ReplayWindow::Verdict::kReplay:
            return refuse(OpenResult::kReplay);
        case ReplayWindow::Verdict::kTooOld:
            return refuse(OpenResult::kTooOld);
        case ReplayWindow::Verdict::kFresh:
            break;
    }
    if (mPrevious.HasKey() && nowMs >= mPreviousUntilMs) mPrevious.Clear();
    uint8_t epoch = in[2];
    const Aead* key = nullptr;
    bool advance = false;
    if (epoch == uint8_t(mReceiveEpoch)) {
        key = &mCurrent;
    } else if (epoch == uint8_t(mReceiveEpoch - 1) && mPrevious.HasKey()) {
        key = &mPrevious;
    } else if (epoch == uint8_t(mReceiveEpoch + 1)) {
        if (!mNext.HasKey()) {
            uint8_t next[kKeySize];
            NextEpochKey(mReceiveKey, next);
            mNext.SetKey(mSuite, next);
            sodium_memzero(next, sizeof next);
        }
        key = &mNext;
        advance = true;
    } else {
        return refuse(OpenResult::kStaleKey);
    }
    if (!key->Open(counter, in, kDataHeaderSize, in + kDataHeaderSize, plain, out))
        return refuse(OpenResult::kBadTag);
    mWindow.Accept(counter);
    if (advance) {
        // The peer moved on: current becomes previous for the overlap, next becomes current.
        mPrevious.SetKey(mSuite, mReceiveKey);
        NextEpochKey(mReceiveKey, mReceiveKey);
        mCurrent.SetKey(mSuite, mReceiveKey);
        mNext.Clear();
        mPreviousUntilMs = nowMs + mPolicy.overlapMs;
        ++mReceiveEpoch;
    }
    *plainLength = plain;
    return OpenResult::kOk;
}

}  // namespace zevo::p2p::secure
