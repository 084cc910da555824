#pragma once
// The renderer's side of the live graph: the latest decoded frame (written on the
// streaming thread, read by the window and by snapshots) and the widget that paints it.
#include <gst/gst.h>

#include <QImage>
#include <QWidget>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>

#include "media/picture_scaler.h"

namespace zevo {

class FrameStore {
public:
    // Called on the streaming thread after each new frame; must not touch widgets.
    void SetFrameListener(std::function<void()> listener);
    void StoreFrame(std::shared_ptr<const DecodedPicture> frame);
    std::shared_ptr<const DecodedPicture> LatestFrame() const;
    uint64_t FrameCount() const { return mFrameCount.load(); }

    // The latest frame as a packed 32-bit bottom-up DIB, converted when asked for. With
    // image null, *size gets the bytes needed; with a buffer of at least *size bytes it
    // is filled.
    int32_t GetCurrentImage(int32_t* size, unsigned char* image) const;

private:
    mutable std::mutex mLock;
    std::shared_ptr<const DecodedPicture> mFrame;
    std::function<void()> mListener;
    std::atomic<uint64_t> mFrameCount{0};
};

// Feeds every sample of the appsinks inside renderer into store. The store must outlive
// the renderer's streaming (the pipeline is set to NULL before the store goes).
void ConnectRendererToStore(GstElement* renderer, FrameStore* store);

// Paints the latest frame scaled to fit, aspect ratio kept, on black. The picture is
// converted at paint time, straight to the size it covers, and drawn without scaling.
class VideoWidget : public QWidget {
public:
    explicit VideoWidget(std::shared_ptr<FrameStore> store);
    // A new frame is in the store: repaints the picture, and the bars beside it only when
    // the picture's place changes.
    void ShowNewFrame();

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    // Frame tracing: the first paint of each traced picture is its presentation.
    void TraceShown(const DecodedPicture& frame);

    std::shared_ptr<FrameStore> mStore;
    PictureScaler mScaler;
    bool mTracedAny = false;
    uint32_t mTracedId = 0;
    // The picture last converted and its image, for repaints without a new frame.
    std::shared_ptr<const DecodedPicture> mShown;
    QImage mShownImage;
    // Where the last picture was painted, and the picture's size there.
    QRect mPictureArea;
    QSize mPictureSize;
};

}  // namespace zevo
