#include "media/pacing.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

// Paces one packet and returns how long Pace slept for it.
uint64_t PaceAndMeasure(PacingClock& clock, uint32_t timestamp, zevo::DrivenTickSource& ticks) {
    uint64_t before = ticks.TotalSlept();
    Pace(clock, timestamp, ticks);
    return ticks.TotalSlept() - before;
}

}  // namespace

TEST(Pacing, BurstIsReleasedAtTimestampSpacingAndLatePacketsPassAtOnce) {
    zevo::DrivenTickSource ticks(5000);
    PacingClock clock{0, 0, 0};
    std::vector<uint32_t> released;
    // Ten frames 40 ms apart all arrive at once.
    for (uint32_t k = 0; k < 10; ++k) {
        Pace(clock, 90000 + 40 * k, ticks);
        released.push_back(ticks.Now());
    }
    for (size_t k = 1; k < released.size(); ++k) EXPECT_EQ(released[k] - released[k - 1], 40u);
    EXPECT_EQ(clock.baseTick, 5000u);
    EXPECT_EQ(clock.baseStamp, 90000u);
    EXPECT_EQ(clock.lastTick, released.back() - 40);  // read before the sleep

    // The next frame arrives 300 ms late: no sleep, and no catching-up later either.
    ticks.Advance(300 + 40);
    EXPECT_EQ(PaceAndMeasure(clock, 90400, ticks), 0u);
    ticks.Advance(40);
    EXPECT_EQ(PaceAndMeasure(clock, 90440, ticks), 0u);
    EXPECT_EQ(clock.baseTick, 5000u);
}

TEST(Pacing, OnlyDelaysBetweenTenAndFiveHundredAreSlept) {
    zevo::DrivenTickSource ticks(1000);
    PacingClock clock{0, 0, 0};
    EXPECT_EQ(PaceAndMeasure(clock, 2000, ticks), 0u);  // sets the base

    EXPECT_EQ(PaceAndMeasure(clock, 2010, ticks), 0u);   // exactly 10 ms early
    EXPECT_EQ(PaceAndMeasure(clock, 2011, ticks), 11u);  // 11 ms early
    EXPECT_EQ(ticks.Now(), 1011u);

    EXPECT_EQ(PaceAndMeasure(clock, 2011 + 499, ticks), 499u);
    EXPECT_EQ(PaceAndMeasure(clock, 2510 + 500, ticks), 0u);  // 500 ahead passes at once
    EXPECT_EQ(PaceAndMeasure(clock, 2510 + 5000, ticks), 0u);
    EXPECT_EQ(clock.baseTick, 1000u);
    EXPECT_EQ(clock.baseStamp, 2000u);
}

TEST(Pacing, BackwardsTimestampsAndTickWrapReBase) {
    zevo::DrivenTickSource ticks(1000);
    PacingClock clock{0, 0, 0};
    Pace(clock, 50000, ticks);
    ticks.Advance(20);
    EXPECT_EQ(PaceAndMeasure(clock, 40000, ticks), 0u);  // lower than the base: plays at once
    EXPECT_EQ(clock.baseStamp, 40000u);
    EXPECT_EQ(clock.baseTick, 1020u);
    EXPECT_EQ(PaceAndMeasure(clock, 40040, ticks), 40u);  // paced from the new base

    // The tick count wraps past zero.
    zevo::DrivenTickSource wrapping(0xFFFFFF00u);
    PacingClock wrapped{0, 0, 0};
    Pace(wrapped, 1000, wrapping);
    wrapping.Advance(0x100 + 5);  // now 5, below baseTick
    EXPECT_EQ(PaceAndMeasure(wrapped, 1040, wrapping), 0u);
    EXPECT_EQ(wrapped.baseTick, 5u);
    EXPECT_EQ(wrapped.baseStamp, 1040u);
    EXPECT_EQ(PaceAndMeasure(wrapped, 1080, wrapping), 40u);
}

TEST(Pacing, ZeroTimestampsReBaseUntilTheFirstNonZeroOne) {
    zevo::DrivenTickSource ticks(700);
    PacingClock clock{0, 0, 0};
    for (int k = 0; k < 3; ++k) {
        EXPECT_EQ(PaceAndMeasure(clock, 0, ticks), 0u);
        EXPECT_EQ(clock.baseTick, ticks.Now());  // a fresh base at every packet
        ticks.Advance(40);
    }
    EXPECT_EQ(PaceAndMeasure(clock, 3000, ticks), 0u);  // first non-zero: the base
    EXPECT_EQ(clock.baseStamp, 3000u);
    EXPECT_EQ(clock.baseTick, 820u);
    EXPECT_EQ(PaceAndMeasure(clock, 3040, ticks), 40u);
}

TEST(Pacing, ClockWithZeroBaseTickIsBasedAgain) {
    // A base tick of 0 reads as "no base yet", so the next packet sets it anew.
    zevo::DrivenTickSource ticks(0);
    PacingClock clock{0, 0, 0};
    Pace(clock, 100, ticks);
    EXPECT_EQ(clock.baseTick, 0u);
    ticks.Advance(1);
    EXPECT_EQ(PaceAndMeasure(clock, 200, ticks), 0u);
    EXPECT_EQ(clock.baseTick, 1u);
    EXPECT_EQ(clock.baseStamp, 200u);
}
