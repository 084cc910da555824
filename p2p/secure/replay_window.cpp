#include "p2p/secure/replay_window.h"

namespace zevo::p2p::secure {

// The bitmap is a ring of words indexed by counter/64; the words the highest counter moves
// into are cleared as it advances.
ReplayWindow::Verdict ReplayWindow::Check(uint64_t counter) const {
    if (counter == 0) return Verdict::kReplay;  // never sent
    if (counter > mHighest) return Verdict::kFresh;
    if (mHighest - counter >= kReplayWindow) return Verdict::kTooOld;
    return Test(counter) ? Verdict::kReplay : Verdict::kFresh;
}

void ReplayWindow::Accept(uint64_t counter) {
    if (counter > mHighest) {
        uint64_t oldWord = mHighest / 64, newWord = counter / 64;
        uint64_t steps = newWord - oldWord;
        if (steps >= kWords) steps = kWords;
        for (uint64_t i = 1; i <= steps; ++i) mBits[(oldWord + i) % kWords] = 0;
        mHighest = counter;
    }
    mBits[(counter / 64) % kWords] |= uint64_t(1) << (counter % 64);
}

}  // namespace zevo::p2p::secure
