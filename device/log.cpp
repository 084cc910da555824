#include "device/log.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <ctime>
#include <mutex>

#include "platform/tick_clock.h"

namespace zevo::camd {

namespace {
std::atomic<int> gLevel{int(LogLevel::Info)};
std::mutex gLogLock;
}  // namespace

void SetLogLevel(LogLevel level) {
    gLevel.store(int(level));
}

bool LogEnabled(LogLevel level) {
    return int(level) <= gLevel.load(std::memory_order_relaxed);
}

void Log(LogLevel level, const char* format, ...) {
    char text[1024];
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof text, format, args);
    va_end(args);

    timespec wall{};
    clock_gettime(CLOCK_REALTIME, &wall);
    tm local{};
    localtime_r(&wall.tv_sec, &local);
    uint32_t tick = TickCount();
    std::lock_guard<std::mutex> hold(gLogLock);
    fprintf(stderr, "%02d:%02d:%02d.%03ld mono=%u %s %s\n", local.tm_hour, local.tm_min,
            local.tm_sec, wall.tv_nsec / 1000000, tick, LogLevelName(level), text);
    fflush(stderr);
}

}  // namespace zevo::camd
