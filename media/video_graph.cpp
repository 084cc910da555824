#include "media/video_graph.h"

#include <gst/gst.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QImage>
#include <QPointer>
#include <QWidget>
#include <atomic>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <vector>

#include "media/filter_graph.h"
#include "media/graph_filters.h"
#include "media/video_frame_store.h"
#include "platform/message_box.h"

using namespace zevo;

namespace {

void PutLe16(unsigned char* p, uint16_t v) {
    p[0] = static_cast<unsigned char>(v);
    p[1] = static_cast<unsigned char>(v >> 8);
}

void PutLe32(unsigned char* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<unsigned char>(v >> (8 * i));
}

uint32_t GetLe32(const unsigned char* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

}  // namespace

struct VideoGraph::Impl {
    FilterGraph mGraph{"video graph"};
    GstElement* mGraphBuilder = nullptr;  // the pipeline while the graph exists
    std::shared_ptr<FrameStore> mBasicVideo;
    QPointer<VideoWidget> mVideoWindow;
    GstElement* mVideoPushFilter = nullptr;
    GstElement* mVideoDecodeFilter = nullptr;
    GstElement* mVideoRenderFilter = nullptr;
    std::unique_ptr<IPacketPush> mPacketPush;
    // Receives the streaming thread's repaint requests on the window's thread; deleted
    // only after streaming has stopped, which discards requests still queued.
    QObject* mNotifier = nullptr;

    int32_t AddVideoFilters();
    int QueryControlInterfaces();
};

int32_t VideoGraph::Impl::AddVideoFilters() {
    CreateAndAddFilter(mGraphBuilder, kPacketPushFilter, "Video Packect Push Filter",
                       &mVideoPushFilter);
    if (!mVideoPushFilter) {
        ShowGraphMessage("Failed to add video push filter.");
        return 1;
    }
    int32_t hr = CreateAndAddFilter(mGraphBuilder, kVideoDecoderFilter, "ffdshow video decoder",
                                    &mVideoDecodeFilter);
    if (!mVideoDecodeFilter) {
        ShowGraphMessage("Failed to add ffdshow video decoder filter.");
        return hr;
    }
    hr = CreateAndAddFilter(mGraphBuilder, kVideoRendererFilter, "Video Render Default",
                            &mVideoRenderFilter);
    if (!mVideoRenderFilter) {
        ShowGraphMessage("Failed to add video render filter.");
        return hr;
    }
    hr = ConnectFilterPair(mGraphBuilder, mVideoPushFilter, mVideoDecodeFilter);
    if (hr < 0) {
        ShowGraphMessage("Failed to connect mVideoPushFilter and mVideoDecodeFilter.");
        return hr;
    }
    hr = ConnectFilterPair(mGraphBuilder, mVideoDecodeFilter, mVideoRenderFilter);
    if (hr < 0) {
        ShowGraphMessage("Failed to connect mVideoDecodeFilter and mVideoRenderFilter.");
        return hr;
    }
    mPacketPush = QueryPacketPush(mVideoPushFilter);
    if (!mPacketPush) return E_NOINTERFACE;
    // No reference clock: every frame is shown as soon as it is decoded.
    gst_pipeline_use_clock(GST_PIPELINE(mGraphBuilder), nullptr);
    return S_OK;
}

int VideoGraph::Impl::QueryControlInterfaces() {
    if (!mGraphBuilder) return 0;
    mGraph.QueryControl();
    mBasicVideo = std::make_shared<FrameStore>();
    if (mVideoRenderFilter) ConnectRendererToStore(mVideoRenderFilter, mBasicVideo.get());

    mNotifier = new QObject();
    auto* window = new VideoWidget(mBasicVideo);
    window->hide();
    mVideoWindow = window;
    auto pending = std::make_shared<std::atomic<bool>>(false);
    QObject* notifier = mNotifier;
    QPointer<VideoWidget> target = window;  // copied here, read on the window's thread only
    mBasicVideo->SetFrameListener([notifier, pending, target] {
        // One repaint request in flight at a time; the window shows the latest frame.
        if (pending->exchange(true)) return;
        QMetaObject::invokeMethod(
            notifier,
            [pending, target] {
                pending->store(false);
                if (target) target->ShowNewFrame();
            },
            Qt::QueuedConnection);
    });
    return (mGraph.HasControl() && mBasicVideo && mVideoWindow) ? 1 : 0;
}

VideoGraph::VideoGraph() : mImpl(std::make_unique<Impl>()) {}

VideoGraph::~VideoGraph() {
    ReleaseAll();
}

int VideoGraph::BuildGraph() {
    Impl& d = *mImpl;
    if (!d.mGraph.Create()) return 0;
    d.mGraphBuilder = d.mGraph.Graph();
    if (d.AddVideoFilters() < 0) ShowGraphMessage("Failed to add video filters to graph.");
    return d.QueryControlInterfaces();
}

int VideoGraph::AttachVideoWindow(QWidget* owner) {
    Impl& d = *mImpl;
    if (!owner) return 0;
    const QRect rect = owner->rect();
    if (!d.mVideoWindow) return 0;
    d.mVideoWindow->setParent(owner);
    d.mVideoWindow->setGeometry(0, 0, rect.width(), rect.height());
    d.mVideoWindow->show();
    return 0;
}

int VideoGraph::SetVideoPosition(int left, int top, int width, int height) {
    Impl& d = *mImpl;
    if (d.mVideoWindow) d.mVideoWindow->setGeometry(left, top, width, height);
    return 0;
}

int VideoGraph::RunGraph() {
    Impl& d = *mImpl;
    return d.mGraph.Run();
}

int VideoGraph::StopGraph() {
    Impl& d = *mImpl;
    return d.mGraph.Stop();
}

int32_t VideoGraph::PushVideo(int32_t streamId, const unsigned char* data, int32_t length) {
    Impl& d = *mImpl;
    IPacketPush* push = d.mPacketPush.get();
    if (push && d.mGraph.State() == 2) return push->PushPacket(streamId, data, length);
    return 1;
}

int32_t VideoGraph::PushVideo(int32_t streamId, const unsigned char* data, int32_t length,
                              uint32_t frameId) {
    Impl& d = *mImpl;
    IPacketPush* push = d.mPacketPush.get();
    if (push && d.mGraph.State() == 2)
        return push->PushTracedPacket(streamId, data, length, frameId);
    return 1;
}

void VideoGraph::ReleaseAll() {
    Impl& d = *mImpl;
    // Streaming threads end here, before the frame store and the window they feed go.
    d.mGraph.Halt();
    if (d.mVideoWindow) {
        d.mVideoWindow->hide();
        d.mVideoWindow->setParent(nullptr);
        delete d.mVideoWindow.data();
    }
    d.mVideoWindow = nullptr;
    delete d.mNotifier;
    d.mNotifier = nullptr;
    d.mBasicVideo.reset();
    d.mPacketPush.reset();
    d.mVideoPushFilter = nullptr;
    d.mVideoDecodeFilter = nullptr;
    d.mVideoRenderFilter = nullptr;
    d.mGraph.Release();
    d.mGraphBuilder = nullptr;
}

int32_t VideoGraph::GetCurrentImage(int32_t* size, unsigned char* image) {
    Impl& d = *mImpl;
    if (!d.mBasicVideo) return E_FAIL;
    return d.mBasicVideo->GetCurrentImage(size, image);
}

int VideoGraph::GraphState() const {
    return mImpl->mGraph.State();
}

std::string VideoGraph::GraphName() const {
    return mImpl->mGraph.Name();
}

uint64_t VideoGraph::FramesRendered() const {
    return mImpl->mBasicVideo ? mImpl->mBasicVideo->FrameCount() : 0;
}

uint32_t VideoGraph::ErrorCount() const {
    return mImpl->mGraph.ErrorCount();
}

int32_t VideoGraph::SaveSnapshot(const char* path) {
    Impl& d = *mImpl;
    if (!d.mBasicVideo) return 0;
    int32_t size = 0;
    if (GetCurrentImage(&size, nullptr) < 0 || size < 40) return 0;
    std::vector<unsigned char> dib(static_cast<size_t>(size));
    // A frame of another size between the two calls leaves nothing valid to save.
    if (GetCurrentImage(&size, dib.data()) < 0) return 0;

    const uint32_t headerSize = GetLe32(&dib[0]);
    const uint16_t bitCount = static_cast<uint16_t>(dib[14] | dib[15] << 8);
    const uint32_t clrUsed = GetLe32(&dib[32]);
    const uint32_t sizeImage = GetLe32(&dib[20]);
    uint32_t paletteEntries = clrUsed;
    if (clrUsed == 0 && bitCount <= 8) paletteEntries = 1u << bitCount;
    const uint64_t imageLength =
        static_cast<uint64_t>(headerSize) + 4ull * paletteEntries + sizeImage;
    if (imageLength > dib.size()) return 0;

    std::vector<unsigned char> file(14 + imageLength);
    file[0] = 'B';
    file[1] = 'M';
    PutLe32(&file[2], static_cast<uint32_t>(14 + imageLength));
    PutLe16(&file[6], 0);
    PutLe16(&file[8], 0);
    PutLe32(&file[10], 14 + headerSize + 4 * paletteEntries);
    std::memcpy(&file[14], dib.data(), imageLength);

    QImage image;
    if (image.loadFromData(file.data(), static_cast<int>(file.size()), "BMP") && path) {
        image.save(QString::fromLocal8Bit(path), "JPEG");
    }
    return 1;
}
