#pragma once
// Paces a stream by its packet timestamps against the local tick count. Video and
// ADPCM audio each keep one clock.
#include <cstdint>

#include "platform/tick_clock.h"

// Milliseconds: the tick and timestamp that map onto each other, and the tick read at
// the latest paced packet.
struct PacingClock {
    uint32_t baseTick;
    uint32_t baseStamp;
    uint32_t lastTick;
};

// Sleeps until the packet's time when it is more than 10 and less than 500 ms early;
// on-time, late and far-early packets pass at once without moving the base. The base
// is (re)set at the first packet, when the tick count wraps and when timestamps go
// backwards.
void Pace(PacingClock& clock, uint32_t timestamp, zevo::TickSource& ticks);
