// The replay window against a plain model: a counter opens once, and only while it is
// within kReplayWindow of the highest accepted.
#include "p2p/secure/replay_window.h"

#include <gtest/gtest.h>

#include <random>
#include <set>
#include <vector>

namespace secure = zevo::p2p::secure;
using secure::kReplayWindow;
using Verdict = secure::ReplayWindow::Verdict;

namespace {

struct Step {
    uint64_t counter;
    Verdict expected;
};

struct Case {
    const char* name;
    std::vector<Step> steps;
};

TEST(ReplayWindow, Sequences) {
    const uint64_t w = kReplayWindow;
    const std::vector<Case> cases = {
        {"in order", {{1, Verdict::kFresh}, {2, Verdict::kFresh}, {3, Verdict::kFresh}}},
        {"counter zero is never sent", {{0, Verdict::kReplay}}},
        {"duplicate", {{5, Verdict::kFresh}, {5, Verdict::kReplay}}},
        {"reordered inside",
         {{10, Verdict::kFresh},
          {7, Verdict::kFresh},
          {9, Verdict::kFresh},
          {7, Verdict::kReplay},
          {8, Verdict::kFresh}}},
        {"edge of the window",
         {{w + 100, Verdict::kFresh}, {101, Verdict::kFresh}, {100, Verdict::kTooOld}}},
        {"a jump forgets nothing inside",
         {{64, Verdict::kFresh}, {64 + w - 1, Verdict::kFresh}, {64, Verdict::kReplay}}},
        // After a long jump a ring slot is reused: an old accepted counter in it must not
        // make a new counter in the same slot look replayed.
        {"slot reuse",
         {{3, Verdict::kFresh},
          {3 + 64 * 33 + w - 1, Verdict::kFresh},
          {3 + 64 * 33, Verdict::kFresh},
          {3 + 64 * 33, Verdict::kReplay}}},
        {"huge jump",
         {{1, Verdict::kFresh},
          {uint64_t(1) << 62, Verdict::kFresh},
          {(uint64_t(1) << 62) - 1, Verdict::kFresh},
          {1, Verdict::kTooOld}}},
    };
    for (const auto& c : cases) {
        secure::ReplayWindow window;
        for (size_t i = 0; i < c.steps.size(); ++i) {
            Verdict v = window.Check(c.steps[i].counter);
            EXPECT_EQ(v, c.steps[i].expected) << c.name << ", step " << i;
            if (v == Verdict::kFresh) window.Accept(c.steps[i].counter);
        }
    }
}

TEST(ReplayWindow, MatchesModelUnderRandomReordering) {
    std::mt19937_64 rng(7);
    secure::ReplayWindow window;
    std::set<uint64_t> accepted;
    uint64_t highest = 0;
    uint64_t next = 1;
    for (int i = 0; i < 200000; ++i) {
        // Mostly new counters with jitter, sometimes an old one again, sometimes a jump.
        uint64_t counter;
        switch (rng() % 8) {
            case 0:
                counter = highest > 3000 ? highest - rng() % 3000 : rng() % 3000;
                break;
            case 1:
                next += rng() % 5000;
                counter = next;
                break;
            default:
                counter = next + rng() % 64;
                next += 1 + rng() % 3;
                break;
        }
        Verdict expected =
            counter == 0 || accepted.count(counter) ? Verdict::kReplay : Verdict::kFresh;
        if (counter != 0 && counter <= highest && highest - counter >= kReplayWindow)
            expected = Verdict::kTooOld;
        ASSERT_EQ(window.Check(counter), expected) << "counter " << counter << " at " << i;
        if (expected == Verdict::kFresh) {
            window.Accept(counter);
            accepted.insert(counter);
            if (counter > highest) highest = counter;
        }
        ASSERT_EQ(window.highest(), highest);
    }
}

}  // namespace
