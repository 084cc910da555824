#pragma once
// Log lines on stderr: wall-clock time, the monotonic millisecond count that packets
// may be stamped with, the level and the text. Tests read the monotonic field to
// measure the time between the commands a viewer sent.
#include "device/config.h"

namespace zevo::camd {

void SetLogLevel(LogLevel level);
bool LogEnabled(LogLevel level);
void Log(LogLevel level, const char* format, ...) __attribute__((format(printf, 2, 3)));

}  // namespace zevo::camd

#define CAMD_LOG(level, ...)                                                        \
    do {                                                                            \
        if (::zevo::camd::LogEnabled(level)) ::zevo::camd::Log(level, __VA_ARGS__); \
    } while (0)
#define LOG_ERROR(...) CAMD_LOG(::zevo::camd::LogLevel::Error, __VA_ARGS__)
#define LOG_WARN(...) CAMD_LOG(::zevo::camd::LogLevel::Warn, __VA_ARGS__)
#define LOG_INFO(...) CAMD_LOG(::zevo::camd::LogLevel::Info, __VA_ARGS__)
#define LOG_DEBUG(...) CAMD_LOG(::zevo::camd::LogLevel::Debug, __VA_ARGS__)
