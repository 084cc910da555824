// CPU that a 1280x720 30 fps H.264 webcam costs zevo-camd per frame: sent as the webcam
// delivers it, against the baseline of decoding and encoding it again (what the device did
// with every webcam before). Both run the pipelines the camera builds, on the same stand-in
// device (an H.264 file played at its rate), in the same run; the stand-in's own work is
// in both figures.
#include <benchmark/benchmark.h>
#include <gst/app/gstappsink.h>
#include <gst/gst.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <optional>
#include <string>

#include "device/camera.h"
#include "device/webcam.h"
#include "tests/device/webcam_stand_in.h"

using namespace zevo::camd;

namespace {

constexpr int kWarmFrames = 15;
constexpr int kFrames = 150;

CameraConfig HdWebcam() {
    CameraConfig c;
    c.source = VideoSourceKind::Webcam;
    c.location = "/dev/video0";
    c.width = 1280;
    c.height = 720;
    c.fps = 30;
    c.bitrateKbps = 2000;
    c.keyInterval = 60;
    c.audio = AudioSourceKind::None;
    return c;
}

const std::string& ClipPath() {
    static const std::string path = "/tmp/bench-webcam-" + std::to_string(getpid()) + ".h264";
    return path;
}

// Finer than the tick count /proc gives: a passed-through frame costs little.
double ProcessCpuSeconds() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return double(t.tv_sec) + double(t.tv_nsec) / 1e9;
}

// The stand-in plays ten seconds of 720p H.264 round and round at 30 fps.
bool OfferHdClip() {
    static bool ready = [] {
        const std::string& clip = ClipPath();
        const std::string make =
            "gst-launch-1.0 -q videotestsrc num-buffers=300 pattern=ball ! "
            "video/x-raw,width=1280,height=720,framerate=30/1 ! x264enc bitrate=3000 "
            "key-int-max=30 tune=zerolatency ! video/x-h264,stream-format=byte-stream ! "
            "filesink location=" +
            clip + " > /dev/null 2>&1";
        if (std::system(make.c_str()) != 0) return false;
        const std::string caps =
            "video/x-h264,stream-format=byte-stream,alignment=au,width=1280,height=720,"
            "framerate=30/1";
        zevo::camd::testing::WebcamStandIn::Offer(
            "multifilesrc loop=true location=" + clip + " caps=\"" + caps +
            "\" ! h264parse ! identity sync=true ! capsfilter caps=\"" + caps + "\"");
        return zevo::camd::testing::WebcamStandIn::Register() != 0;
    }();
    return ready;
}

void BM_HdWebcam(benchmark::State& state, bool passThrough) {
    if (!OfferHdClip()) {
        state.SkipWithError("no stand-in webcam");
        return;
    }
    const CameraConfig config = HdWebcam();
    std::string error;
    GstCaps* offered = ProbeWebcam(config.location, error);
    const auto format = offered ? ChooseWebcamFormat(offered, config) : std::nullopt;
    if (offered) gst_caps_unref(offered);
    if (!format) {
        state.SkipWithError("the stand-in offers no H.264");
        return;
    }
    const std::string description =
        Camera::DescribePipeline(config, 0, true, false, passThrough ? format : std::nullopt);
    double cpu = 0;
    int frames = 0;
    for (auto _ : state) {
        GstElement* pipeline = gst_parse_launch(description.c_str(), nullptr);
        GstElement* sink = gst_bin_get_by_name(GST_BIN(pipeline), "vsink");
        gst_element_set_state(pipeline, GST_STATE_PLAYING);
        double start = 0;
        for (int i = 0; i < kWarmFrames + kFrames; ++i) {
            if (i == kWarmFrames) start = ProcessCpuSeconds();
            GstSample* sample = gst_app_sink_pull_sample(GST_APP_SINK(sink));
            if (sample == nullptr) break;
            gst_sample_unref(sample);
            if (i >= kWarmFrames) ++frames;
        }
        cpu += ProcessCpuSeconds() - start;
        gst_element_set_state(pipeline, GST_STATE_NULL);
        gst_object_unref(sink);
        gst_object_unref(pipeline);
    }
    if (frames < kFrames * int(state.iterations())) state.SkipWithError("frames missing");
    state.counters["cpu_ms_per_frame"] = frames > 0 ? cpu * 1000 / frames : 0;
}

}  // namespace

BENCHMARK_CAPTURE(BM_HdWebcam, encoded_again_baseline, false)
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_HdWebcam, passed_through, true)->Iterations(1)->Unit(benchmark::kMillisecond);

int main(int argc, char** argv) {
    gst_init(&argc, &argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    std::remove(ClipPath().c_str());
    return 0;
}
