// Decode and render cost per 1280x720 H.264 frame through the live VideoGraph, against a
// plain GStreamer pipeline decoding the same frames in the same run:
//   appsrc is-live=true ! h264parse ! avdec_h264 ! videoconvert ! fakesink
// Process CPU time per frame is the figure to compare (the graph also converts to BGRx
// and paints; the second baseline converts to BGRx too, without painting).
#include <benchmark/benchmark.h>
#include <gst/app/gstappsrc.h>
#include <gst/gst.h>

#include <QApplication>
#include <QThread>
#include <QWidget>
#include <atomic>

#include "media/video_graph.h"
#include "tests/media/media_test_util.h"

namespace {

constexpr int kFrames = 50;

const std::vector<zevo::test::Frame>& Frames720p() {
    return zevo::test::Ball720p(kFrames);
}

// shown = false: the graph's window is never attached, so nothing is painted; the
// difference to BM_VideoGraph is the painting.
void RunVideoGraph(benchmark::State& state, bool shown) {
    const auto& frames = Frames720p();
    if (frames.size() != kFrames) {
        state.SkipWithError("encoder gave no frames");
        return;
    }
    QWidget owner;
    owner.resize(960, 560);
    owner.show();
    VideoGraph graph;
    graph.BuildGraph();
    if (shown) graph.AttachVideoWindow(&owner);
    graph.RunGraph();
    graph.SetVideoPosition(0, 0, 960, 538);
    for (auto _ : state) {
        const uint64_t target = graph.FramesRendered() + frames.size();
        for (const auto& f : frames) graph.PushVideo(224, f.data(), static_cast<int32_t>(f.size()));
        while (graph.FramesRendered() < target) {
            QApplication::processEvents(QEventLoop::AllEvents, 1);
            QThread::usleep(200);
        }
        QApplication::processEvents();  // the last paint
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * kFrames);
    graph.StopGraph();
    graph.ReleaseAll();
}

void BM_VideoGraph(benchmark::State& state) {
    RunVideoGraph(state, true);
}
void BM_VideoGraphUnpainted(benchmark::State& state) {
    RunVideoGraph(state, false);
}

void RunBaseline(benchmark::State& state, const char* description) {
    const auto& frames = Frames720p();
    if (frames.size() != kFrames) {
        state.SkipWithError("encoder gave no frames");
        return;
    }
    GstElement* pipeline = gst_parse_launch(description, nullptr);
    GstElement* src = gst_bin_get_by_name(GST_BIN(pipeline), "src");
    GstElement* sink = gst_bin_get_by_name(GST_BIN(pipeline), "sink");
    GstCaps* caps = gst_caps_from_string("video/x-h264,stream-format=byte-stream,alignment=au");
    g_object_set(src, "caps", caps, "format", GST_FORMAT_TIME, nullptr);
    gst_caps_unref(caps);
    std::atomic<uint64_t> count{0};
    g_object_set(sink, "signal-handoffs", TRUE, "sync", FALSE, nullptr);
    g_signal_connect(sink, "handoff",
                     G_CALLBACK(+[](GstElement*, GstBuffer*, GstPad*, gpointer user) {
                         ++*static_cast<std::atomic<uint64_t>*>(user);
                     }),
                     &count);
    gst_element_set_state(pipeline, GST_STATE_PLAYING);
    for (auto _ : state) {
        const uint64_t target = count.load() + frames.size();
        for (const auto& f : frames) {
            gst_app_src_push_buffer(GST_APP_SRC(src), gst_buffer_new_memdup(f.data(), f.size()));
        }
        while (count.load() < target) QThread::usleep(200);
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * kFrames);
    gst_element_set_state(pipeline, GST_STATE_NULL);
    gst_object_unref(src);
    gst_object_unref(sink);
    gst_object_unref(pipeline);
}

void BM_GstLaunchBaseline(benchmark::State& state) {
    RunBaseline(state,
                "appsrc name=src is-live=true ! h264parse ! avdec_h264 ! videoconvert ! fakesink "
                "name=sink");
}

void BM_GstLaunchBaselineBGRx(benchmark::State& state) {
    RunBaseline(state,
                "appsrc name=src is-live=true ! h264parse ! avdec_h264 ! videoconvert ! "
                "video/x-raw,format=BGRx ! fakesink name=sink");
}

}  // namespace

BENCHMARK(BM_GstLaunchBaseline)
    ->Unit(benchmark::kMillisecond)
    ->MeasureProcessCPUTime()
    ->UseRealTime();
BENCHMARK(BM_GstLaunchBaselineBGRx)
    ->Unit(benchmark::kMillisecond)
    ->MeasureProcessCPUTime()
    ->UseRealTime();
BENCHMARK(BM_VideoGraphUnpainted)
    ->Unit(benchmark::kMillisecond)
    ->MeasureProcessCPUTime()
    ->UseRealTime();
BENCHMARK(BM_VideoGraph)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime()->UseRealTime();
