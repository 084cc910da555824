// The live graph's decoder filter. Parser and decoder are plugged once the stream's caps
// are known: hardware decoders the system offers by rank, then the software decoder. A
// decoder is on probation until it hands over its first picture: if it refuses to start,
// or starts and then fails on the stream, the next one takes its place and is given
// again what the failed one was given, so the user never sees the failure.
#include <gst/gst.h>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "media/graph_elements.h"

namespace zevo {

namespace {

struct CodecChain {
    const char* media;
    const char* parser;
    const char* decoder;
};

constexpr CodecChain kCodecChains[] = {
    {"video/x-h264", "h264parse", "avdec_h264"},
    {"video/x-h265", "h265parse", "avdec_h265"},
    {"image/jpeg", "jpegparse", "avdec_mjpeg"},
};

// What is kept to give a replacing decoder: the stream from its start, up to a bound (a
// decoder that shows nothing for this long is not failing on its first pictures).
constexpr size_t kHeldBuffersMax = 120;
constexpr gsize kHeldBytesMax = 32u * 1024 * 1024;

void ReportMissing(GstElement* bin, const char* what) {
    GST_ELEMENT_ERROR(bin, CORE, MISSING_PLUGIN, ("No element \"%s\" to decode the stream.", what),
                      (nullptr));
}

// Decoders for caps, best first: the hardware decoders the system offers (VA-API, V4L2,
// NVDEC ...) by rank, then the chain's own software decoder, which every installation
// has. Only decoders that can hand over raw video in system memory count.
std::vector<std::string> DecoderCandidates(GstCaps* caps, const CodecChain& chain) {
    std::vector<std::string> names;
    GList* all = gst_element_factory_list_get_elements(
        GST_ELEMENT_FACTORY_TYPE_DECODER | GST_ELEMENT_FACTORY_TYPE_MEDIA_VIDEO, GST_RANK_MARGINAL);
    GList* accepting = gst_element_factory_list_filter(all, caps, GST_PAD_SINK, FALSE);
    accepting = g_list_sort(accepting, gst_plugin_feature_rank_compare_func);
    GstCaps* raw = gst_caps_from_string("video/x-raw");
    for (GList* item = accepting; item; item = item->next) {
        auto* factory = GST_ELEMENT_FACTORY(item->data);
        const char* name = gst_plugin_feature_get_name(GST_PLUGIN_FEATURE(factory));
        // The software decoders stay the fallback, whatever their rank.
        if (g_str_has_prefix(name, "avdec_") ||
            !gst_element_factory_list_is_type(factory, GST_ELEMENT_FACTORY_TYPE_HARDWARE) ||
            !gst_element_factory_can_src_any_caps(factory, raw)) {
            continue;
        }
        names.emplace_back(name);
    }
    names.emplace_back(chain.decoder);
    gst_caps_unref(raw);
    gst_plugin_feature_list_free(accepting);
    gst_plugin_feature_list_free(all);
    return names;
}

// The decoder bin's state, on the bin as object data.
struct Plugging {
    GstElement* bin = nullptr;
    const CodecChain* chain = nullptr;
    std::vector<std::string> candidates;
    size_t next = 0;  // the candidate to try when the current one fails
    GstElement* parser = nullptr;
    GstElement* decoder = nullptr;
    // The decoder's messages while on probation; its errors must not reach the graph,
    // whose errors tell the user the video failed.
    GstBus* probation = nullptr;
    std::atomic<bool> proven{false};
    // The stream since its start while the decoder is on probation; streaming thread only.
    std::vector<GstBuffer*> held;
    gsize heldBytes = 0;
    bool holding = true;

    ~Plugging() {
        DropHeld();
        if (probation) gst_object_unref(probation);
    }
    void DropHeld() {
        for (GstBuffer* b : held) gst_buffer_unref(b);
        held.clear();
        heldBytes = 0;
    }
};

Plugging* PluggingOf(GstElement* bin) {
    return static_cast<Plugging*>(g_object_get_data(G_OBJECT(bin), "zevo-plugging"));
}

// The decoder has shown a picture: its messages go to the graph from now on.
GstPadProbeReturn OnFirstPicture(GstPad* pad, GstPadProbeInfo*, gpointer user) {
    auto* p = static_cast<Plugging*>(user);
    GstElement* decoder = GST_PAD_PARENT(pad);
    if (decoder && !p->proven.exchange(true)) {
        gst_element_set_bus(decoder, GST_BIN(p->bin)->child_bus);
        // What it said on probation, other than errors, is passed on.
        while (GstMessage* m = gst_bus_pop(p->probation)) {
            if (GST_MESSAGE_TYPE(m) != GST_MESSAGE_ERROR)
                gst_element_post_message(decoder, m);
            else
                gst_message_unref(m);
        }
    }
    return GST_PAD_PROBE_REMOVE;
}

void RemoveElement(GstElement* bin, GstElement*& element) {
    if (!element) return;
    gst_element_set_state(element, GST_STATE_NULL);
    gst_bin_remove(GST_BIN(bin), element);
    element = nullptr;
}

// Pictures up to this many pixels are decoded on one thread: a 720p picture takes about a
// millisecond, and sharing its slices with a second thread costs more CPU than it saves
// in time. Larger ones use a thread per core.
constexpr int kOneThreadPixels = 1280 * 720;

// Sets the software decoder's threads from the stream's picture size before the decoder
// opens (and again when the size changes).
GstPadProbeReturn ChooseDecodingThreads(GstPad*, GstPadProbeInfo* info, gpointer decoder) {
    GstEvent* event = GST_PAD_PROBE_INFO_EVENT(info);
    if (GST_EVENT_TYPE(event) != GST_EVENT_CAPS) return GST_PAD_PROBE_OK;
    GstCaps* caps = nullptr;
    gst_event_parse_caps(event, &caps);
    const GstStructure* format = caps ? gst_caps_get_structure(caps, 0) : nullptr;
    int width = 0;
    int height = 0;
    if (format && gst_structure_get_int(format, "width", &width) &&
        gst_structure_get_int(format, "height", &height)) {
        const bool small = static_cast<int64_t>(width) * height <= kOneThreadPixels;
        g_object_set(decoder, "max-threads", small ? 1 : 0, nullptr);
    }
    return GST_PAD_PROBE_OK;
}

// Plugs a fresh parser and the next candidate that starts; false when none is left.
bool PlugNext(Plugging& p) {
    GstElement* bin = p.bin;
    RemoveElement(bin, p.decoder);
    RemoveElement(bin, p.parser);
    while (gst_bus_have_pending(p.probation)) gst_message_unref(gst_bus_pop(p.probation));
    p.parser = MakeElement(p.chain->parser);
    if (!p.parser) {
        ReportMissing(bin, p.chain->parser);
        return false;
    }
    gst_bin_add(GST_BIN(bin), p.parser);
    gst_element_sync_state_with_parent(p.parser);
    while (p.next < p.candidates.size()) {
        const std::string& name = p.candidates[p.next++];
        GstElement* decoder = MakeElement(name.c_str());
        if (!decoder) continue;
        // Live display: no frame-threading delay, output what can be decoded.
        if (g_str_has_prefix(name.c_str(), "avdec_")) {
            gst_util_set_object_arg(G_OBJECT(decoder), "thread-type", "slice");
            GstPad* sink = gst_element_get_static_pad(decoder, "sink");
            gst_pad_add_probe(sink, GST_PAD_PROBE_TYPE_EVENT_DOWNSTREAM, ChooseDecodingThreads,
                              decoder, nullptr);
            gst_object_unref(sink);
        }
        gst_bin_add(GST_BIN(bin), decoder);
        gst_element_set_bus(decoder, p.probation);
        bool started =
            gst_element_link(p.parser, decoder) && gst_element_sync_state_with_parent(decoder);
        if (started) {
            GstState state = GST_STATE_VOID_PENDING;
            started =
                gst_element_get_state(decoder, &state, nullptr, 0) != GST_STATE_CHANGE_FAILURE;
        }
        if (GstMessage* error = gst_bus_pop_filtered(p.probation, GST_MESSAGE_ERROR)) {
            started = false;
            gst_message_unref(error);
        }
        if (!started) {
            gst_element_set_state(decoder, GST_STATE_NULL);
            gst_bin_remove(GST_BIN(bin), decoder);
            continue;
        }
        p.decoder = decoder;
        p.proven = false;
        GstPad* decoderSrc = gst_element_get_static_pad(decoder, "src");
        GstPad* parserSink = gst_element_get_static_pad(p.parser, "sink");
        GstPad* srcGhost = gst_element_get_static_pad(bin, "src");
        GstPad* sinkGhost = gst_element_get_static_pad(bin, "sink");
        gst_pad_add_probe(decoderSrc, GST_PAD_PROBE_TYPE_BUFFER, OnFirstPicture, &p, nullptr);
        gst_ghost_pad_set_target(GST_GHOST_PAD(srcGhost), decoderSrc);
        gst_ghost_pad_set_target(GST_GHOST_PAD(sinkGhost), parserSink);
        for (GstPad* pad : {decoderSrc, parserSink, srcGhost, sinkGhost}) gst_object_unref(pad);
        return true;
    }
    RemoveElement(bin, p.parser);
    ReportMissing(bin, p.chain->decoder);
    return false;
}

// Plugs parser and decoder once the stream's caps are known, then lets the caps event
// through to them.
GstPadProbeReturn OnDecoderInputEvent(GstPad* pad, GstPadProbeInfo* info, gpointer user) {
    GstEvent* event = GST_PAD_PROBE_INFO_EVENT(info);
    if (GST_EVENT_TYPE(event) != GST_EVENT_CAPS) return GST_PAD_PROBE_OK;
    Plugging& p = *static_cast<Plugging*>(user);
    GstPad* target = gst_ghost_pad_get_target(GST_GHOST_PAD(pad));
    if (target) {
        gst_object_unref(target);
        return GST_PAD_PROBE_OK;
    }
    GstCaps* caps = nullptr;
    gst_event_parse_caps(event, &caps);
    const char* media = gst_structure_get_name(gst_caps_get_structure(caps, 0));
    for (const auto& candidate : kCodecChains) {
        if (g_str_equal(media, candidate.media)) p.chain = &candidate;
    }
    if (!p.chain) {
        ReportMissing(p.bin, media);
        return GST_PAD_PROBE_OK;
    }
    // Decoders are matched against what the parser gives them.
    GstCaps* parsed = gst_caps_from_string(p.chain->media);
    p.candidates = DecoderCandidates(parsed, *p.chain);
    gst_caps_unref(parsed);
    PlugNext(p);
    return GST_PAD_PROBE_OK;
}

// The stream into the bin. Until the decoder shows its first picture, what it is given is
// kept, and a failure of the stream (the decoder's, reaching here through the parser)
// plugs the next decoder and gives it the stream kept so far.
GstFlowReturn ChainOnProbation(GstPad* pad, GstObject* parent, GstBuffer* buffer) {
    Plugging& p = *PluggingOf(GST_ELEMENT(parent));
    if (p.proven.load()) {
        if (!p.held.empty()) p.DropHeld();
        return gst_proxy_pad_chain_default(pad, parent, buffer);
    }
    if (p.holding) {
        p.heldBytes += gst_buffer_get_size(buffer);
        if (p.held.size() >= kHeldBuffersMax || p.heldBytes > kHeldBytesMax) {
            p.holding = false;
            p.DropHeld();
        } else {
            p.held.push_back(gst_buffer_ref(buffer));
        }
    }
    GstFlowReturn flow = gst_proxy_pad_chain_default(pad, parent, buffer);
    while ((flow == GST_FLOW_ERROR || flow == GST_FLOW_NOT_NEGOTIATED) && !p.proven.load() &&
           p.next < p.candidates.size()) {
        if (!PlugNext(p)) break;
        flow = GST_FLOW_OK;
        for (size_t i = 0; i < p.held.size() && flow == GST_FLOW_OK; ++i) {
            flow = gst_proxy_pad_chain_default(pad, parent, gst_buffer_ref(p.held[i]));
        }
    }
    if (flow == GST_FLOW_ERROR && !p.proven.load() && p.decoder) {
        // The last decoder failed too: now the graph hears why.
        gst_element_set_bus(p.decoder, GST_BIN(p.bin)->child_bus);
        while (GstMessage* m = gst_bus_pop(p.probation)) gst_element_post_message(p.decoder, m);
    }
    return flow;
}

}  // namespace

GstElement* MakeVideoDecoder() {
    // H.264 is what every camera sends; without its decoder there is no decoder.
    if (!FactoryInstalled("h264parse") || !FactoryInstalled("avdec_h264") ||
        !CreationAllowed("avdec_h264")) {
        return nullptr;
    }
    GstElement* bin = gst_bin_new(nullptr);
    auto* plugging = new Plugging;
    plugging->bin = bin;
    plugging->probation = gst_bus_new();
    g_object_set_data_full(G_OBJECT(bin), "zevo-plugging", plugging,
                           [](gpointer data) { delete static_cast<Plugging*>(data); });
    GstCaps* inCaps = gst_caps_from_string("video/x-h264; video/x-h265; image/jpeg");
    GstPadTemplate* sinkTemplate =
        gst_pad_template_new("sink", GST_PAD_SINK, GST_PAD_ALWAYS, inCaps);
    GstCaps* outCaps = gst_caps_from_string("video/x-raw");
    GstPadTemplate* srcTemplate = gst_pad_template_new("src", GST_PAD_SRC, GST_PAD_ALWAYS, outCaps);
    GstPad* sink = gst_ghost_pad_new_no_target_from_template("sink", sinkTemplate);
    GstPad* src = gst_ghost_pad_new_no_target_from_template("src", srcTemplate);
    gst_caps_unref(inCaps);
    gst_caps_unref(outCaps);
    gst_object_unref(sinkTemplate);
    gst_object_unref(srcTemplate);
    gst_pad_add_probe(sink, GST_PAD_PROBE_TYPE_EVENT_DOWNSTREAM, OnDecoderInputEvent, plugging,
                      nullptr);
    gst_pad_set_chain_function(sink, ChainOnProbation);
    // Lists come buffer by buffer through the chain above.
    gst_pad_set_chain_list_function(sink, nullptr);
    gst_element_add_pad(bin, sink);
    gst_element_add_pad(bin, src);
    return bin;
}

}  // namespace zevo
