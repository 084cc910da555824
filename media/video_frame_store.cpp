#include "media/video_frame_store.h"

#include <gst/app/gstappsink.h>
#include <gst/video/video.h>

#include <QPaintEngine>
#include <QPaintEvent>
#include <QPainter>
#include <QRegion>
#include <QTransform>
#include <cstring>

#include "media/graph_filters.h"
#include "media/hresult.h"
#include "platform/frame_trace.h"

namespace zevo {

namespace {

constexpr int32_t kDibHeaderSize = 40;

void PutLe16(unsigned char* p, uint16_t v) {
    p[0] = static_cast<unsigned char>(v);
    p[1] = static_cast<unsigned char>(v >> 8);
}

void PutLe32(unsigned char* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<unsigned char>(v >> (8 * i));
}

GstFlowReturn OnNewSample(GstAppSink* sink, gpointer user) {
    auto* store = static_cast<FrameStore*>(user);
    GstSample* sample = gst_app_sink_pull_sample(sink);
    if (!sample) return GST_FLOW_EOS;
    uint32_t frameId = 0;
    if (FrameTraceOn() && FrameIdOf(gst_sample_get_buffer(sample), &frameId)) {
        TraceFrame("decoded", frameId);
    }
    // The decoder's picture is kept as it is: converted only if it is painted or read.
    if (auto picture = DecodedPicture::FromSample(sample)) store->StoreFrame(std::move(picture));
    return GST_FLOW_OK;
}

}  // namespace

void FrameStore::SetFrameListener(std::function<void()> listener) {
    std::lock_guard lock(mLock);
    mListener = std::move(listener);
}

void FrameStore::StoreFrame(std::shared_ptr<const DecodedPicture> frame) {
    std::function<void()> listener;
    std::shared_ptr<const DecodedPicture> previous;
    {
        std::lock_guard lock(mLock);
        previous = std::move(mFrame);
        mFrame = std::move(frame);
        listener = mListener;
    }
    ++mFrameCount;
    if (listener) listener();
    // previous is released here, outside the lock.
}

std::shared_ptr<const DecodedPicture> FrameStore::LatestFrame() const {
    std::lock_guard lock(mLock);
    return mFrame;
}

int32_t FrameStore::GetCurrentImage(int32_t* size, unsigned char* image) const {
    if (!size) return E_POINTER;
    const std::shared_ptr<const DecodedPicture> picture = LatestFrame();
    if (!picture) return E_FAIL;
    const int width = picture->Width();
    const int height = picture->Height();
    const int64_t pixelBytes = static_cast<int64_t>(width) * height * 4;
    const int64_t needed = kDibHeaderSize + pixelBytes;
    if (needed > INT32_MAX) return E_OUTOFMEMORY;
    if (!image) {
        *size = static_cast<int32_t>(needed);
        return S_OK;
    }
    // A frame of another size may have arrived between the two calls.
    if (*size < needed) return E_OUTOFMEMORY;
    const QImage frame = picture->ToBgrx();
    if (frame.isNull()) return E_FAIL;
    std::memset(image, 0, kDibHeaderSize);
    PutLe32(image + 0, kDibHeaderSize);                      // biSize
    PutLe32(image + 4, static_cast<uint32_t>(width));        // biWidth
    PutLe32(image + 8, static_cast<uint32_t>(height));       // biHeight > 0: bottom-up
    PutLe16(image + 12, 1);                                  // biPlanes
    PutLe16(image + 14, 32);                                 // biBitCount
    PutLe32(image + 16, 0);                                  // BI_RGB
    PutLe32(image + 20, static_cast<uint32_t>(pixelBytes));  // biSizeImage
    unsigned char* pixels = image + kDibHeaderSize;
    const size_t rowBytes = static_cast<size_t>(width) * 4;
    for (int y = 0; y < height; ++y) {
        std::memcpy(pixels + static_cast<size_t>(height - 1 - y) * rowBytes, frame.constScanLine(y),
                    rowBytes);
    }
    *size = static_cast<int32_t>(needed);
    return S_OK;
}

void ConnectRendererToStore(GstElement* renderer, FrameStore* store) {
    if (!renderer || !store) return;
    GstAppSinkCallbacks callbacks{};
    callbacks.new_sample = OnNewSample;
    if (GST_IS_APP_SINK(renderer)) {
        gst_app_sink_set_callbacks(GST_APP_SINK(renderer), &callbacks, store, nullptr);
        return;
    }
    if (!GST_IS_BIN(renderer)) return;
    GstIterator* it = gst_bin_iterate_all_by_element_factory_name(GST_BIN(renderer), "appsink");
    GValue item = G_VALUE_INIT;
    while (gst_iterator_next(it, &item) == GST_ITERATOR_OK) {
        auto* sink = GST_APP_SINK(g_value_get_object(&item));
        gst_app_sink_set_callbacks(sink, &callbacks, store, nullptr);
        g_value_reset(&item);
    }
    g_value_unset(&item);
    gst_iterator_free(it);
}

VideoWidget::VideoWidget(std::shared_ptr<FrameStore> store) : mStore(std::move(store)) {
    // Input goes to the player window underneath, as the video window's message drain.
    setAttribute(Qt::WA_TransparentForMouseEvents);
    setAttribute(Qt::WA_OpaquePaintEvent);
    setFocusPolicy(Qt::NoFocus);
}

namespace {

// The surface a painter really draws on, when it is plain memory the picture can be
// written to at `area` (device pixels): the window's backing store, usually.
QImage* WritableSurface(QPainter& painter, const QRect& area) {
    QPaintEngine* engine = painter.paintEngine();
    QPaintDevice* device = engine ? engine->paintDevice() : nullptr;
    if (!device || device->devType() != QInternal::Image) return nullptr;
    auto* surface = static_cast<QImage*>(device);
    const QImage::Format format = surface->format();
    if ((format != QImage::Format_RGB32 && format != QImage::Format_ARGB32 &&
         format != QImage::Format_ARGB32_Premultiplied) ||
        !surface->isDetached() || !surface->rect().contains(area)) {
        return nullptr;
    }
    return surface;
}

}  // namespace

void VideoWidget::ShowNewFrame() {
    std::shared_ptr<const DecodedPicture> frame = mStore ? mStore->LatestFrame() : nullptr;
    if (frame && !mPictureArea.isEmpty() &&
        QSize(frame->Width(), frame->Height()) == mPictureSize) {
        update(mPictureArea);
    } else {
        update();
    }
}

void VideoWidget::paintEvent(QPaintEvent* event) {
    QPainter painter(this);
    std::shared_ptr<const DecodedPicture> frame = mStore ? mStore->LatestFrame() : nullptr;
    if (!frame || width() <= 0 || height() <= 0) {
        painter.fillRect(rect(), Qt::black);
        mPictureArea = QRect();
        return;
    }
    QSize fitted = QSize(frame->Width(), frame->Height()).scaled(size(), Qt::KeepAspectRatio);
    QRect target(QPoint((width() - fitted.width()) / 2, (height() - fitted.height()) / 2), fitted);
    mPictureArea = target;
    mPictureSize = QSize(frame->Width(), frame->Height());
    // Black only where the picture does not cover (the bars beside or above and below
    // it), and only as far as they are to be painted.
    const QRegion bars = event->region().subtracted(QRegion(target));
    for (const QRect& bar : bars) painter.fillRect(bar, Qt::black);

    // Straight into the window's surface when the whole picture is to be painted there
    // unscaled and unclipped: no image of our own, no copy.
    const QTransform& toDevice = painter.deviceTransform();
    if (toDevice.type() <= QTransform::TxTranslate && event->region().rectCount() == 1 &&
        event->region().boundingRect().contains(target)) {
        const QRect area = toDevice.mapRect(target);
        if (QImage* surface = WritableSurface(painter, area)) {
            const qsizetype stride = surface->bytesPerLine();
            unsigned char* at = surface->bits() + area.y() * stride + area.x() * 4;
            if (mScaler.ScaleInto(*frame, area.size(), at, static_cast<int>(stride))) {
                mShown.reset();
                mShownImage = QImage();
                TraceShown(*frame);
                return;
            }
        }
    }
    // In device pixels, so that the painter copies the image without scaling it again.
    const qreal ratio = devicePixelRatioF();
    const QSize pixels = (QSizeF(fitted) * ratio).toSize();
    if (frame != mShown || mShownImage.size() != pixels) {
        mShownImage = mScaler.Scale(*frame, pixels);
        mShown = frame;
    }
    if (mShownImage.isNull()) {
        painter.fillRect(target, Qt::black);
        return;
    }
    mShownImage.setDevicePixelRatio(ratio);
    painter.drawImage(target.topLeft(), mShownImage);
    TraceShown(*frame);
}

void VideoWidget::TraceShown(const DecodedPicture& frame) {
    uint32_t frameId = 0;
    if (!FrameTraceOn() || !FrameIdOf(frame.Buffer(), &frameId)) return;
    // A repaint of the picture already shown shows nothing new.
    if (mTracedAny && frameId == mTracedId) return;
    mTracedAny = true;
    mTracedId = frameId;
    TraceFrame("shown", frameId);
}

}  // namespace zevo
