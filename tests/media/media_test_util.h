#pragma once
// Compressed test streams made by real GStreamer encoders, one buffer per frame as a
// camera sends them.
#include <gst/app/gstappsink.h>
#include <gst/gst.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QThread>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace zevo::test {

using Frame = std::vector<unsigned char>;

// encoder is the gst-launch text between the raw source and the appsink, e.g.
// "x264enc tune=zerolatency ! video/x-h264,stream-format=byte-stream,alignment=au".
inline std::vector<Frame> EncodeFrames(const std::string& pattern, int width, int height, int count,
                                       const std::string& encoder) {
    gst_init(nullptr, nullptr);
    std::string description = "videotestsrc pattern=" + pattern +
                              " num-buffers=" + std::to_string(count) +
                              " ! video/x-raw,format=I420,width=" + std::to_string(width) +
                              ",height=" + std::to_string(height) + ",framerate=25/1 ! " + encoder +
                              " ! appsink name=out sync=false";
    GError* error = nullptr;
    GstElement* pipeline = gst_parse_launch(description.c_str(), &error);
    std::vector<Frame> frames;
    if (!pipeline || error) {
        if (error) g_error_free(error);
        return frames;
    }
    GstElement* sink = gst_bin_get_by_name(GST_BIN(pipeline), "out");
    gst_element_set_state(pipeline, GST_STATE_PLAYING);
    while (GstSample* sample = gst_app_sink_pull_sample(GST_APP_SINK(sink))) {
        GstBuffer* buffer = gst_sample_get_buffer(sample);
        GstMapInfo map;
        if (gst_buffer_map(buffer, &map, GST_MAP_READ)) {
            frames.emplace_back(map.data, map.data + map.size);
            gst_buffer_unmap(buffer, &map);
        }
        gst_sample_unref(sample);
    }
    gst_element_set_state(pipeline, GST_STATE_NULL);
    gst_object_unref(sink);
    gst_object_unref(pipeline);
    return frames;
}

inline const char* H264Encoder() {
    return "x264enc tune=zerolatency speed-preset=ultrafast key-int-max=30 ! "
           "video/x-h264,stream-format=byte-stream,alignment=au,profile=constrained-baseline";
}

inline const char* H265Encoder() {
    return "x265enc tune=zerolatency speed-preset=ultrafast key-int-max=30 ! "
           "video/x-h265,stream-format=byte-stream,alignment=au";
}

// count frames of a moving ball at 1280x720 as a camera sends them (H.264, one key frame
// every 50), made once per process.
inline const std::vector<Frame>& Ball720p(int count = 50) {
    static const auto frames = EncodeFrames(
        "ball", 1280, 720, count,
        "x264enc tune=zerolatency speed-preset=ultrafast key-int-max=50 bitrate=4000 ! "
        "video/x-h264,stream-format=byte-stream,alignment=au,profile=constrained-baseline");
    return frames;
}

inline const char* JpegEncoder() {
    return "jpegenc";
}

// Runs the Qt event loop until done() or the (generous) deadline passes.
inline bool WaitFor(const std::function<bool()>& done, int timeoutMs = 20000) {
    QElapsedTimer timer;
    timer.start();
    while (!done()) {
        if (timer.elapsed() > timeoutMs) return false;
        QApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::msleep(2);
    }
    return true;
}

}  // namespace zevo::test
