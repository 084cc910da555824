// Frame tracing through the real programs: zevo-camd traces each frame it sends under the
// stamp in its packet head, zevo-host each frame it receives, pushes, decodes and shows.
// Whatever the host shows must be a frame the device sent, shown in the order sent, and
// must have passed every point on the way in that order.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <map>
#include <string>
#include <unordered_map>
#include <vector>

#include "loopback_world.h"
#include "platform/frame_trace.h"

namespace zevo::e2e {
namespace {

using namespace std::chrono_literals;

// point -> id -> microseconds.
using PointTimes = std::map<std::string, std::unordered_map<uint32_t, uint64_t>>;

void Index(const std::vector<FrameTracePoint>& trace, PointTimes& at) {
    for (const FrameTracePoint& p : trace) at[p.point].emplace(p.id, p.us);
}

// Where a camera's frames come from.
struct TraceCase {
    const char* name;
    std::string camera;  // --camera 0:...
};

TEST(FrameTraceEndToEnd, EveryShownFrameWasSentAndPassedEachPointInOrder) {
    const TraceCase cases[] = {
        {"h264", "0:size=320x180"},
        {"h265", "0:size=320x180,codec=h265"},
        {"passthrough", "0:source=passthrough:CLIP,fps=30,audio=none"},
    };
    for (const TraceCase& c : cases) {
        SCOPED_TRACE(c.name);
        LoopbackWorld world;
        const std::string deviceTrace = world.Dir() + "/camd.trace";
        const std::string hostTrace = world.Dir() + "/host.trace";
        std::string camera = c.camera;
        if (const size_t at = camera.find("CLIP"); at != std::string::npos) {
            const std::string clip = world.Dir() + "/clip.h264";
            ASSERT_EQ(std::system(("gst-launch-1.0 -q videotestsrc num-buffers=45 ! "
                                   "video/x-raw,width=320,height=180,framerate=30/1 ! x264enc "
                                   "tune=zerolatency key-int-max=15 ! "
                                   "video/x-h264,stream-format=byte-stream ! filesink location=" +
                                   clip)
                                      .c_str()),
                      0);
            camera.replace(at, 4, clip);
        }
        world.SetDeviceOptions({"--timestamps", "monotonic", "--camera", camera});
        world.SetDeviceEnvironment({"ZEVO_FRAME_TRACE=" + deviceTrace});
        world.SetHostEnvironment({"ZEVO_FRAME_TRACE=" + hostTrace});
        ASSERT_TRUE(world.StartService());
        ASSERT_TRUE(world.StartDevice({}, 1));
        ASSERT_EQ(world.RunHost(kScriptHelpers + R"JS(
            player.StartAV();
            host.log(waitRunning(10000) ? "running" : "no-running");
            host.log(waitFor(function () { return viewer.framesRendered() >= 60; }, 30000)
                     ? "shown" : "not-shown " + viewer.framesRendered());
            player.StopAV();
            host.quit(0);
        )JS",
                                60s),
                  0);
        EXPECT_EQ(world.Lines("log"), (std::vector<std::string>{"running", "shown"}));

        const std::vector<FrameTracePoint> device = ReadFrameTrace(deviceTrace);
        const std::vector<FrameTracePoint> host = ReadFrameTrace(hostTrace);
        std::unordered_map<uint32_t, size_t> sentOrder;
        for (const FrameTracePoint& p : device) {
            if (p.point == "sent") sentOrder.emplace(p.id, sentOrder.size());
        }
        PointTimes at;
        Index(device, at);
        Index(host, at);

        size_t shown = 0;
        long previous = -1;
        const char* path[] = {"capture", "sent", "received", "pushed", "decoded", "shown"};
        for (const FrameTracePoint& p : host) {
            if (p.point != "shown") continue;
            ++shown;
            const auto sent = sentOrder.find(p.id);
            ASSERT_NE(sent, sentOrder.end()) << "shown frame " << p.id << " was never sent";
            EXPECT_GT(static_cast<long>(sent->second), previous) << "frame " << p.id;
            previous = static_cast<long>(sent->second);
            uint64_t before = 0;
            for (const char* point : path) {
                const auto found = at[point].find(p.id);
                ASSERT_NE(found, at[point].end()) << "frame " << p.id << " skipped " << point;
                EXPECT_GE(found->second, before) << "frame " << p.id << " at " << point;
                before = found->second;
            }
            // The stamp is a time in ms on the clock the traces use: an encoder's frame is
            // taken from it after its capture, a file's unit at its turn or later; either is
            // shown well within a second of that.
            const uint64_t taken = at["capture"][p.id];
            const auto afterStamp =
                static_cast<int32_t>(static_cast<uint32_t>(taken / 1000) - p.id);
            EXPECT_GE(afterStamp, 0) << "frame " << p.id;
            EXPECT_LT(afterStamp, 1000) << "frame " << p.id;
            EXPECT_LT(p.us - taken, 1000000u) << "frame " << p.id;
        }
        // Pictures replaced before a paint are not shown, but most are.
        EXPECT_GE(shown, 30u);
        EXPECT_GE(shown * 3, sentOrder.size()) << shown << " of " << sentOrder.size();
    }
}

}  // namespace
}  // namespace zevo::e2e
