#include "platform/tick_clock.h"

#include <chrono>
#include <thread>

namespace zevo {

uint32_t TickCount() {
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now().time_since_epoch());
    return static_cast<uint32_t>(ms.count());
}

void SleepMs(uint32_t ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

namespace {
class SystemTicks final : public TickSource {
public:
    uint32_t Now() override { return TickCount(); }
    void Sleep(uint32_t ms) override { SleepMs(ms); }
    void IdleUntilWoken(uint32_t, WakeSource& wake) override { wake.WaitAtMost(kIdleBoundMs); }
};
}  // namespace

TickSource& SystemTickSource() {
    static SystemTicks source;
    return source;
}

}  // namespace zevo
