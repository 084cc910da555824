#include "device/webcam.h"

#include <gst/gst.h>

#include <cmath>
#include <cstdlib>
#include <tuple>
#include <utility>

namespace zevo::camd {

const char* CompressedMediaType(VideoCodec codec) {
    return codec == VideoCodec::H264 ? "video/x-h264" : "video/x-h265";
}

namespace {
using Miss = std::tuple<int64_t, int, double>;  // area, shape, rate
}  // namespace

std::optional<WebcamFormat> ChooseWebcamFormat(const GstCaps* offered, const CameraConfig& config) {
    if (offered == nullptr || gst_caps_is_any(offered)) return std::nullopt;
    const char* media = CompressedMediaType(config.codec);
    std::optional<WebcamFormat> best;
    Miss bestMiss;
    for (guint i = 0; i < gst_caps_get_size(offered); ++i) {
        const GstStructure* offer = gst_caps_get_structure(offered, i);
        if (!gst_structure_has_name(offer, media)) continue;
        // Lists and ranges narrowed to the value nearest the configured one.
        GstStructure* s = gst_structure_copy(offer);
        for (auto [field, value] : {std::pair{"width", config.width}, {"height", config.height}}) {
            if (gst_structure_has_field(s, field)) {
                gst_structure_fixate_field_nearest_int(s, field, value);
            }
        }
        if (gst_structure_has_field(s, "framerate")) {
            gst_structure_fixate_field_nearest_fraction(s, "framerate", config.fps, 1);
        }
        WebcamFormat format;
        gst_structure_get_int(s, "width", &format.width);
        gst_structure_get_int(s, "height", &format.height);
        if (!gst_structure_get_fraction(s, "framerate", &format.fpsNum, &format.fpsDen) ||
            format.fpsDen <= 0) {
            format.fpsNum = 0;
            format.fpsDen = 1;
        }
        gst_structure_free(s);

        // Size first (by area, then by shape), rate second; one not said counts as zero.
        const int64_t area = int64_t(format.width) * format.height;
        const int64_t wanted = int64_t(config.width) * config.height;
        const double rate = format.fpsNum > 0 ? double(format.fpsNum) / format.fpsDen : 0.0;
        const Miss miss{
            std::llabs(area - wanted),
            std::abs(format.width - config.width) + std::abs(format.height - config.height),
            std::fabs(rate - config.fps)};
        if (best && miss >= bestMiss) continue;

        format.caps = media;
        if (format.width > 0) format.caps += ",width=" + std::to_string(format.width);
        if (format.height > 0) format.caps += ",height=" + std::to_string(format.height);
        if (format.fpsNum > 0) {
            format.caps +=
                ",framerate=" + std::to_string(format.fpsNum) + "/" + std::to_string(format.fpsDen);
        }
        best = std::move(format);
        bestMiss = miss;
    }
    return best;
}

GstCaps* ProbeWebcam(const std::string& device, std::string& error) {
    GstElement* src = gst_element_factory_make("v4l2src", nullptr);
    if (src == nullptr) {
        error = "no v4l2src element (GStreamer's video4linux2 plugin is missing)";
        return nullptr;
    }
    gst_object_ref_sink(src);
    g_object_set(src, "device", device.c_str(), nullptr);
    // Outside a pipeline the element has no bus; give it one to hear why it failed.
    GstBus* bus = gst_bus_new();
    gst_element_set_bus(src, bus);
    GstCaps* caps = nullptr;
    if (gst_element_set_state(src, GST_STATE_READY) == GST_STATE_CHANGE_FAILURE) {
        error = "cannot open " + device;
        if (GstMessage* msg = gst_bus_pop_filtered(bus, GST_MESSAGE_ERROR)) {
            GError* err = nullptr;
            gst_message_parse_error(msg, &err, nullptr);
            if (err != nullptr) error = err->message;
            g_clear_error(&err);
            gst_message_unref(msg);
        }
    } else {
        GstPad* pad = gst_element_get_static_pad(src, "src");
        if (pad != nullptr) {
            caps = gst_pad_query_caps(pad, nullptr);
            gst_object_unref(pad);
        }
        if (caps == nullptr) error = "no formats offered by " + device;
    }
    gst_element_set_state(src, GST_STATE_NULL);
    gst_element_set_bus(src, nullptr);
    gst_object_unref(bus);
    gst_object_unref(src);
    return caps;
}

}  // namespace zevo::camd
