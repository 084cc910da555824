#include "media/graph_filters.h"

#include <gst/app/gstappsrc.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "media/graph_elements.h"

namespace zevo {

namespace {
std::mutex gHookLock;
FilterCreateHook gCreateHook;
}  // namespace

bool CreationAllowed(const char* classId) {
    std::lock_guard lock(gHookLock);
    return !gCreateHook || gCreateHook(classId);
}

bool FactoryInstalled(const char* name) {
    GstElementFactory* factory = gst_element_factory_find(name);
    if (!factory) return false;
    gst_object_unref(factory);
    return true;
}

GstElement* MakeElement(const char* factory) {
    if (!CreationAllowed(factory)) return nullptr;
    return gst_element_factory_make(factory, nullptr);
}

namespace {

GstCaps* OfferedCaps(GstPad* out);

void SetIfExists(GstElement* element, const char* property, int value) {
    if (g_object_class_find_property(G_OBJECT_GET_CLASS(element), property))
        g_object_set(element, property, value, nullptr);
}

// --- push source -----------------------------------------------------------------

constexpr int32_t kVideoStreamId = 224;
// Bounded queue between the pushing thread and the decoder: a stalled decoder drops
// new frames instead of growing without limit.
constexpr guint64 kPushQueueBytes = 8u * 1024 * 1024;

GstElement* MakePushSource() {
    GstElement* src = MakeElement("appsrc");
    if (!src) return nullptr;
    g_object_set(src, "is-live", TRUE, "format", GST_FORMAT_TIME, "do-timestamp", FALSE,
                 "max-bytes", kPushQueueBytes, "block", FALSE, nullptr);
    gst_util_set_object_arg(G_OBJECT(src), "leaky-type", "downstream");
    g_object_set_data(G_OBJECT(src), "zevo-packet-push", GINT_TO_POINTER(1));
    return src;
}

class AppSrcPacketPush final : public IPacketPush {
public:
    explicit AppSrcPacketPush(GstElement* src) : mSrc(GST_APP_SRC(gst_object_ref(src))) {}
    ~AppSrcPacketPush() override { gst_object_unref(mSrc); }

    int32_t PushPacket(int32_t streamId, const unsigned char* data, int32_t length) override {
        return Push(streamId, data, length, GST_CLOCK_TIME_NONE);
    }

    int32_t PushTracedPacket(int32_t streamId, const unsigned char* data, int32_t length,
                             uint32_t frameId) override {
        return Push(streamId, data, length, FramePts(frameId));
    }

private:
    int32_t Push(int32_t streamId, const unsigned char* data, int32_t length, GstClockTime pts) {
        if (streamId != kVideoStreamId) return E_INVALIDARG;
        if (!data) return E_POINTER;
        if (length <= 0) return E_INVALIDARG;
        if (!mCapsSet.load(std::memory_order_acquire)) {
            std::lock_guard lock(mCapsLock);
            if (!mCapsSet.load(std::memory_order_relaxed)) {
                // Until a payload shows its codec there is nothing a decoder could use.
                std::string caps = DetectVideoCaps(data, length);
                if (caps.empty()) return S_FALSE;
                GstCaps* parsed = gst_caps_from_string(caps.c_str());
                gst_app_src_set_caps(mSrc, parsed);
                gst_caps_unref(parsed);
                mCapsSet.store(true, std::memory_order_release);
            }
        }
        GstBuffer* buffer = gst_buffer_new_memdup(data, static_cast<gsize>(length));
        GST_BUFFER_PTS(buffer) = pts;
        GstFlowReturn flow = gst_app_src_push_buffer(mSrc, buffer);
        return flow == GST_FLOW_OK ? S_OK : E_FAIL;
    }

    GstAppSrc* mSrc;
    std::mutex mCapsLock;
    std::atomic<bool> mCapsSet{false};
};

// --- renderer ----------------------------------------------------------------------

GstElement* MakeVideoRenderer() {
    GstElement* convert = MakeElement("videoconvert");
    GstElement* sink = MakeElement("appsink");
    if (!convert || !sink) {
        if (convert) gst_object_unref(convert);
        if (sink) gst_object_unref(sink);
        return nullptr;
    }
    SetIfExists(convert, "qos", FALSE);
    // The decoder's own formats pass through untouched (the window converts and scales
    // them in one step when it paints); only others are converted here.
    GstCaps* caps = gst_caps_from_string(
        "video/x-raw,format={I420,YV12,NV12,NV21,Y42B,Y444,YUY2,UYVY,GRAY8,BGRx,BGRA,RGBx,"
        "RGBA}");
    // Shown at once: no clock, no waiting for presentation times, nothing dropped late.
    g_object_set(sink, "caps", caps, "sync", FALSE, "qos", FALSE, "max-lateness",
                 static_cast<gint64>(-1), "enable-last-sample", FALSE, "max-buffers", 2u, "drop",
                 FALSE, nullptr);
    gst_caps_unref(caps);
    GstElement* bin = gst_bin_new(nullptr);
    gst_bin_add_many(GST_BIN(bin), convert, sink, nullptr);
    gst_element_link(convert, sink);
    GstPad* convertSink = gst_element_get_static_pad(convert, "sink");
    gst_element_add_pad(bin, gst_ghost_pad_new("sink", convertSink));
    gst_object_unref(convertSink);
    return bin;
}

GstElement* MakeFilter(const char* classId) {
    if (!CreationAllowed(classId)) return nullptr;
    if (g_str_equal(classId, kPacketPushFilter)) return MakePushSource();
    if (g_str_equal(classId, kVideoDecoderFilter)) return MakeVideoDecoder();
    if (g_str_equal(classId, kVideoRendererFilter)) return MakeVideoRenderer();
    return MakeElement(classId);
}

// --- intelligent connect -----------------------------------------------------------

bool IsInsertable(GstElementFactory* factory) {
    const char* klass = gst_element_factory_get_metadata(factory, GST_ELEMENT_METADATA_KLASS);
    if (!klass) return false;
    return strstr(klass, "Parser") || strstr(klass, "Converter");
}

// Tries parsers and converters, best rank first, that accept what out offers and
// produce what in takes.
int32_t ConnectThroughIntermediate(GstElement* graph, GstPad* out, GstPad* in) {
    GstCaps* outCaps = OfferedCaps(out);
    GstCaps* inCaps = gst_pad_query_caps(in, nullptr);
    GList* all = nullptr;
    GList* features = gst_registry_get_feature_list(gst_registry_get(), GST_TYPE_ELEMENT_FACTORY);
    for (GList* f = features; f; f = f->next) {
        auto* factory = GST_ELEMENT_FACTORY(f->data);
        if (IsInsertable(factory) &&
            gst_plugin_feature_get_rank(GST_PLUGIN_FEATURE(factory)) >= GST_RANK_MARGINAL) {
            all = g_list_prepend(all, gst_object_ref(factory));
        }
    }
    gst_plugin_feature_list_free(features);
    GList* sinks = gst_element_factory_list_filter(all, outCaps, GST_PAD_SINK, FALSE);
    GList* both = gst_element_factory_list_filter(sinks, inCaps, GST_PAD_SRC, FALSE);
    both = g_list_sort(both, gst_plugin_feature_rank_compare_func);
    int32_t result = E_FAIL;
    for (GList* item = both; item && result < 0; item = item->next) {
        auto* factory = GST_ELEMENT_FACTORY(item->data);
        const char* name = gst_plugin_feature_get_name(GST_PLUGIN_FEATURE(factory));
        if (!CreationAllowed(name)) continue;
        GstElement* middle = gst_element_factory_create(factory, nullptr);
        if (!middle) continue;
        gst_bin_add(GST_BIN(graph), middle);
        GstPad* middleSink = gst_element_get_static_pad(middle, "sink");
        GstPad* middleSrc = gst_element_get_static_pad(middle, "src");
        bool linked = middleSink && middleSrc && gst_pad_link(out, middleSink) == GST_PAD_LINK_OK;
        if (linked && gst_pad_link(middleSrc, in) != GST_PAD_LINK_OK) {
            gst_pad_unlink(out, middleSink);
            linked = false;
        }
        if (middleSink) gst_object_unref(middleSink);
        if (middleSrc) gst_object_unref(middleSrc);
        if (linked) {
            gst_element_sync_state_with_parent(middle);
            result = S_OK;
        } else {
            gst_bin_remove(GST_BIN(graph), middle);
        }
    }
    gst_plugin_feature_list_free(both);
    gst_plugin_feature_list_free(sinks);
    gst_plugin_feature_list_free(all);
    gst_caps_unref(outCaps);
    gst_caps_unref(inCaps);
    return result;
}

GstPad* FindFreeStaticPin(GstElement* filter, GstPadDirection direction) {
    GstPad* found = nullptr;
    GstIterator* it = gst_element_iterate_pads(filter);
    GValue item = G_VALUE_INIT;
    bool done = false;
    while (!done) {
        switch (gst_iterator_next(it, &item)) {
            case GST_ITERATOR_OK: {
                auto* pad = GST_PAD(g_value_get_object(&item));
                if (GST_PAD_DIRECTION(pad) == direction && !gst_pad_is_linked(pad)) {
                    found = GST_PAD(gst_object_ref(pad));
                    done = true;
                }
                g_value_reset(&item);
                break;
            }
            case GST_ITERATOR_RESYNC:
                gst_iterator_resync(it);
                break;
            default:
                done = true;
                break;
        }
    }
    g_value_unset(&item);
    gst_iterator_free(it);
    return found;
}

// What an output pin will carry: a push source's configured caps, else what it can do.
GstCaps* OfferedCaps(GstPad* out) {
    GstElement* parent = gst_pad_get_parent_element(out);
    GstCaps* caps = nullptr;
    if (parent && GST_IS_APP_SRC(parent)) caps = gst_app_src_get_caps(GST_APP_SRC(parent));
    if (parent) gst_object_unref(parent);
    return caps ? caps : gst_pad_query_caps(out, nullptr);
}

bool SharesMediaType(GstCaps* a, GstCaps* b) {
    for (guint i = 0; i < gst_caps_get_size(a); ++i) {
        const char* name = gst_structure_get_name(gst_caps_get_structure(a, i));
        for (guint j = 0; j < gst_caps_get_size(b); ++j) {
            if (g_str_equal(name, gst_structure_get_name(gst_caps_get_structure(b, j))))
                return true;
        }
    }
    return false;
}

// A request pad whose template takes caps as they are, or else the same media type
// (a parser in between can then adapt the format).
GstPad* RequestPinFor(GstElement* filter, GstCaps* caps) {
    if (!caps || gst_caps_is_any(caps)) return nullptr;
    GstPadTemplate* exact = nullptr;
    GstPadTemplate* sameType = nullptr;
    for (const GList* t = gst_element_class_get_pad_template_list(GST_ELEMENT_GET_CLASS(filter)); t;
         t = t->next) {
        auto* templ = GST_PAD_TEMPLATE(t->data);
        if (GST_PAD_TEMPLATE_DIRECTION(templ) != GST_PAD_SINK ||
            GST_PAD_TEMPLATE_PRESENCE(templ) != GST_PAD_REQUEST) {
            continue;
        }
        GstCaps* templateCaps = gst_pad_template_get_caps(templ);
        if (!exact && gst_caps_can_intersect(templateCaps, caps)) exact = templ;
        if (!sameType && SharesMediaType(templateCaps, caps)) sameType = templ;
        gst_caps_unref(templateCaps);
    }
    GstPadTemplate* chosen = exact ? exact : sameType;
    return chosen ? gst_element_request_pad(filter, chosen, nullptr, nullptr) : nullptr;
}

int32_t Connect(GstElement* graph, GstPad* out, GstPad* in) {
    if (!graph || !out || !in) return E_POINTER;
    // Pads of elements that have not started yet may claim to take anything; decide by
    // what the output will really carry.
    GstCaps* offered = OfferedCaps(out);
    GstCaps* accepted = gst_pad_query_caps(in, nullptr);
    const bool direct = gst_caps_can_intersect(offered, accepted);
    gst_caps_unref(offered);
    gst_caps_unref(accepted);
    if (!direct) return ConnectThroughIntermediate(graph, out, in);
    GstPadLinkReturn link = gst_pad_link(out, in);
    if (link == GST_PAD_LINK_OK) return S_OK;
    if (link != GST_PAD_LINK_NOFORMAT) return E_FAIL;
    return ConnectThroughIntermediate(graph, out, in);
}

// --- running graphs ----------------------------------------------------------------

struct RunningGraph {
    std::string name;
    GstElement* graph;
};

std::mutex gRotLock;
std::map<uint32_t, RunningGraph> gRot;
uint32_t gNextCookie = 1;

std::string FileNameFor(const std::string& name) {
    std::string out;
    for (char c : name) out += (c == ' ') ? '_' : c;
    return out;
}

}  // namespace

int32_t CreateAndAddFilter(GstElement* graph, const char* classId, const char* name,
                           GstElement** filter) {
    if (!graph || !classId || !name || !filter) return E_POINTER;
    *filter = nullptr;
    if (!GST_IS_BIN(graph)) return E_NOINTERFACE;
    GstElement* element = MakeFilter(classId);
    if (!element) return REGDB_E_CLASSNOTREG;
    gst_object_ref_sink(element);
    gst_object_set_name(GST_OBJECT(element), name);
    if (!gst_bin_add(GST_BIN(graph), element)) {
        gst_object_unref(element);
        return E_FAIL;
    }
    *filter = element;
    gst_object_unref(element);  // the graph holds it now
    return S_OK;
}

int32_t FindFreePin(GstElement* filter, GstPadDirection direction, GstPad** pin) {
    if (!filter || !pin) return E_POINTER;
    *pin = FindFreeStaticPin(filter, direction);
    if (*pin) return S_OK;
    // Filters that make pins on demand (multiplexers) offer a fresh one.
    for (const GList* t = gst_element_class_get_pad_template_list(GST_ELEMENT_GET_CLASS(filter)); t;
         t = t->next) {
        auto* templ = GST_PAD_TEMPLATE(t->data);
        if (GST_PAD_TEMPLATE_DIRECTION(templ) == direction &&
            GST_PAD_TEMPLATE_PRESENCE(templ) == GST_PAD_REQUEST) {
            *pin = gst_element_request_pad(filter, templ, nullptr, nullptr);
            if (*pin) return S_OK;
        }
    }
    return E_FAIL;
}

int32_t ConnectPinToFilter(GstElement* graph, GstPad* outputPin, GstElement* filter) {
    if (!graph || !outputPin || !filter) return E_POINTER;
    GstPad* input = FindFreeStaticPin(filter, GST_PAD_SINK);
    bool requested = false;
    if (!input) {
        // A multiplexer: ask for the input of the kind the output carries.
        GstCaps* offered = OfferedCaps(outputPin);
        input = RequestPinFor(filter, offered);
        gst_caps_unref(offered);
        if (!input) FindFreePin(filter, GST_PAD_SINK, &input);
        requested = input != nullptr;
    }
    int32_t result = Connect(graph, outputPin, input);
    if (input) {
        if (result < 0 && requested) gst_element_release_request_pad(filter, input);
        gst_object_unref(input);
    }
    return result;
}

int32_t ConnectFilterPair(GstElement* graph, GstElement* upstream, GstElement* downstream) {
    if (!graph || !upstream || !downstream) return E_POINTER;
    GstPad* output = nullptr;
    int32_t result = FindFreePin(upstream, GST_PAD_SRC, &output);
    if (result < 0) return result;
    result = ConnectPinToFilter(graph, output, downstream);
    gst_object_unref(output);
    return result;
}

std::unique_ptr<IPacketPush> QueryPacketPush(GstElement* filter) {
    if (!filter || !GST_IS_APP_SRC(filter) ||
        !g_object_get_data(G_OBJECT(filter), "zevo-packet-push")) {
        return nullptr;
    }
    return std::make_unique<AppSrcPacketPush>(filter);
}

void SetFilterCreateHook(FilterCreateHook hook) {
    std::lock_guard lock(gHookLock);
    gCreateHook = std::move(hook);
}

std::string DetectVideoCaps(const unsigned char* data, int32_t length) {
    if (!data || length < 4) return {};
    if (data[0] == 0xFF && data[1] == 0xD8) return "image/jpeg,parsed=(boolean)false";
    // Score every NAL header under both codecs' rules; a parameter set decides at once.
    int h264 = 0;
    int h265 = 0;
    for (int32_t i = 0; i + 4 < length; ++i) {
        if (data[i] != 0 || data[i + 1] != 0 || data[i + 2] != 1) continue;
        const unsigned char b0 = data[i + 3];
        const unsigned char b1 = (i + 4 < length) ? data[i + 4] : 0;
        i += 2;
        if (b0 & 0x80) continue;  // forbidden bit
        const int type264 = b0 & 0x1F;
        const int refIdc = (b0 >> 5) & 3;
        const int type265 = (b0 >> 1) & 0x3F;
        const bool layer0 = (b0 & 1) == 0 && (b1 >> 3) == 0 && (b1 & 7) != 0;
        if (layer0 && (type265 == 32 || type265 == 33))
            return "video/x-h265,stream-format=byte-stream,alignment=au";
        if (refIdc != 0 && (type264 == 7))
            return "video/x-h264,stream-format=byte-stream,alignment=au";
        if ((type264 == 1) || (type264 == 5 && refIdc != 0) || (type264 == 8 && refIdc != 0) ||
            ((type264 == 6 || type264 == 9) && refIdc == 0)) {
            ++h264;
        }
        if (layer0 && (type265 <= 9 || (type265 >= 16 && type265 <= 21) ||
                       (type265 >= 34 && type265 <= 40))) {
            ++h265;
        }
    }
    if (h264 == 0 && h265 == 0) return {};
    return h265 > h264 ? "video/x-h265,stream-format=byte-stream,alignment=au"
                       : "video/x-h264,stream-format=byte-stream,alignment=au";
}

uint32_t RegisterRunningGraph(const std::string& name, GstElement* graph) {
    if (!graph) return 0;
    std::lock_guard lock(gRotLock);
    uint32_t cookie = gNextCookie++;
    if (gNextCookie == 0) gNextCookie = 1;
    gRot[cookie] = RunningGraph{name, GST_ELEMENT(gst_object_ref(graph))};
    return cookie;
}

void RevokeRunningGraph(uint32_t cookie) {
    GstElement* graph = nullptr;
    {
        std::lock_guard lock(gRotLock);
        auto found = gRot.find(cookie);
        if (found == gRot.end()) return;
        graph = found->second.graph;
        gRot.erase(found);
    }
    gst_object_unref(graph);
}

GstElement* FindRunningGraph(const std::string& name) {
    std::lock_guard lock(gRotLock);
    for (auto& [cookie, entry] : gRot) {
        if (entry.name == name) return GST_ELEMENT(gst_object_ref(entry.graph));
    }
    return nullptr;
}

size_t RunningGraphCount() {
    std::lock_guard lock(gRotLock);
    return gRot.size();
}

int DumpRunningGraphs(const char* dir) {
    if (!dir || !*dir) return 0;
    std::vector<std::pair<std::string, GstElement*>> graphs;
    {
        std::lock_guard lock(gRotLock);
        for (auto& [cookie, entry] : gRot) {
            graphs.emplace_back(entry.name, GST_ELEMENT(gst_object_ref(entry.graph)));
        }
    }
    int written = 0;
    for (auto& [name, graph] : graphs) {
        gchar* dot = gst_debug_bin_to_dot_data(GST_BIN(graph), GST_DEBUG_GRAPH_SHOW_ALL);
        std::string path = std::string(dir) + "/" + FileNameFor(name) + ".dot";
        if (FILE* file = std::fopen(path.c_str(), "w")) {
            if (std::fputs(dot, file) >= 0) ++written;
            std::fclose(file);
        }
        g_free(dot);
        gst_object_unref(graph);
    }
    return written;
}

void DumpRunningGraphsIfRequested() {
    if (const char* dir = std::getenv("ZEVO_GRAPH_DUMP_DIR")) DumpRunningGraphs(dir);
}

}  // namespace zevo
