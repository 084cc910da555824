#include "platform/tick_clock.h"

#include <gtest/gtest.h>

namespace zevo {

TEST(TickClock, SystemTicksMoveForwardAcrossASleep) {
    TickSource& ticks = SystemTickSource();
    uint32_t before = ticks.Now();
    ticks.Sleep(20);
    uint32_t elapsed = ticks.Now() - before;
    EXPECT_GE(elapsed, 20u);
    EXPECT_LT(elapsed, 2000u);
}

TEST(TickClock, DrivenSourceWrapsLikeTheTickCount) {
    DrivenTickSource ticks(0xFFFFFFF0u);
    uint32_t start = ticks.Now();
    ticks.Sleep(0x20);
    EXPECT_EQ(ticks.Now(), 0x10u);
    EXPECT_EQ(ticks.Now() - start, 0x20u);  // unsigned difference survives the wrap
    EXPECT_EQ(ticks.TotalSlept(), 0x20u);
}

}  // namespace zevo
