// What a recording adds on the video consumer's thread: RecordGraph::PushVideo per
// 1280x720 H.264 frame, against the live VideoGraph's push of the same frames in the
// same run (the baseline: every shown frame pays it already). Both copy the payload into
// their push source; the multiplexer and the writer (or the decoder) run on the graph's
// own streaming thread. A third figure, the whole recording path per frame including
// the multiplexer and the file write, is measured as process CPU time.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <QApplication>
#include <QThread>
#include <cstdlib>
#include <filesystem>

#include "capture/record_graph.h"
#include "media/video_graph.h"
#include "tests/media/media_test_util.h"

namespace {

constexpr int kFrames = 50;

const std::vector<zevo::test::Frame>& Frames720p() {
    return zevo::test::Ball720p(kFrames);
}

std::string TempFolder() {
    char tmpl[] = "/tmp/zevo-bench-record-XXXXXX";
    return mkdtemp(tmpl);
}

// Pushes at most a few frames ahead of the graph so no queue overflows and drops.
template <typename Graph>
void PushFrames(benchmark::State& state, Graph& graph) {
    const auto& frames = Frames720p();
    size_t i = 0;
    int64_t bytes = 0;
    for (auto _ : state) {
        const auto& f = frames[i++ % frames.size()];
        bytes += static_cast<int64_t>(f.size());
        benchmark::DoNotOptimize(graph.PushVideo(224, f.data(), static_cast<int32_t>(f.size())));
        if (i % 10 == 0) {
            state.PauseTiming();
            QApplication::processEvents();
            QThread::msleep(5);
            state.ResumeTiming();
        }
    }
    state.SetBytesProcessed(bytes);
}

void BM_LivePushVideo(benchmark::State& state) {
    if (Frames720p().size() != kFrames) return state.SkipWithError("encoder gave no frames");
    VideoGraph graph;
    graph.BuildGraph();
    graph.RunGraph();
    PushFrames(state, graph);
    graph.StopGraph();
    graph.ReleaseAll();
}

void BM_RecordPushVideo(benchmark::State& state) {
    if (Frames720p().size() != kFrames) return state.SkipWithError("encoder gave no frames");
    const std::string folder = TempFolder();
    zevo::RecordGraph graph;
    graph.BuildGraph(folder.c_str());
    graph.RunGraph();
    PushFrames(state, graph);
    graph.StopGraph();
    graph.ReleaseAll();
    std::filesystem::remove_all(folder);
}

// Push, multiplex and write of every frame, waited for: process CPU per frame.
void BM_RecordWholePath(benchmark::State& state) {
    const auto& frames = Frames720p();
    if (frames.size() != kFrames) return state.SkipWithError("encoder gave no frames");
    const std::string folder = TempFolder();
    zevo::RecordGraph graph;
    graph.BuildGraph(folder.c_str());
    graph.RunGraph();
    const std::string file = graph.FileName();
    uint64_t perRound = 0;
    for (const auto& f : frames) perRound += 8 + f.size() + (f.size() & 1);
    uint64_t expected = 2048;
    for (auto _ : state) {
        for (const auto& f : frames) graph.PushVideo(224, f.data(), static_cast<int32_t>(f.size()));
        // Done when the writer has the round's chunks in the file.
        expected += perRound;
        while (std::filesystem::file_size(file) < expected) usleep(200);
    }
    graph.StopGraph();
    const auto written = std::filesystem::file_size(file);
    graph.ReleaseAll();
    std::filesystem::remove_all(folder);
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * kFrames);
    state.counters["file_MB"] = static_cast<double>(written) / 1e6;
}

BENCHMARK(BM_LivePushVideo)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_RecordPushVideo)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_RecordWholePath)
    ->Unit(benchmark::kMillisecond)
    ->MeasureProcessCPUTime()
    ->UseRealTime();

}  // namespace
