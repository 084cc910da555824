#include "platform/frame_trace.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace zevo {
namespace {

std::string TempPath(const char* name) {
    return ::testing::TempDir() + name + std::to_string(getpid());
}

// Lines written by threads at once come back whole, each once, and nothing after tracing
// is turned off.
TEST(FrameTrace, LinesFromManyThreadsStayWholeUntilTracingEnds) {
    const std::string path = TempPath("frame-trace-");
    std::remove(path.c_str());
    ASSERT_TRUE(SetFrameTraceFile(path.c_str()));
    ASSERT_TRUE(FrameTraceOn());
    constexpr int kThreads = 4, kLines = 500;
    std::vector<std::thread> writers;
    const uint64_t before = MonotonicUs();
    for (int t = 0; t < kThreads; ++t) {
        writers.emplace_back([t] {
            for (int i = 0; i < kLines; ++i) TraceFrame(t % 2 ? "shown" : "pushed", t * kLines + i);
        });
    }
    for (auto& w : writers) w.join();
    ASSERT_TRUE(SetFrameTraceFile(nullptr));
    EXPECT_FALSE(FrameTraceOn());
    TraceFrame("late", 1);
    TraceFrameAt("late", 2, 5);

    const std::vector<FrameTracePoint> points = ReadFrameTrace(path);
    ASSERT_EQ(points.size(), size_t(kThreads * kLines));
    std::set<uint32_t> ids;
    for (const FrameTracePoint& p : points) {
        EXPECT_EQ(p.point, (p.id / kLines) % 2 ? "shown" : "pushed");
        EXPECT_GE(p.us, before);
        EXPECT_LE(p.us, MonotonicUs());
        ids.insert(p.id);
    }
    EXPECT_EQ(ids.size(), size_t(kThreads * kLines));
    std::remove(path.c_str());
}

TEST(FrameTrace, ReadingSkipsWhatDoesNotParseAndOpeningFailsOff) {
    const std::string path = TempPath("frame-trace-read-");
    std::ofstream(path) << "sent 7 100\n"
                           "garbage\n"
                           "shown x 5\n"
                           "shown 4294967295 18446744073709551615\n"
                           "capture 9\n";
    const std::vector<FrameTracePoint> points = ReadFrameTrace(path);
    ASSERT_EQ(points.size(), 2u);
    EXPECT_EQ(points[0].point, "sent");
    EXPECT_EQ(points[0].id, 7u);
    EXPECT_EQ(points[0].us, 100u);
    EXPECT_EQ(points[1].id, 4294967295u);
    EXPECT_EQ(points[1].us, 18446744073709551615ull);
    std::remove(path.c_str());

    EXPECT_FALSE(SetFrameTraceFile("/nonexistent-folder/trace"));
    EXPECT_FALSE(FrameTraceOn());
}

}  // namespace
}  // namespace zevo
