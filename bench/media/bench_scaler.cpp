// What the window's picture costs per frame: a decoded I420 picture converted (and
// scaled) to BGRA into a surface of the size it is shown at, against GStreamer's converter turning the
// same picture into full-size BGRx (what videoconvert does in a plain decoding
// pipeline), in the same run.
#include <benchmark/benchmark.h>
#include <gst/app/gstappsink.h>
#include <gst/gst.h>
#include <gst/video/video.h>

#include <cstring>
#include <QImage>
#include <memory>
#include <string>
#include <vector>

#include "media/picture_scaler.h"

namespace {

std::shared_ptr<const zevo::DecodedPicture> Picture(int width, int height) {
    gst_init(nullptr, nullptr);
    const std::string description =
        "videotestsrc pattern=ball num-buffers=1 ! video/x-raw,format=I420,width=" +
        std::to_string(width) + ",height=" + std::to_string(height) +
        " ! appsink name=out sync=false";
    GstElement* pipeline = gst_parse_launch(description.c_str(), nullptr);
    if (!pipeline) return nullptr;
    GstElement* sink = gst_bin_get_by_name(GST_BIN(pipeline), "out");
    gst_element_set_state(pipeline, GST_STATE_PLAYING);
    auto picture = zevo::DecodedPicture::FromSample(gst_app_sink_pull_sample(GST_APP_SINK(sink)));
    gst_element_set_state(pipeline, GST_STATE_NULL);
    gst_object_unref(sink);
    gst_object_unref(pipeline);
    return picture;
}

// Arguments: picture width and height, shown width and height, and 1 to empty the
// caches before each picture (untimed): in the viewer the decoder has just written the
// picture from another thread, and the window's surface was last touched a frame ago.
void BM_WindowPicture(benchmark::State& state) {
    auto picture = Picture(static_cast<int>(state.range(0)), static_cast<int>(state.range(1)));
    if (!picture) {
        state.SkipWithError("no picture");
        return;
    }
    const QSize shown(static_cast<int>(state.range(2)), static_cast<int>(state.range(3)));
    const bool cold = state.range(4) != 0;
    zevo::PictureScaler scaler;
    // Written into a surface of exactly its size, as into the window's.
    QImage surface(shown, QImage::Format_RGB32);
    const int stride = static_cast<int>(surface.bytesPerLine());
    std::vector<unsigned char> evict(cold ? 32 << 20 : 0);
    unsigned char fill = 0;
    for (auto _ : state) {
        if (cold) {
            state.PauseTiming();
            std::memset(evict.data(), ++fill, evict.size());
            state.ResumeTiming();
        }
        benchmark::DoNotOptimize(scaler.ScaleInto(*picture, shown, surface.bits(), stride));
    }
    state.SetItemsProcessed(state.iterations());
}

void BM_BaselineVideoconvert(benchmark::State& state) {
    auto picture = Picture(static_cast<int>(state.range(0)), static_cast<int>(state.range(1)));
    if (!picture) {
        state.SkipWithError("no picture");
        return;
    }
    // Into one buffer allocated beforehand, as videoconvert's pool gives it one.
    GstVideoInfo out;
    gst_video_info_set_format(&out, GST_VIDEO_FORMAT_BGRx, static_cast<guint>(picture->Width()),
                              static_cast<guint>(picture->Height()));
    out.fps_n = picture->Info().fps_n;
    out.fps_d = picture->Info().fps_d;
    GstBuffer* target = gst_buffer_new_allocate(nullptr, out.size, nullptr);
    GstVideoConverter* converter = gst_video_converter_new(&picture->Info(), &out, nullptr);
    GstVideoFrame in;
    GstVideoFrame to;
    gst_video_frame_map(&in, &picture->Info(), picture->Buffer(), GST_MAP_READ);
    gst_video_frame_map(&to, &out, target, GST_MAP_WRITE);
    for (auto _ : state) {
        gst_video_converter_frame(converter, &in, &to);
        benchmark::DoNotOptimize(GST_VIDEO_FRAME_PLANE_DATA(&to, 0));
    }
    gst_video_frame_unmap(&to);
    gst_video_frame_unmap(&in);
    gst_video_converter_free(converter);
    gst_buffer_unref(target);
    state.SetItemsProcessed(state.iterations());
}

BENCHMARK(BM_WindowPicture)
    ->Args({1280, 720, 800, 450, 0})
    ->Args({1280, 720, 678, 495, 0})
    ->Args({1280, 720, 1280, 720, 0})
    ->Args({1920, 1080, 800, 450, 0})
    ->Args({1280, 720, 678, 381, 1})  // the default window's picture
    ->Args({1280, 720, 1280, 720, 1});
BENCHMARK(BM_BaselineVideoconvert)->Args({1280, 720})->Args({1920, 1080});

}  // namespace

BENCHMARK_MAIN();
