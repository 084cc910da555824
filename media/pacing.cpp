#include "media/pacing.h"

void Pace(PacingClock& clock, uint32_t timestamp, zevo::TickSource& ticks) {
    const uint32_t now = ticks.Now();
    clock.lastTick = now;
    if (clock.baseStamp == 0 || clock.baseTick == 0) {
        clock.baseStamp = timestamp;
        clock.baseTick = now;
    }
    if (now < clock.baseTick || timestamp < clock.baseStamp) {
        clock.baseStamp = timestamp;
        clock.baseTick = now;
    }
    const auto delay = static_cast<int32_t>((timestamp - clock.baseStamp) - (now - clock.baseTick));
    if (delay > 10 && delay < 500) ticks.Sleep(static_cast<uint32_t>(delay));
}
