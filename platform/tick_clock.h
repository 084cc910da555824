#pragma once
// The millisecond tick count and sleep of the system. The tick count is an unsigned
// 32-bit value that wraps after about 49.7 days, so every elapsed-time computation must
// be done as an unsigned difference.
#include <cstdint>

namespace zevo {

// Milliseconds on a monotonic clock, truncated to 32 bits.
uint32_t TickCount();

// Blocks the calling thread for at least the given milliseconds.
void SleepMs(uint32_t ms);

// What a sleeper may be woken by before its time is up (for instance a queue getting
// packets). WaitAtMost returns when woken or after ms milliseconds, whichever is first.
class WakeSource {
public:
    virtual ~WakeSource() = default;
    virtual void WaitAtMost(uint32_t ms) = 0;
};

// Where pacing and the media consumers take their time from. The system source reads
// the monotonic clock; tests install a driven one so nothing waits in real time.
class TickSource {
public:
    virtual ~TickSource() = default;
    virtual uint32_t Now() = 0;
    virtual void Sleep(uint32_t ms) = 0;
    // One idle step of a thread that polls in steps of stepMs for work `wake` announces.
    // The system source waits for the wake alone, up to kIdleBoundMs, so an idle thread
    // costs no wake-ups; whoever ends the thread must wake it too (the bound only caps
    // the wait when nobody does). A source whose time only moves when told to takes one
    // step as a plain Sleep: what would wake it happens between the calls of the code
    // under test, not during them.
    virtual void IdleUntilWoken(uint32_t stepMs, WakeSource& wake) {
        (void)wake;
        Sleep(stepMs);
    }
    static constexpr uint32_t kIdleBoundMs = 250;
};

TickSource& SystemTickSource();

// A source that only moves when told to; Sleep advances it, so code under test that
// sleeps simply moves time forward.
class DrivenTickSource : public TickSource {
public:
    explicit DrivenTickSource(uint32_t start = 0) : mNow(start) {}
    uint32_t Now() override { return mNow; }
    void Sleep(uint32_t ms) override {
        mNow += ms;
        mSlept += ms;
    }
    void Advance(uint32_t ms) { mNow += ms; }
    uint64_t TotalSlept() const { return mSlept; }

private:
    uint32_t mNow;
    uint64_t mSlept = 0;
};

}  // namespace zevo
