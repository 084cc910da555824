#include "media/picture_scaler.h"

extern "C" {
#include <libavutil/pixfmt.h>
#include <libswscale/swscale.h>
}

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

// Rows a multiple of 64 bytes, so the scaler's vector code never needs its slow path.
int AlignedStride(int width) {
    return (width * 4 + 63) & ~63;
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

PictureScaler::PictureScaler() : mPixels(nullptr, std::free) {}

PictureScaler::~PictureScaler() {
    Reset();
}

void PictureScaler::Reset() {
    sws_freeContext(mContext);
    mContext = nullptr;
    mFormat = GST_VIDEO_FORMAT_UNKNOWN;
}

bool PictureScaler::Prepare(const GstVideoInfo& info, QSize size) {
    const QSize in(GST_VIDEO_INFO_WIDTH(&info), GST_VIDEO_INFO_HEIGHT(&info));
    const GstVideoFormat format = GST_VIDEO_INFO_FORMAT(&info);
    if (size != mOut) {
        const int stride = AlignedStride(size.width());
        void* pixels = std::aligned_alloc(64, static_cast<size_t>(stride) * size.height());
        if (!pixels) return false;
        mPixels.reset(static_cast<unsigned char*>(pixels));
        mStride = stride;
        Reset();
        mOut = size;
    }
    if (mContext && format == mFormat && in == mIn && info.colorimetry.matrix == mMatrix &&
        info.colorimetry.range == mRange) {
        return true;
    }
    Reset();
    const FormatMap* map = FindFormat(format);
    mIn = in;
    mMatrix = info.colorimetry.matrix;
    mRange = info.colorimetry.range;
    if (!map) return true;  // GStreamer's converter serves this one
    // Bilinear: one pass, and no worse than the nearest pixel a painter would pick.
    mContext = sws_getContext(in.width(), in.height(), map->av, size.width(), size.height(),
                              AV_PIX_FMT_BGR0, SWS_BILINEAR, nullptr, nullptr, nullptr);
    if (!mContext) return false;
    if (GST_VIDEO_INFO_IS_YUV(&info)) {
        const int full = info.colorimetry.range == GST_VIDEO_COLOR_RANGE_0_255 ? 1 : 0;
        sws_setColorspaceDetails(mContext, sws_getCoefficients(SwsColorSpace(mMatrix)), full,
                                 sws_getCoefficients(SWS_CS_DEFAULT), 1, 0, 1 << 16, 1 << 16);
    }
    mFormat = format;
    return true;
}

QImage PictureScaler::Scale(const DecodedPicture& picture, QSize size) {
    if (size.isEmpty() || !Prepare(picture.Info(), size)) return {};
    unsigned char* pixels = mPixels.get();
    if (!mContext) {
        if (!ConvertWithGst(picture.Info(), picture.Buffer(), size.width(), size.height(), pixels,
                            mStride)) {
            return {};
        }
    } else {
        GstVideoFrame frame;
        if (!gst_video_frame_map(&frame, &picture.Info(), picture.Buffer(), GST_MAP_READ))
            return {};
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
        uint8_t* out[4] = {pixels, nullptr, nullptr, nullptr};
        const int outStrides[4] = {mStride, 0, 0, 0};
        sws_scale(mContext, planes, strides, 0, picture.Height(), out, outStrides);
        gst_video_frame_unmap(&frame);
    }
    return QImage(pixels, size.width(), size.height(), mStride, QImage::Format_RGB32);
}

}  // namespace zevo
