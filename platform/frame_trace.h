#pragma once
// Per-frame tracing for latency figures. When ZEVO_FRAME_TRACE names a file (or a program
// sets one), each point a video frame passes appends "<point> <id> <microseconds>" to it,
// the time on CLOCK_MONOTONIC, which every process on the machine shares. The id is the
// stamp the frame carries in its packet head, so the device's file and the viewer's join
// on it. Off, a point costs one relaxed load and a branch.
#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

namespace zevo {

namespace detail {
// The trace file's descriptor plus one: 0 (also before static initialisation) is off.
extern std::atomic<int> gFrameTraceFd;
}  // namespace detail

inline bool FrameTraceOn() {
    return detail::gFrameTraceFd.load(std::memory_order_relaxed) > 0;
}

// CLOCK_MONOTONIC in microseconds.
uint64_t MonotonicUs();

// Appends one line stamped now, or at `us`; nothing while tracing is off. A line is one
// write to a file opened for appending, so threads and processes never interleave inside
// one.
void TraceFrame(const char* point, uint32_t id);
void TraceFrameAt(const char* point, uint32_t id, uint64_t us);

// Traces into path from now on (created or appended to); null or empty turns tracing off.
// False when the file cannot be opened (tracing is then off). The file traced into before
// stays open, so a thread still tracing never writes into a descriptor reused meanwhile.
bool SetFrameTraceFile(const char* path);

// One line of a trace file.
struct FrameTracePoint {
    std::string point;
    uint32_t id = 0;
    uint64_t us = 0;
};
// The lines of a trace file in the order written; lines that do not parse are left out.
std::vector<FrameTracePoint> ReadFrameTrace(const std::string& path);

}  // namespace zevo
