#pragma once
// Sealing and opening the datagrams of one session after its handshake:
//   'S' | 0x13 | epoch u8 | 0 | counter u64 LE | ciphertext | tag[16]
// The first 12 bytes are the associated data; the nonce is 4 zero bytes and the counter.
// Counters run from 1 for the whole session in each direction, never repeat and are
// checked against a replay window. Keys rotate: the sender moves to the next epoch after
// a number of datagrams or some time, the receiver follows when a datagram of the next
// epoch authenticates and keeps the previous key a while for datagrams still in flight.
// One thread uses a channel; only the drop counters may be read from others.
#include <atomic>
#include <cstddef>
#include <cstdint>

#include "p2p/secure/aead.h"
#include "p2p/secure/handshake.h"
#include "p2p/secure/replay_window.h"

namespace zevo::p2p::secure {

constexpr size_t kDataHeaderSize = 12;
constexpr size_t kOverhead = kDataHeaderSize + kTagSize;  // 28 bytes per datagram

struct RekeyPolicy {
    uint64_t afterDatagrams = uint64_t(1) << 28;  // per key, well inside either cipher's limits
    uint64_t afterMs = 120000;
    uint64_t overlapMs = 10000;  // the previous receive key lives this long after a change
};

// Why datagrams were dropped, by cause.
struct DropCounts {
    uint64_t malformed = 0;  // too short, wrong marker, type or reserved byte
    uint64_t badTag = 0;     // altered, forged or under another key
    uint64_t replay = 0;     // counter already accepted
    uint64_t tooOld = 0;     // counter behind the replay window
    uint64_t staleKey = 0;   // epoch neither previous (still kept), current nor next
    uint64_t handshake = 0;  // handshake messages refused or out of place (see session.h)
};

enum class OpenResult { kOk, kMalformed, kBadTag, kReplay, kTooOld, kStaleKey, kNoRoom };

class SecureChannel {
public:
    SecureChannel(const SessionKeys& keys, uint64_t nowMs, RekeyPolicy policy = {});
    ~SecureChannel();
    SecureChannel(const SecureChannel&) = delete;
    SecureChannel& operator=(const SecureChannel&) = delete;

    // Seals length bytes into out (length + kOverhead bytes). plain may sit at
    // out + kDataHeaderSize (sealed in place) or anywhere not overlapping out. Returns
    // the datagram's length, or 0 when it does not fit in capacity.
    size_t Seal(const uint8_t* plain, size_t length, uint8_t* out, size_t capacity, uint64_t nowMs);

    // Opens one datagram into out; out may be in + kDataHeaderSize (opened in place).
    // Every refusal but kNoRoom (the caller's buffer) is counted.
    OpenResult Open(const uint8_t* in, size_t length, uint8_t* out, size_t capacity,
                    size_t* plainLength, uint64_t nowMs);

    DropCounts drops() const;
    uint64_t sendEpoch() const { return mSendEpoch; }
    uint64_t receiveEpoch() const { return mReceiveEpoch; }

private:
    void RotateSend(uint64_t nowMs);
    void Count(OpenResult result);

    RekeyPolicy mPolicy;
    uint8_t mSuite;
    // Sending.
    Aead mSend;
    uint8_t mSendKey[kKeySize];
    uint64_t mSendEpoch = 0;
    uint64_t mNextCounter = 1;
    uint64_t mSentInEpoch = 0;
    uint64_t mEpochStartMs;
    // Receiving: keys of the previous, current and next epoch.
    Aead mPrevious, mCurrent, mNext;
    uint8_t mReceiveKey[kKeySize];  // the current epoch's, to derive the next
    uint64_t mReceiveEpoch = 0;
    uint64_t mPreviousUntilMs = 0;
    ReplayWindow mWindow;
    std::atomic<uint64_t> mDrops[5] = {};
};

// The key of the epoch after key's (out may be key): keyed BLAKE2b-256, so old keys cannot
// be recovered from new ones.
void NextEpochKey(const uint8_t key[kKeySize], uint8_t out[kKeySize]);

}  // namespace zevo::p2p::secure
