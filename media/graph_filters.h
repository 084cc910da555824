#pragma once
// Building blocks of the GStreamer graphs (live video, recording): filters are elements,
// pins are pads, the graph is a pipeline. The filter kinds below stand for the
// components the graphs create by identifier; anything else is taken as a GStreamer
// element factory name.
#include <gst/gst.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "media/hresult.h"
#include "media/video_graph.h"

namespace zevo {

// Push source: an appsrc whose caps follow the first payload pushed (H.264, H.265 or
// JPEG), fed through IPacketPush.
inline constexpr const char* kPacketPushFilter = "zevo-packet-push";
// Decoder: plugs parser and decoder for the codec the stream announces.
inline constexpr const char* kVideoDecoderFilter = "zevo-video-decoder";
// Renderer: hands every decoded frame, in a format the window can convert, to the
// graph's frame store.
inline constexpr const char* kVideoRendererFilter = "zevo-video-renderer";

// Creates a filter of the given kind, names it and adds it to graph. filter receives a
// borrowed pointer (the graph owns the element). E_POINTER for a null argument.
int32_t CreateAndAddFilter(GstElement* graph, const char* classId, const char* name,
                           GstElement** filter);
// First unlinked pad of filter in direction; a request pad when the filter has no
// static one left. pin receives a reference the caller releases (gst_object_unref).
int32_t FindFreePin(GstElement* filter, GstPadDirection direction, GstPad** pin);
// Links outputPin to a free input pad of filter, inserting a parser or converter
// between them when the two cannot link directly.
int32_t ConnectPinToFilter(GstElement* graph, GstPad* outputPin, GstElement* filter);
int32_t ConnectFilterPair(GstElement* graph, GstElement* upstream, GstElement* downstream);

// A traced frame's id as the presentation stamp of its buffer, which parser and decoder
// hand on to the picture (the graph runs without a clock, so the stamp times nothing);
// and back. False for a buffer without a stamp (an untraced frame).
inline GstClockTime FramePts(uint32_t frameId) {
    return static_cast<GstClockTime>(frameId) * GST_MSECOND;
}
inline bool FrameIdOf(GstBuffer* buffer, uint32_t* frameId) {
    if (!buffer || !GST_BUFFER_PTS_IS_VALID(buffer)) return false;
    *frameId = static_cast<uint32_t>(GST_BUFFER_PTS(buffer) / GST_MSECOND);
    return true;
}

// The push interface of a push source filter; null when filter is not one.
std::unique_ptr<IPacketPush> QueryPacketPush(GstElement* filter);

// Test seam: when set, creating a filter of a kind (or factory name) for which the hook
// returns false fails as if the element were not installed.
using FilterCreateHook = std::function<bool(const char* classId)>;
void SetFilterCreateHook(FilterCreateHook hook);

// Caps a payload announces: video/x-h264, video/x-h265 or image/jpeg; empty when the
// payload shows none of them (yet).
std::string DetectVideoCaps(const unsigned char* data, int32_t length);

// Process-wide table of running graphs, keyed by their display name.
uint32_t RegisterRunningGraph(const std::string& name, GstElement* graph);
void RevokeRunningGraph(uint32_t cookie);
// The registered graph of that name with a reference the caller releases; null when none.
GstElement* FindRunningGraph(const std::string& name);
// How many graphs are registered.
size_t RunningGraphCount();
// Writes one Graphviz file per registered graph into dir; returns how many.
int DumpRunningGraphs(const char* dir);
// Writes the registered graphs to $ZEVO_GRAPH_DUMP_DIR when that is set.
void DumpRunningGraphsIfRequested();

}  // namespace zevo
