#include "platform/frame_trace.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <sstream>

namespace zevo {

namespace {

// The descriptor plus one, or 0.
int OpenTraceFile(const char* path) {
    if (path == nullptr || *path == '\0') return 0;
    const int fd = ::open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    return fd < 0 ? 0 : fd + 1;
}

}  // namespace

namespace detail {
// Read before main, so the first frame of a traced program is traced too.
std::atomic<int> gFrameTraceFd{OpenTraceFile(std::getenv("ZEVO_FRAME_TRACE"))};
}  // namespace detail

uint64_t MonotonicUs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<uint64_t>(now.tv_sec) * 1000000u +
           static_cast<uint64_t>(now.tv_nsec) / 1000u;
}

void TraceFrame(const char* point, uint32_t id) {
    if (FrameTraceOn()) TraceFrameAt(point, id, MonotonicUs());
}

void TraceFrameAt(const char* point, uint32_t id, uint64_t us) {
    const int fd = detail::gFrameTraceFd.load(std::memory_order_relaxed) - 1;
    if (fd < 0) return;
    char line[96];
    const int length = std::snprintf(line, sizeof line, "%s %u %llu\n", point, id,
                                     static_cast<unsigned long long>(us));
    if (length <= 0 || length >= static_cast<int>(sizeof line)) return;
    // A line that cannot be written is lost; tracing never holds up a frame.
    [[maybe_unused]] const ssize_t written = ::write(fd, line, static_cast<size_t>(length));
}

bool SetFrameTraceFile(const char* path) {
    const int fd = OpenTraceFile(path);
    detail::gFrameTraceFd.store(fd, std::memory_order_relaxed);
    return fd > 0 || path == nullptr || *path == '\0';
}

std::vector<FrameTracePoint> ReadFrameTrace(const std::string& path) {
    std::vector<FrameTracePoint> points;
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        FrameTracePoint p;
        if (fields >> p.point >> p.id >> p.us) points.push_back(std::move(p));
    }
    return points;
}

}  // namespace zevo
