#include "capture/record_graph.h"

#include <gst/app/gstappsrc.h>
#include <gst/gst.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <thread>

#include "capture/avi_file.h"
#include "capture/avi_mux_filter.h"
#include "media/filter_graph.h"
#include "media/graph_filters.h"
#include "media/hresult.h"
#include "media/video_graph.h"

namespace zevo {

struct RecordGraph::Impl {
    FilterGraph mGraph{"record graph"};
    GstElement* mGraphBuilder = nullptr;  // the pipeline while the graph exists
    GstElement* mVideoPushFilter = nullptr;
    std::unique_ptr<IPacketPush> mPacketPush;
    GstElement* mMuxerFilter = nullptr;
    GstElement* mFileWriterFilter = nullptr;
    std::string mFolder;
    std::string mFileName;
    // Held while the file is written, so nobody completes it as if it were cut off,
    // and no other recording writes into it.
    int mFileLock = -1;
    // Forces the file to the disk every kSyncPeriodMs while the graph runs; the writer's
    // own descriptor is not ours, but a sync of any descriptor of the file flushes it.
    std::thread mSyncThread;
    std::mutex mSyncLock;
    std::condition_variable mSyncStop;
    bool mSyncing = false;

    void StartSync();
    void StopSync();
};

void RecordGraph::Impl::StartSync() {
    if (mFileLock < 0 || mSyncThread.joinable()) return;
    mSyncing = true;
    mSyncThread = std::thread([this, fd = mFileLock] {
        std::unique_lock lock(mSyncLock);
        while (!mSyncStop.wait_for(lock, std::chrono::milliseconds(kSyncPeriodMs),
                                   [this] { return !mSyncing; })) {
            lock.unlock();
            fdatasync(fd);
            lock.lock();
        }
    });
}

void RecordGraph::Impl::StopSync() {
    if (!mSyncThread.joinable()) return;
    {
        std::lock_guard lock(mSyncLock);
        mSyncing = false;
    }
    mSyncStop.notify_all();
    mSyncThread.join();
}

RecordGraph::RecordGraph() : mImpl(std::make_unique<Impl>()) {}

RecordGraph::~RecordGraph() {
    RecordGraph::ReleaseAll();
}

int RecordGraph::BuildGraph(const char* folder) {
    Impl& d = *mImpl;
    d.mFolder = folder ? folder : "";
    if (d.mGraphBuilder) return 0;
    if (!d.mGraph.Create()) return 0;
    d.mGraphBuilder = d.mGraph.Graph();
    RegisterAviMuxFilter();
    if (AddVideoFilters() < 0) ShowGraphMessage("Failed to add video filters to graph.");
    return QueryControlInterfaces();
}

int32_t RecordGraph::AddVideoFilters() {
    Impl& d = *mImpl;
    CreateAndAddFilter(d.mGraphBuilder, kPacketPushFilter, "Video Packect Push Filter",
                       &d.mVideoPushFilter);
    if (!d.mVideoPushFilter) {
        ShowGraphMessage("Failed to add video push filter.");
        return 1;
    }
    // Stamped on arrival with the graph's clock: the file's time line follows the pace
    // at which the frames were shown.
    g_object_set(d.mVideoPushFilter, "do-timestamp", TRUE, nullptr);
    int32_t hr = CreateAndAddFilter(d.mGraphBuilder, kAviMuxFilter, "Muxer", &d.mMuxerFilter);
    if (!d.mMuxerFilter) {
        ShowGraphMessage("Failed to add muxer filter.");
        return hr;
    }
    hr = CreateAndAddFilter(d.mGraphBuilder, "filesink", "File Writer", &d.mFileWriterFilter);
    if (!d.mFileWriterFilter) {
        ShowGraphMessage("Failed to add file writer filter.");
        return hr;
    }
    if (!g_object_class_find_property(G_OBJECT_GET_CLASS(d.mFileWriterFilter), "location")) {
        return E_NOINTERFACE;
    }
    // A path that does not fit names no file: the writer gets none and the graph will
    // not run, as with a folder that does not exist.
    char path[kPathBufferSize] = {};
    if (MakeFileName(path)) {
        // Another recording (another window) writing this very name right now keeps it;
        // this one takes the next free variant rather than write into the same file.
        std::string name = path;
        int lock = LockRecording(name);
        for (int n = 1; lock == kRecordingBusy && n < 100; ++n) {
            name = std::string(path, std::strlen(path) - 4) + "_" + std::to_string(n) + ".avi";
            lock = name.size() < kPathBufferSize ? LockRecording(name) : -1;
        }
        d.mFileLock = lock >= 0 ? lock : -1;
        d.mFileName = name;
        g_object_set(d.mFileWriterFilter, "location", name.c_str(), nullptr);
    }
    // Written as it comes: a killed viewer loses nothing that reached the writer.
    g_object_set(d.mFileWriterFilter, "sync", FALSE, "async", FALSE, nullptr);
    gst_util_set_object_arg(G_OBJECT(d.mFileWriterFilter), "buffer-mode", "unbuffered");

    hr = ConnectFilterPair(d.mGraphBuilder, d.mVideoPushFilter, d.mMuxerFilter);
    if (hr < 0) {
        ShowGraphMessage("Failed to connect mVideoPushFilter and mMuxerFilter.");
        return hr;
    }
    hr = ConnectFilterPair(d.mGraphBuilder, d.mMuxerFilter, d.mFileWriterFilter);
    if (hr < 0) {
        ShowGraphMessage("Failed to connect mMuxerFilter and mFileWriterFilter.");
        return hr;
    }
    d.mPacketPush = QueryPacketPush(d.mVideoPushFilter);
    return d.mPacketPush ? S_OK : E_NOINTERFACE;
}

std::string CapturePath(const std::string& folder, time_t when, const char* extension) {
    struct tm local {};
    localtime_r(&when, &local);
    char name[128];
    std::snprintf(name, sizeof name, "%04d%02d%02d_%02d%02d%02d%s", local.tm_year + 1900,
                  local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec,
                  extension);
    std::string path = folder + "/" + name;
    if (path.size() >= RecordGraph::kPathBufferSize) path.clear();
    return path;
}

int RecordGraph::MakeFileName(char* buffer) const {
    if (!buffer) return 0;
    const std::string path = CapturePath(mImpl->mFolder, mNow ? mNow() : time(nullptr), ".avi");
    std::memset(buffer, 0, kPathBufferSize);
    std::memcpy(buffer, path.data(), path.size());
    return path.empty() ? 0 : 1;
}

int RecordGraph::QueryControlInterfaces() {
    Impl& d = *mImpl;
    if (!d.mGraphBuilder) return 0;
    return d.mGraph.QueryControl() ? 1 : 0;
}

int RecordGraph::RunGraph() {
    Impl& d = *mImpl;
    const int result = d.mGraph.Run();
    if (result) d.StartSync();
    return result;
}

int RecordGraph::StopGraph() {
    Impl& d = *mImpl;
    if (!d.mGraph.HasControl()) return 0;
    if (d.mGraph.State() == 2 && d.mVideoPushFilter) {
        // The multiplexer writes the index and the final header at the end of the
        // stream; stopping without it would leave the file as a crash does.
        gst_app_src_end_of_stream(GST_APP_SRC(d.mVideoPushFilter));
        d.mGraph.WaitForEnd(kFinishBoundMs);
    }
    d.StopSync();
    return d.mGraph.Stop();
}

int32_t RecordGraph::PushVideo(int32_t streamId, const unsigned char* data, int32_t length) {
    Impl& d = *mImpl;
    IPacketPush* push = d.mPacketPush.get();
    if (push && d.mGraph.State() == 2) return push->PushPacket(streamId, data, length);
    return 1;
}

void RecordGraph::ReleaseAll() {
    Impl& d = *mImpl;
    d.StopSync();
    d.mGraph.Halt();
    d.mPacketPush.reset();
    d.mVideoPushFilter = nullptr;
    d.mMuxerFilter = nullptr;
    d.mFileWriterFilter = nullptr;
    d.mGraph.Release();
    d.mGraphBuilder = nullptr;
    // The writer has closed the file: it is finished or, if the end never came
    // through, left for the next start to complete.
    if (d.mFileLock >= 0) fdatasync(d.mFileLock);
    UnlockRecording(d.mFileLock);
    d.mFileLock = -1;
    d.mFileName.clear();
}

int RecordGraph::GraphState() const {
    return mImpl->mGraph.State();
}

std::string RecordGraph::GraphName() const {
    return mImpl->mGraph.Name();
}

std::string RecordGraph::FileName() const {
    return mImpl->mFileName;
}

}  // namespace zevo
