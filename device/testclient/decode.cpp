#include "device/testclient/decode.h"

#include <gst/app/gstappsink.h>
#include <gst/app/gstappsrc.h>
#include <gst/gst.h>

#include <string>
#include <thread>

namespace zevo::camd::testing {

int DecodeAccessUnits(const std::vector<std::vector<uint8_t>>& units, bool h265) {
    gst_init(nullptr, nullptr);
    std::string description =
        std::string("appsrc name=src is-live=false format=time caps=") +
        (h265 ? "video/x-h265,stream-format=byte-stream,alignment=au ! h265parse ! avdec_h265"
              : "video/x-h264,stream-format=byte-stream,alignment=au ! h264parse ! avdec_h264") +
        " ! appsink name=sink sync=false";
    GError* error = nullptr;
    GstElement* pipeline = gst_parse_launch(description.c_str(), &error);
    if (pipeline == nullptr || error != nullptr) {
        if (error) g_error_free(error);
        if (pipeline) gst_object_unref(pipeline);
        return -1;
    }
    GstElement* src = gst_bin_get_by_name(GST_BIN(pipeline), "src");
    GstElement* sink = gst_bin_get_by_name(GST_BIN(pipeline), "sink");
    gst_element_set_state(pipeline, GST_STATE_PLAYING);
    int decoded = 0;
    bool failed = false;
    std::thread drain([&] {
        while (GstSample* s = gst_app_sink_pull_sample(GST_APP_SINK(sink))) {
            ++decoded;
            gst_sample_unref(s);
        }
    });
    GstClockTime pts = 0;
    for (const auto& unit : units) {
        GstBuffer* buffer = gst_buffer_new_memdup(unit.data(), unit.size());
        GST_BUFFER_PTS(buffer) = pts;
        GST_BUFFER_DURATION(buffer) = GST_MSECOND * 40;
        pts += GST_MSECOND * 40;
        if (gst_app_src_push_buffer(GST_APP_SRC(src), buffer) != GST_FLOW_OK) {
            failed = true;
            break;
        }
    }
    gst_app_src_end_of_stream(GST_APP_SRC(src));
    GstBus* bus = gst_element_get_bus(pipeline);
    GstMessage* msg = gst_bus_timed_pop_filtered(
        bus, 30 * GST_SECOND, GstMessageType(GST_MESSAGE_EOS | GST_MESSAGE_ERROR));
    if (msg == nullptr || GST_MESSAGE_TYPE(msg) == GST_MESSAGE_ERROR) failed = true;
    if (msg) gst_message_unref(msg);
    gst_object_unref(bus);
    gst_element_set_state(pipeline, GST_STATE_NULL);
    drain.join();
    gst_object_unref(src);
    gst_object_unref(sink);
    gst_object_unref(pipeline);
    return failed ? -1 : decoded;
}

}  // namespace zevo::camd::testing
