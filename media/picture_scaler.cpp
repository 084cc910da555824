#include "media/picture_scaler.h"

extern "C" {
#include <libavutil/pixfmt.h>
#include <libswscale/swscale.h>
}

#include <algorithm>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <utility>

namespace zevo {

namespace {

// The decoders' output formats that the scaler reads directly; any other goes through
// GStreamer's converter.
struct FormatMap {
    GstVideoFormat gst;
    AVPixelFormat av;
    bool swapChroma;  // YV12: planes V then U
};

constexpr FormatMap kFormats[] = {
    {GST_VIDEO_FORMAT_I420, AV_PIX_FMT_YUV420P, false},
    {GST_VIDEO_FORMAT_YV12, AV_PIX_FMT_YUV420P, true},
    {GST_VIDEO_FORMAT_NV12, AV_PIX_FMT_NV12, false},
    {GST_VIDEO_FORMAT_NV21, AV_PIX_FMT_NV21, false},
    {GST_VIDEO_FORMAT_Y42B, AV_PIX_FMT_YUV422P, false},
    {GST_VIDEO_FORMAT_Y444, AV_PIX_FMT_YUV444P, false},
    {GST_VIDEO_FORMAT_YUY2, AV_PIX_FMT_YUYV422, false},
    {GST_VIDEO_FORMAT_UYVY, AV_PIX_FMT_UYVY422, false},
    {GST_VIDEO_FORMAT_GRAY8, AV_PIX_FMT_GRAY8, false},
    {GST_VIDEO_FORMAT_BGRx, AV_PIX_FMT_BGR0, false},
    {GST_VIDEO_FORMAT_BGRA, AV_PIX_FMT_BGRA, false},
    {GST_VIDEO_FORMAT_RGBx, AV_PIX_FMT_RGB0, false},
    {GST_VIDEO_FORMAT_RGBA, AV_PIX_FMT_RGBA, false},
};

const FormatMap* FindFormat(GstVideoFormat format) {
    for (const FormatMap& f : kFormats) {
        if (f.gst == format) return &f;
    }
    return nullptr;
}

int SwsColorSpace(GstVideoColorMatrix matrix) {
    switch (matrix) {
        case GST_VIDEO_COLOR_MATRIX_BT709:
            return SWS_CS_ITU709;
        case GST_VIDEO_COLOR_MATRIX_FCC:
            return SWS_CS_FCC;
        case GST_VIDEO_COLOR_MATRIX_SMPTE240M:
            return SWS_CS_SMPTE240M;
        case GST_VIDEO_COLOR_MATRIX_BT2020:
            return SWS_CS_BT2020;
        default:
            return SWS_CS_ITU601;
    }
}

// Rows picked and converted at a time: the picked strip (about 30 KB at 1280 pixels a
// row) stays in the cache until it is converted. Even, as 4:2:0 chroma rows are pairs.
constexpr int kStripRows = 16;

// Pixels the converter's vector code writes at a time, at most.
constexpr int kPixelGroup = 32;

// Rows padded to a whole group and to 64 bytes: the converter may write the group out,
// and never needs its slow path.
int AlignedStride(int width) {
    const int padded = (width + kPixelGroup - 1) / kPixelGroup * kPixelGroup;
    return (padded * 4 + 63) & ~63;
}

// Converts (and scales, when out is another size) with GStreamer's own converter.
bool ConvertWithGst(const GstVideoInfo& in, GstBuffer* buffer, int width, int height,
                    unsigned char* pixels, int stride) {
    GstVideoFrame source;
    if (!gst_video_frame_map(&source, &in, buffer, GST_MAP_READ)) return false;
    GstVideoInfo out;
    gst_video_info_set_format(&out, GST_VIDEO_FORMAT_BGRx, static_cast<guint>(width),
                              static_cast<guint>(height));
    // The converter takes only format and size changes.
    out.fps_n = in.fps_n;
    out.fps_d = in.fps_d;
    out.par_n = in.par_n;
    out.par_d = in.par_d;
    out.interlace_mode = in.interlace_mode;
    out.stride[0] = stride;
    out.size = static_cast<gsize>(stride) * static_cast<gsize>(height);
    GstVideoFrame target{};
    target.info = out;
    target.flags = GST_VIDEO_FRAME_FLAG_NONE;
    target.data[0] = pixels;
    bool done = false;
    if (GstVideoConverter* converter = gst_video_converter_new(&in, &out, nullptr)) {
        gst_video_converter_frame(converter, &source, &target);
        gst_video_converter_free(converter);
        done = true;
    }
    gst_video_frame_unmap(&source);
    return done;
}

bool IsPlanar420(GstVideoFormat format) {
    return format == GST_VIDEO_FORMAT_I420 || format == GST_VIDEO_FORMAT_YV12 ||
           format == GST_VIDEO_FORMAT_NV12 || format == GST_VIDEO_FORMAT_NV21;
}

}  // namespace

std::shared_ptr<const DecodedPicture> DecodedPicture::FromSample(GstSample* sample) {
    if (!sample) return nullptr;
    GstVideoInfo info;
    GstCaps* caps = gst_sample_get_caps(sample);
    if (!caps || !gst_sample_get_buffer(sample) || !gst_video_info_from_caps(&info, caps) ||
        GST_VIDEO_INFO_WIDTH(&info) <= 0 || GST_VIDEO_INFO_HEIGHT(&info) <= 0) {
        gst_sample_unref(sample);
        return nullptr;
    }
    return std::shared_ptr<const DecodedPicture>(new DecodedPicture(sample, info));
}

DecodedPicture::DecodedPicture(GstSample* sample, const GstVideoInfo& info)
    : mSample(sample), mInfo(info) {}

DecodedPicture::~DecodedPicture() {
    gst_sample_unref(mSample);
}

GstBuffer* DecodedPicture::Buffer() const {
    return gst_sample_get_buffer(mSample);
}

QImage DecodedPicture::ToBgrx() const {
    QImage image(Width(), Height(), QImage::Format_RGB32);
    if (image.isNull()) return {};
    if (!ConvertWithGst(mInfo, Buffer(), Width(), Height(), image.bits(),
                        static_cast<int>(image.bytesPerLine()))) {
        return {};
    }
    return image;
}

PictureScaler::PictureScaler()
    : mPlanes(nullptr, std::free), mStrip(nullptr, std::free), mPixels(nullptr, std::free) {}

PictureScaler::~PictureScaler() {
    Reset();
}

void PictureScaler::Reset() {
    sws_freeContext(mResize);
    sws_freeContext(mContext);
    mResize = nullptr;
    mContext = nullptr;
    mFormat = GST_VIDEO_FORMAT_UNKNOWN;
    mNearest = false;
}

bool PictureScaler::Prepare(const GstVideoInfo& info, QSize size) {
    const QSize in(GST_VIDEO_INFO_WIDTH(&info), GST_VIDEO_INFO_HEIGHT(&info));
    const GstVideoFormat format = GST_VIDEO_INFO_FORMAT(&info);
    if (mContext && format == mFormat && in == mIn && size == mOut &&
        info.colorimetry.matrix == mMatrix && info.colorimetry.range == mRange) {
        return true;
    }
    Reset();
    mIn = in;
    mOut = size;
    mConvertRows = size.height();
    mMatrix = info.colorimetry.matrix;
    mRange = info.colorimetry.range;
    const FormatMap* map = FindFormat(format);
    if (!map) return true;  // GStreamer's converter serves this one
    const bool yuv = GST_VIDEO_INFO_IS_YUV(&info);
    const int full = info.colorimetry.range == GST_VIDEO_COLOR_RANGE_0_255 ? 1 : 0;
    AVPixelFormat convertFrom = map->av;
    if (yuv && in != size) {
        // Scaled as 4:2:0 planes at the size shown, then converted as they are.
        const int chromaWidth = (size.width() + 1) / 2;
        const int chromaHeight = (size.height() + 1) / 2;
        const bool picked = IsPlanar420(format);
        if (picked) mConvertRows = 2 * chromaHeight;
        // Picked planes hold one strip at a time, converted while still in the cache.
        mPlaneRows = picked ? std::min(kStripRows, mConvertRows) : size.height();
        mPlaneStride[0] = (size.width() + 63) & ~63;
        mPlaneStride[1] = mPlaneStride[2] = (chromaWidth + 63) & ~63;
        const size_t bytes = static_cast<size_t>(mPlaneStride[0]) * mPlaneRows +
                             2 * static_cast<size_t>(mPlaneStride[1]) * ((mPlaneRows + 1) / 2);
        void* planes = std::aligned_alloc(64, (bytes + 63) & ~static_cast<size_t>(63));
        if (!planes) return false;
        mPlanes.reset(static_cast<unsigned char*>(planes));
        if (picked) {
            void* strip = std::aligned_alloc(
                64, static_cast<size_t>(AlignedStride(size.width())) * mPlaneRows);
            if (!strip) return false;
            mStrip.reset(static_cast<unsigned char*>(strip));
        }
        if (picked) {
            mNearest = true;
            mLumaX = NearestPick(in.width(), size.width());
            mLumaY = NearestIndex(in.height(), size.height());
            mLumaY.resize(static_cast<size_t>(mConvertRows), mLumaY.back());
            mChromaX = NearestPick((in.width() + 1) / 2, chromaWidth);
            mChromaY = NearestIndex((in.height() + 1) / 2, chromaHeight);
        } else {
            mResize = sws_getContext(in.width(), in.height(), map->av, size.width(), size.height(),
                                     AV_PIX_FMT_YUV420P, SWS_BILINEAR, nullptr, nullptr, nullptr);
            if (!mResize) return false;
            const int* table = sws_getCoefficients(SwsColorSpace(mMatrix));
            sws_setColorspaceDetails(mResize, table, full, table, full, 0, 1 << 16, 1 << 16);
        }
        convertFrom = AV_PIX_FMT_YUV420P;
    }
    const bool resampled = mNearest || mResize;
    // Opaque BGRA: the alpha byte is 255, as every 32-bit surface format wants it.
    mContext = sws_getContext(resampled ? size.width() : in.width(),
                              resampled ? mConvertRows : in.height(), convertFrom, size.width(),
                              mConvertRows, AV_PIX_FMT_BGRA, SWS_BILINEAR, nullptr, nullptr,
                              nullptr);
    if (!mContext) {
        Reset();
        return false;
    }
    if (yuv) {
        sws_setColorspaceDetails(mContext, sws_getCoefficients(SwsColorSpace(mMatrix)), full,
                                 sws_getCoefficients(SWS_CS_DEFAULT), 1, 0, 1 << 16, 1 << 16);
    }
    mFormat = format;
    return true;
}

bool PictureScaler::ScaleInto(const DecodedPicture& picture, QSize size, unsigned char* pixels,
                              int stride) {
    if (size.isEmpty() || !pixels || stride < size.width() * 4) return false;
    // The converter's vector code writes whole groups of pixels: rows of another width
    // would overrun into what lies beside them, so those go through a buffer of our own,
    // as do pictures converted with a row more than is shown.
    if (!Prepare(picture.Info(), size)) return false;
    const bool roomy = size.width() % kPixelGroup == 0 && mConvertRows == size.height();
    // Picked pictures go strip by strip, through a strip of our own when they must.
    if (roomy || mNearest) return Convert(picture, size, pixels, stride, roomy);
    unsigned char* own = OwnBuffer(size);
    if (!own || !Convert(picture, size, own, mStride, true)) return false;
    const size_t rowBytes = static_cast<size_t>(size.width()) * 4;
    for (int y = 0; y < size.height(); ++y) {
        std::memcpy(pixels + static_cast<ptrdiff_t>(y) * stride,
                    own + static_cast<ptrdiff_t>(y) * mStride, rowBytes);
    }
    return true;
}

unsigned char* PictureScaler::OwnBuffer(QSize size) {
    if (size != mPixelsSize) {
        const int stride = AlignedStride(size.width());
        // Room for the row past an odd height that the converter may write.
        const size_t rows = static_cast<size_t>(size.height() + 1) & ~static_cast<size_t>(1);
        void* pixels = std::aligned_alloc(64, static_cast<size_t>(stride) * rows);
        if (!pixels) return nullptr;
        mPixels.reset(static_cast<unsigned char*>(pixels));
        mStride = stride;
        mPixelsSize = size;
    }
    return mPixels.get();
}

bool PictureScaler::Convert(const DecodedPicture& picture, QSize size, unsigned char* pixels,
                            int stride, bool roomy) {
    if (!Prepare(picture.Info(), size)) return false;
    if (!mContext) {
        return ConvertWithGst(picture.Info(), picture.Buffer(), size.width(), size.height(), pixels,
                              stride);
    }
    GstVideoFrame frame;
    if (!gst_video_frame_map(&frame, &picture.Info(), picture.Buffer(), GST_MAP_READ)) return false;
    const uint8_t* planes[4] = {};
    int strides[4] = {};
    for (guint i = 0; i < GST_VIDEO_FRAME_N_PLANES(&frame) && i < 4; ++i) {
        planes[i] = static_cast<const uint8_t*>(GST_VIDEO_FRAME_PLANE_DATA(&frame, i));
        strides[i] = GST_VIDEO_FRAME_PLANE_STRIDE(&frame, i);
    }
    if (FindFormat(mFormat)->swapChroma) {
        std::swap(planes[1], planes[2]);
        std::swap(strides[1], strides[2]);
    }
    uint8_t* resized[4] = {};
    if (mNearest || mResize) {
        const size_t lumaBytes = static_cast<size_t>(mPlaneStride[0]) * mPlaneRows;
        const size_t chromaBytes = static_cast<size_t>(mPlaneStride[1]) * ((mPlaneRows + 1) / 2);
        resized[0] = mPlanes.get();
        resized[1] = resized[0] + lumaBytes;
        resized[2] = resized[1] + chromaBytes;
    }
    if (mNearest) {
        // Strip by strip: picked rows are converted before the next strip is picked,
        // each strip on its own (chroma rows pair up within it). Rows without room
        // past them are converted into a strip of our own and copied, as far as shown.
        unsigned char* strip = roomy ? nullptr : mStrip.get();
        const int stripStride = AlignedStride(size.width());
        const size_t rowBytes = static_cast<size_t>(size.width()) * 4;
        const bool pairs = mFormat == GST_VIDEO_FORMAT_NV12 || mFormat == GST_VIDEO_FORMAT_NV21;
        const bool vFirst = mFormat == GST_VIDEO_FORMAT_NV21;
        for (int y = 0; y < mConvertRows; y += mPlaneRows) {
            const int rows = std::min(mPlaneRows, mConvertRows - y);
            const int* chromaRows = mChromaY.data() + y / 2;
            mLumaX.PickRows(planes[0], strides[0], mLumaY.data() + y, rows, resized[0],
                            mPlaneStride[0]);
            if (pairs) {
                mChromaX.PickPairs(planes[1], strides[1], chromaRows, rows / 2,
                                   resized[vFirst ? 2 : 1], resized[vFirst ? 1 : 2],
                                   mPlaneStride[1]);
            } else {
                mChromaX.PickRows(planes[1], strides[1], chromaRows, rows / 2, resized[1],
                                  mPlaneStride[1]);
                mChromaX.PickRows(planes[2], strides[2], chromaRows, rows / 2, resized[2],
                                  mPlaneStride[2]);
            }
            uint8_t* to[4] = {strip ? strip : pixels + static_cast<ptrdiff_t>(y) * stride};
            const int toStride[4] = {strip ? stripStride : stride};
            sws_scale(mContext, resized, mPlaneStride, 0, rows, to, toStride);
            for (int r = 0; strip && r < rows && y + r < size.height(); ++r) {
                std::memcpy(pixels + static_cast<ptrdiff_t>(y + r) * stride,
                            strip + static_cast<ptrdiff_t>(r) * stripStride, rowBytes);
            }
        }
        gst_video_frame_unmap(&frame);
        return true;
    }
    int height = picture.Height();
    if (mResize) {
        sws_scale(mResize, planes, strides, 0, height, resized, mPlaneStride);
        for (int i = 0; i < 3; ++i) {
            planes[i] = resized[i];
            strides[i] = mPlaneStride[i];
        }
        planes[3] = nullptr;
        strides[3] = 0;
        height = mConvertRows;
    }
    uint8_t* out[4] = {pixels, nullptr, nullptr, nullptr};
    const int outStrides[4] = {stride, 0, 0, 0};
    sws_scale(mContext, planes, strides, 0, height, out, outStrides);
    gst_video_frame_unmap(&frame);
    return true;
}

QImage PictureScaler::Scale(const DecodedPicture& picture, QSize size) {
    if (size.isEmpty()) return {};
    unsigned char* pixels = OwnBuffer(size);
    if (!pixels || !Convert(picture, size, pixels, mStride, true)) return {};
    return QImage(pixels, size.width(), size.height(), mStride, QImage::Format_RGB32);
}

}  // namespace zevo
