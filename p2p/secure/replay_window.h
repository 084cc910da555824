#pragma once
// Which datagram counters a receiver has already accepted: the highest one and a bitmap of
// the kReplayWindow counters below it (one bit each), so datagrams reordered by up to that
// many still open, and none opens twice. Check before the tag is verified (cheap rejection),
// Accept only after it was.
#include <cstddef>
#include <cstdint>

namespace zevo::p2p::secure {

constexpr uint64_t kReplayWindow = 2048;

class ReplayWindow {
public:
    enum class Verdict { kFresh, kReplay, kTooOld };

    Verdict Check(uint64_t counter) const;
    void Accept(uint64_t counter);

    // The highest counter accepted so far (0 when none; counters start at 1).
    uint64_t highest() const { return mHighest; }

private:
    // One word more than the window, so the word holding the highest counter never
    // shares its slot with the oldest counter still inside.
    static constexpr size_t kWords = kReplayWindow / 64 + 1;
    bool Test(uint64_t counter) const {
        return (mBits[(counter / 64) % kWords] >> (counter % 64)) & 1;
    }

    uint64_t mHighest = 0;
    uint64_t mBits[kWords] = {};  // bit for counter c at word (c/64)%kWords, bit c%64
};

}  // namespace zevo::p2p::secure
