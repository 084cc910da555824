#include "media/filter_graph.h"

#include <unistd.h>

#include <QCoreApplication>
#include <QString>
#include <chrono>
#include <cinttypes>
#include <cstdio>

#include "media/graph_filters.h"
#include "platform/message_box.h"

namespace zevo {

bool InitialiseGStreamer() {
    static std::once_flag once;
    static bool ok = false;
    std::call_once(once, [] {
        GError* error = nullptr;
        ok = gst_init_check(nullptr, nullptr, &error);
        if (error) g_error_free(error);
    });
    return ok;
}

void ShowGraphMessage(const char* text) {
    ShowMessageBox(nullptr, QString::fromUtf8(text), QCoreApplication::applicationName(),
                   MessageIcon::Warning);
}

// Nobody polls the graph's bus: errors are logged, the end of the stream is signalled,
// everything else dropped so the bus never fills up. A handler that drops a message
// owns it: each message holds its source element, so one left unreleased keeps the
// whole pipeline (and its bus's socket pair) alive.
GstBusSyncReply FilterGraph::OnBusMessage(GstBus*, GstMessage* message, gpointer self) {
    auto* graph = static_cast<FilterGraph*>(self);
    const GstMessageType type = GST_MESSAGE_TYPE(message);
    if (type == GST_MESSAGE_ERROR || type == GST_MESSAGE_WARNING) {
        GError* error = nullptr;
        if (type == GST_MESSAGE_ERROR) {
            gst_message_parse_error(message, &error, nullptr);
        } else {
            gst_message_parse_warning(message, &error, nullptr);
        }
        g_printerr("%s: %s: %s\n", graph->mLabel, GST_OBJECT_NAME(GST_MESSAGE_SRC(message)),
                   error ? error->message : "error");
        if (error) g_error_free(error);
    }
    // Counted so that the window can tell its user; printing alone reaches nobody.
    if (type == GST_MESSAGE_ERROR) graph->mErrors.fetch_add(1);
    if (type == GST_MESSAGE_EOS || type == GST_MESSAGE_ERROR) {
        std::lock_guard lock(graph->mEndLock);
        graph->mEnded = true;
        graph->mEndSignal.notify_all();
    }
    gst_message_unref(message);
    return GST_BUS_DROP;
}

bool FilterGraph::Create() {
    if (mGraph || !InitialiseGStreamer()) return false;
    GstElement* pipeline = gst_pipeline_new(nullptr);
    if (!pipeline) return false;
    // A new pipeline has not run, whatever the graph before it was left at (a failed
    // stop leaves "running" behind, and Run would then never start this one).
    mState.store(0);
    mErrors.store(0);
    mGraph = GST_ELEMENT(gst_object_ref_sink(pipeline));
    GstBus* bus = gst_element_get_bus(mGraph);
    gst_bus_set_sync_handler(bus, OnBusMessage, this, nullptr);
    gst_object_unref(bus);
    char name[256];
    std::snprintf(name, sizeof name, "FilterGraph %08" PRIxPTR " pid %08x",
                  reinterpret_cast<uintptr_t>(mGraph), static_cast<unsigned>(getpid()));
    mName = name;
    mRotCookie = RegisterRunningGraph(mName, mGraph);
    return true;
}

bool FilterGraph::QueryControl() {
    if (!mGraph) return false;
    if (!mMediaControl) mMediaControl = GST_ELEMENT(gst_object_ref(mGraph));
    if (!mMediaEvent) mMediaEvent = gst_element_get_bus(mGraph);
    return HasControl();
}

int FilterGraph::Run() {
    if (!mGraph || !HasControl()) return 0;
    if (mState.load() == 2) return 1;
    {
        std::lock_guard lock(mEndLock);
        mEnded = false;
    }
    if (gst_element_set_state(mMediaControl, GST_STATE_PLAYING) == GST_STATE_CHANGE_FAILURE)
        return 0;
    mState.store(2);
    DumpRunningGraphsIfRequested();
    return 1;
}

int FilterGraph::Stop() {
    if (!mGraph || !HasControl()) return 0;
    if (mState.load() == 0) return 1;
    // The graph as it ran, with the caps it negotiated, before it stops.
    DumpRunningGraphsIfRequested();
    if (gst_element_set_state(mMediaControl, GST_STATE_READY) == GST_STATE_CHANGE_FAILURE) return 0;
    mState.store(0);
    return 1;
}

bool FilterGraph::WaitForEnd(uint32_t ms) {
    std::unique_lock lock(mEndLock);
    return mEndSignal.wait_for(lock, std::chrono::milliseconds(ms), [this] { return mEnded; });
}

void FilterGraph::Halt() {
    if (!mGraph) return;
    gst_element_set_state(mGraph, GST_STATE_NULL);
    gst_element_get_state(mGraph, nullptr, nullptr, GST_CLOCK_TIME_NONE);
}

void FilterGraph::Release() {
    if (!mGraph) return;
    // Streaming threads end here, before anything they feed goes.
    Halt();
    if (mMediaControl) gst_object_unref(mMediaControl);
    if (mMediaEvent) gst_object_unref(mMediaEvent);
    mMediaControl = nullptr;
    mMediaEvent = nullptr;
    // Nothing posted from now on may hold the pipeline through its own bus.
    if (GstBus* bus = gst_element_get_bus(mGraph)) {
        gst_bus_set_flushing(bus, TRUE);
        gst_bus_set_sync_handler(bus, nullptr, nullptr, nullptr);
        gst_object_unref(bus);
    }
    RevokeRunningGraph(mRotCookie);
    mRotCookie = 0;
    gst_object_unref(mGraph);
    mGraph = nullptr;
    mName.clear();
}

}  // namespace zevo
