#include "capture/avi_mux_filter.h"

// Pinned to the GStreamer of this platform; the parsers are stable in practice.
#define GST_USE_UNSTABLE_API 1
#include <gst/codecparsers/gsth264parser.h>
#include <gst/codecparsers/gsth265parser.h>
#include <gst/gst.h>

#include <memory>
#include <vector>

#include "capture/avi_file.h"

namespace zevo {

bool ReadPictureSize(const uint8_t* data, size_t size, VideoCodec codec, uint32_t* width,
                     uint32_t* height) {
    if (!data || size == 0 || !width || !height) return false;
    bool found = false;
    if (codec == VideoCodec::H264) {
        GstH264NalParser* parser = gst_h264_nal_parser_new();
        GstH264NalUnit nalu;
        guint offset = 0;
        while (!found && gst_h264_parser_identify_nalu(parser, data, offset, size, &nalu) ==
                             GST_H264_PARSER_OK) {
            GstH264SPS sps;
            if (nalu.type == GST_H264_NAL_SPS &&
                gst_h264_parser_parse_sps(parser, &nalu, &sps) == GST_H264_PARSER_OK) {
                *width = static_cast<uint32_t>(sps.frame_cropping_flag ? sps.crop_rect_width
                                                                       : sps.width);
                *height = static_cast<uint32_t>(sps.frame_cropping_flag ? sps.crop_rect_height
                                                                        : sps.height);
                gst_h264_sps_clear(&sps);
                found = true;
            }
            offset = nalu.offset + nalu.size;
        }
        gst_h264_nal_parser_free(parser);
    } else {
        GstH265Parser* parser = gst_h265_parser_new();
        GstH265NalUnit nalu;
        guint offset = 0;
        while (!found && gst_h265_parser_identify_nalu(parser, data, offset, size, &nalu) ==
                             GST_H265_PARSER_OK) {
            if (nalu.type == GST_H265_NAL_VPS) {
                GstH265VPS vps;
                gst_h265_parser_parse_vps(parser, &nalu, &vps);
            } else if (nalu.type == GST_H265_NAL_SPS) {
                GstH265SPS sps;
                if (gst_h265_parser_parse_sps(parser, &nalu, &sps, FALSE) == GST_H265_PARSER_OK) {
                    *width = static_cast<uint32_t>(sps.conformance_window_flag ? sps.crop_rect_width
                                                                               : sps.width);
                    *height = static_cast<uint32_t>(
                        sps.conformance_window_flag ? sps.crop_rect_height : sps.height);
                    found = true;
                }
            }
            offset = nalu.offset + nalu.size;
        }
        gst_h265_parser_free(parser);
    }
    return found && *width > 0 && *height > 0;
}

}  // namespace zevo

using namespace zevo;

namespace {

struct ZevoAviMux {
    GstElement parent;
    GstPad* sinkpad;
    GstPad* srcpad;
    // Touched only by the streaming thread (chain and serialized events), and by
    // change_state once streaming has stopped.
    AviWriter* writer;
    VideoCodec codec;
    bool full;
    uint64_t lastHeaderUs;
};

struct ZevoAviMuxClass {
    GstElementClass parent_class;
};

GType zevo_avi_mux_get_type();
#define ZEVO_AVI_MUX(obj) (reinterpret_cast<ZevoAviMux*>(obj))

G_DEFINE_TYPE(ZevoAviMux, zevo_avi_mux, GST_TYPE_ELEMENT)

GstStaticPadTemplate sSinkTemplate =
    GST_STATIC_PAD_TEMPLATE("sink", GST_PAD_SINK, GST_PAD_ALWAYS,
                            GST_STATIC_CAPS("video/x-h264, stream-format=(string)byte-stream; "
                                            "video/x-h265, stream-format=(string)byte-stream"));
GstStaticPadTemplate sSrcTemplate =
    GST_STATIC_PAD_TEMPLATE("src", GST_PAD_SRC, GST_PAD_ALWAYS, GST_STATIC_CAPS("video/x-msvideo"));

bool PushBytes(ZevoAviMux* mux, const std::vector<uint8_t>& bytes) {
    if (bytes.empty()) return true;
    GstBuffer* buffer = gst_buffer_new_memdup(bytes.data(), bytes.size());
    return gst_pad_push(mux->srcpad, buffer) == GST_FLOW_OK;
}

// Moves the file writer's position.
void SeekTo(ZevoAviMux* mux, uint64_t offset) {
    GstSegment segment;
    gst_segment_init(&segment, GST_FORMAT_BYTES);
    segment.start = offset;
    segment.position = offset;
    gst_pad_push_event(mux->srcpad, gst_event_new_segment(&segment));
}

// Writes the header at the start of the file; a running recording goes on at its end
// (after the final one only the end of the stream follows).
void RewriteHeader(ZevoAviMux* mux, bool complete) {
    SeekTo(mux, 0);
    PushBytes(mux, mux->writer->Header(complete));
    if (!complete) SeekTo(mux, mux->writer->EndOffset());
}

void StartFile(ZevoAviMux* mux, uint32_t width, uint32_t height) {
    mux->writer = new AviWriter(mux->codec, width, height);
    gchar* id = gst_pad_create_stream_id(mux->srcpad, GST_ELEMENT(mux), nullptr);
    gst_pad_push_event(mux->srcpad, gst_event_new_stream_start(id));
    g_free(id);
    GstCaps* caps = gst_caps_new_empty_simple("video/x-msvideo");
    gst_pad_push_event(mux->srcpad, gst_event_new_caps(caps));
    gst_caps_unref(caps);
    SeekTo(mux, 0);
    PushBytes(mux, mux->writer->Header(false));
}

void FinishFile(ZevoAviMux* mux) {
    // A recording that never saw a key frame is still a valid, empty file.
    if (!mux->writer) StartFile(mux, 0, 0);
    PushBytes(mux, mux->writer->Index());
    RewriteHeader(mux, true);
}

GstFlowReturn Chain(GstPad*, GstObject* parent, GstBuffer* buffer) {
    ZevoAviMux* mux = ZEVO_AVI_MUX(parent);
    GstMapInfo map;
    if (!gst_buffer_map(buffer, &map, GST_MAP_READ)) {
        gst_buffer_unref(buffer);
        return GST_FLOW_OK;
    }
    const uint64_t nowUs = GST_BUFFER_PTS_IS_VALID(buffer)
                               ? GST_BUFFER_PTS(buffer) / 1000
                               : static_cast<uint64_t>(g_get_monotonic_time());
    const bool key = IsKeyAccessUnit(map.data, map.size, mux->codec);
    GstFlowReturn flow = GST_FLOW_OK;
    // Frames before the first key frame cannot be decoded by anyone: the file starts
    // at a key frame.
    if (!mux->writer && key) {
        uint32_t width = 0;
        uint32_t height = 0;
        ReadPictureSize(map.data, map.size, mux->codec, &width, &height);
        StartFile(mux, width, height);
        mux->lastHeaderUs = nowUs;
    }
    if (mux->writer && !mux->full) {
        std::vector<uint8_t> chunk;
        if (mux->writer->AddFrame(map.data, map.size, key, nowUs, chunk)) {
            if (!PushBytes(mux, chunk)) flow = GST_FLOW_ERROR;
        } else {
            mux->full = true;
            GST_ELEMENT_WARNING(mux, RESOURCE, NO_SPACE_LEFT,
                                ("The recording reached the largest size of its file."), (nullptr));
        }
        if (flow == GST_FLOW_OK && nowUs - mux->lastHeaderUs >= kHeaderRefreshUs) {
            RewriteHeader(mux, false);
            mux->lastHeaderUs = nowUs;
        }
    }
    gst_buffer_unmap(buffer, &map);
    gst_buffer_unref(buffer);
    return flow;
}

gboolean SinkEvent(GstPad* pad, GstObject* parent, GstEvent* event) {
    ZevoAviMux* mux = ZEVO_AVI_MUX(parent);
    switch (GST_EVENT_TYPE(event)) {
        case GST_EVENT_CAPS: {
            GstCaps* caps = nullptr;
            gst_event_parse_caps(event, &caps);
            const char* media = gst_structure_get_name(gst_caps_get_structure(caps, 0));
            mux->codec = g_str_equal(media, "video/x-h265") ? VideoCodec::H265 : VideoCodec::H264;
            gst_event_unref(event);
            return TRUE;
        }
        case GST_EVENT_EOS:
            FinishFile(mux);
            return gst_pad_push_event(mux->srcpad, event);
        case GST_EVENT_FLUSH_START:
        case GST_EVENT_FLUSH_STOP:
            return gst_pad_event_default(pad, parent, event);
        default:
            // The source's time segments mean nothing to a byte stream.
            gst_event_unref(event);
            return TRUE;
    }
}

GstStateChangeReturn ChangeState(GstElement* element, GstStateChange transition) {
    ZevoAviMux* mux = ZEVO_AVI_MUX(element);
    const GstStateChangeReturn result =
        GST_ELEMENT_CLASS(zevo_avi_mux_parent_class)->change_state(element, transition);
    if (transition == GST_STATE_CHANGE_PAUSED_TO_READY) {
        delete mux->writer;
        mux->writer = nullptr;
        mux->full = false;
    }
    return result;
}

void Finalize(GObject* object) {
    delete ZEVO_AVI_MUX(object)->writer;
    G_OBJECT_CLASS(zevo_avi_mux_parent_class)->finalize(object);
}

void zevo_avi_mux_class_init(ZevoAviMuxClass* klass) {
    GstElementClass* element = GST_ELEMENT_CLASS(klass);
    gst_element_class_add_static_pad_template(element, &sSinkTemplate);
    gst_element_class_add_static_pad_template(element, &sSrcTemplate);
    gst_element_class_set_static_metadata(element, "Recording AVI multiplexer", "Codec/Muxer",
                                          "H.264 and H.265 access units into a crash-safe AVI file",
                                          "ZEVO2 Player");
    element->change_state = ChangeState;
    G_OBJECT_CLASS(klass)->finalize = Finalize;
}

void zevo_avi_mux_init(ZevoAviMux* mux) {
    mux->sinkpad = gst_pad_new_from_static_template(&sSinkTemplate, "sink");
    gst_pad_set_chain_function(mux->sinkpad, Chain);
    gst_pad_set_event_function(mux->sinkpad, SinkEvent);
    GST_PAD_SET_PROXY_ALLOCATION(mux->sinkpad);
    gst_element_add_pad(GST_ELEMENT(mux), mux->sinkpad);
    mux->srcpad = gst_pad_new_from_static_template(&sSrcTemplate, "src");
    gst_pad_use_fixed_caps(mux->srcpad);
    gst_element_add_pad(GST_ELEMENT(mux), mux->srcpad);
    mux->writer = nullptr;
    mux->codec = VideoCodec::H264;
    mux->full = false;
    mux->lastHeaderUs = 0;
}

}  // namespace

bool zevo::RegisterAviMuxFilter() {
    static const bool registered =
        gst_element_register(nullptr, kAviMuxFilter, GST_RANK_NONE, zevo_avi_mux_get_type());
    return registered;
}
