#pragma once
// The recording graph: push source ("Video Packect Push Filter") -> multiplexer
// ("Muxer") -> file writer ("File Writer"), beside the live graph. It records the
// device's compressed frames as they came into an AVI file in the save folder, named
// after the local time. Built and released by the window's thread for each recording;
// PushVideo runs on the video consumer thread while the graph runs.
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <memory>
#include <string>

namespace zevo {

// "<folder>/YYYYMMDD_HHMMSS<extension>" from the local time of when: the name of a
// recording or a snapshot. Empty when the path would not fit the file name buffer of
// RecordGraph::kPathBufferSize bytes (a cut path would name another file).
std::string CapturePath(const std::string& folder, time_t when, const char* extension);

class RecordGraph {
public:
    // Longest path of a recording, as the file name buffer allows (259 characters).
    static constexpr size_t kPathBufferSize = 260;
    // How long stopping waits for the multiplexer to complete the file.
    static constexpr uint32_t kFinishBoundMs = 3000;
    // How often what was written is forced to the disk while recording: a power loss
    // loses at most about this much.
    static constexpr uint32_t kSyncPeriodMs = 1000;

    RecordGraph();
    virtual ~RecordGraph();
    RecordGraph(const RecordGraph&) = delete;
    RecordGraph& operator=(const RecordGraph&) = delete;

    // 1 when a new graph was built and all its control interfaces obtained, else 0.
    int BuildGraph(const char* folder);
    // Adds, configures and connects the three filters; negative on failure.
    int32_t AddVideoFilters();
    // Writes "<folder>/YYYYMMDD_HHMMSS.avi" (local time) into buffer (kPathBufferSize
    // bytes, cleared by the caller). 1, or 0 when the path would not fit (the buffer is
    // left empty: a cut path would name another file).
    int MakeFileName(char* buffer) const;
    int QueryControlInterfaces();
    int RunGraph();  // 1 or 0
    // Lets the multiplexer complete the file (end of stream, bounded wait), then stops.
    int StopGraph();  // 1 or 0
    // Pushes one frame while running; 1 and dropped otherwise. Never waits.
    int32_t PushVideo(int32_t streamId, const unsigned char* data, int32_t length);
    virtual void ReleaseAll();

    int GraphState() const;
    std::string GraphName() const;
    // The file being written; empty without a graph.
    std::string FileName() const;

    // Test seam: the local time MakeFileName uses (null: the clock's).
    void SetTimeSource(time_t (*now)()) { mNow = now; }

private:
    struct Impl;
    std::unique_ptr<Impl> mImpl;
    time_t (*mNow)() = nullptr;
};

}  // namespace zevo
