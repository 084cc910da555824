#pragma once
// Turns a decoded picture into what the window shows: converted to 32-bit BGRx and
// scaled in one pass, straight to the size it is painted at. Pictures the window never
// paints are never converted.
#include <gst/video/video.h>

#include <QImage>
#include <QSize>
#include <cstdint>
#include <memory>
#include <vector>

#include "media/nearest_pick.h"

struct SwsContext;

namespace zevo {

// A decoder's output picture, referenced rather than copied; freed with its sample.
class DecodedPicture {
public:
    // Takes over the sample's reference. Null when the caps do not describe raw video.
    static std::shared_ptr<const DecodedPicture> FromSample(GstSample* sample);
    ~DecodedPicture();
    DecodedPicture(const DecodedPicture&) = delete;
    DecodedPicture& operator=(const DecodedPicture&) = delete;

    int Width() const { return GST_VIDEO_INFO_WIDTH(&mInfo); }
    int Height() const { return GST_VIDEO_INFO_HEIGHT(&mInfo); }
    const GstVideoInfo& Info() const { return mInfo; }
    GstBuffer* Buffer() const;

    // The whole picture as 32-bit BGRx, converted exactly as GStreamer's videoconvert
    // does; null when it cannot be converted.
    QImage ToBgrx() const;

private:
    DecodedPicture(GstSample* sample, const GstVideoInfo& info);
    GstSample* mSample;
    GstVideoInfo mInfo;
};

// Converts and scales pictures for one window. Keeps its scaling context and its output
// buffer from picture to picture while sizes and formats stay the same. One thread.
class PictureScaler {
public:
    PictureScaler();
    ~PictureScaler();
    PictureScaler(const PictureScaler&) = delete;
    PictureScaler& operator=(const PictureScaler&) = delete;

    // picture at size as an RGB32 image; the image shares the scaler's buffer and is
    // valid until the next call. Null when the picture cannot be converted.
    QImage Scale(const DecodedPicture& picture, QSize size);
    // The same, written as opaque 32-bit BGRA rows of `stride` bytes at pixels (a
    // window's surface, say). False when the picture cannot be converted.
    bool ScaleInto(const DecodedPicture& picture, QSize size, unsigned char* pixels, int stride);

private:
    bool Prepare(const GstVideoInfo& info, QSize size);
    // Converts into `pixels`. Roomy rows have room for a whole group of pixels past the
    // width, and there is a row past an odd height; only picked pictures may go elsewhere.
    bool Convert(const DecodedPicture& picture, QSize size, unsigned char* pixels, int stride,
                 bool roomy);
    unsigned char* OwnBuffer(QSize size);
    void Reset();

    // YUV pictures of another size are scaled as YUV first (into mPlanes), then converted
    // without scaling (mContext), which has vector code that a scaling conversion
    // straight to RGB lacks. 4:2:0 pictures are scaled by picking the nearest sample
    // (what a painter does unless told to smooth), several times cheaper than a
    // filter; others through mResize.
    bool mNearest = false;
    NearestPick mLumaX, mChromaX;
    std::vector<int> mLumaY, mChromaY;  // source row per output row
    SwsContext* mResize = nullptr;
    std::unique_ptr<unsigned char, void (*)(void*)> mPlanes;
    int mPlaneRows = 0;  // rows mPlanes holds: the whole picture, or one strip when picked
    // A converted strip on its way to rows without room past them (picked pictures).
    std::unique_ptr<unsigned char, void (*)(void*)> mStrip;
    int mPlaneStride[4] = {};
    SwsContext* mContext = nullptr;
    GstVideoFormat mFormat = GST_VIDEO_FORMAT_UNKNOWN;
    GstVideoColorMatrix mMatrix = GST_VIDEO_COLOR_MATRIX_UNKNOWN;
    GstVideoColorRange mRange = GST_VIDEO_COLOR_RANGE_UNKNOWN;
    QSize mIn;
    QSize mOut;
    // Rows converted: the converter's vector code takes 4:2:0 planes of an even height
    // only (an odd one runs several times slower), so picked planes of an odd height
    // get their last row once more, and the converted row past the picture is dropped.
    int mConvertRows = 0;
    int mStride = 0;
    std::unique_ptr<unsigned char, void (*)(void*)> mPixels;
    QSize mPixelsSize;
};

}  // namespace zevo
