#pragma once
// What the live and the recording graph share: the pipeline that stands for the graph
// manager, its bus, its entry in the table of running graphs and its run state.
#include <gst/gst.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>

namespace zevo {

// Initialises GStreamer once per process; false when it cannot be.
bool InitialiseGStreamer();
// The message box of a failed graph build (OK button, warning icon).
void ShowGraphMessage(const char* text);

class FilterGraph {
public:
    // label names the graph in the log ("video graph", "record graph").
    explicit FilterGraph(const char* label) : mLabel(label) {}
    ~FilterGraph() { Release(); }
    FilterGraph(const FilterGraph&) = delete;
    FilterGraph& operator=(const FilterGraph&) = delete;

    // Creates the pipeline and registers it under "FilterGraph %08p pid %08x". False
    // when GStreamer or the pipeline cannot be had, or a graph exists already.
    bool Create();
    GstElement* Graph() const { return mGraph; }

    // Takes the run and stop control (the pipeline) and the event source (its bus).
    // False without a graph.
    bool QueryControl();
    bool HasControl() const { return mMediaControl && mMediaEvent; }

    // 1 on success or when already in that state, 0 on failure, without a graph or
    // without control.
    int Run();
    // Stops to READY (streaming threads end, elements keep their settings).
    int Stop();
    int State() const { return mState.load(); }  // 0 stopped, 2 running

    // Waits at most ms for the end of the stream to reach every sink (or for an
    // error). True when it did.
    bool WaitForEnd(uint32_t ms);
    // Takes the pipeline to NULL: every streaming thread has ended when it returns.
    void Halt();
    // Halts, drops the control, leaves the table and drops the pipeline. Run state is
    // kept.
    void Release();

    const std::string& Name() const { return mName; }
    // Errors the graph's elements reported since the graph was created.
    uint32_t ErrorCount() const { return mErrors.load(); }

private:
    static GstBusSyncReply OnBusMessage(GstBus* bus, GstMessage* message, gpointer self);

    const char* mLabel;
    GstElement* mGraph = nullptr;
    GstElement* mMediaControl = nullptr;
    GstBus* mMediaEvent = nullptr;
    uint32_t mRotCookie = 0;
    std::string mName;
    std::atomic<int> mState{0};
    std::atomic<uint32_t> mErrors{0};
    std::mutex mEndLock;
    std::condition_variable mEndSignal;
    bool mEnded = false;
};

}  // namespace zevo
