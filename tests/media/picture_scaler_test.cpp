// Decoded pictures turned into what the window shows, from every format a decoder may
// hand over, at the picture's own size, smaller and larger.
#include "media/picture_scaler.h"

#include <gst/app/gstappsink.h>
#include <gtest/gtest.h>

#include <QImage>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "media/nearest_pick.h"

using namespace zevo;

namespace {

// One frame of full-intensity colour bars (white, yellow, cyan, green, magenta, red and
// blue from left to right) in the given raw format.
std::shared_ptr<const DecodedPicture> Bars(const std::string& format, int width, int height) {
    gst_init(nullptr, nullptr);
    const std::string description =
        "videotestsrc pattern=smpte100 num-buffers=1 ! video/x-raw,format=" + format +
        ",width=" + std::to_string(width) + ",height=" + std::to_string(height) +
        " ! appsink name=out sync=false";
    GstElement* pipeline = gst_parse_launch(description.c_str(), nullptr);
    if (!pipeline) return nullptr;
    GstElement* sink = gst_bin_get_by_name(GST_BIN(pipeline), "out");
    gst_element_set_state(pipeline, GST_STATE_PLAYING);
    GstSample* sample = gst_app_sink_pull_sample(GST_APP_SINK(sink));
    auto picture = DecodedPicture::FromSample(sample);
    gst_element_set_state(pipeline, GST_STATE_NULL);
    gst_object_unref(sink);
    gst_object_unref(pipeline);
    return picture;
}

constexpr QRgb kBarColours[7] = {0xFFFFFF, 0xFFFF00, 0x00FFFF, 0x00FF00,
                                 0xFF00FF, 0xFF0000, 0x0000FF};

// Every bar's centre, half-way down, has its colour.
void ExpectBars(const QImage& image, const char* what) {
    SCOPED_TRACE(what);
    ASSERT_FALSE(image.isNull());
    for (int bar = 0; bar < 7; ++bar) {
        const int x = (2 * bar + 1) * image.width() / 14;
        const QRgb got = image.pixel(x, image.height() / 2);
        const QRgb want = kBarColours[bar];
        EXPECT_LE(std::abs(qRed(got) - qRed(want)), 24) << "bar " << bar;
        EXPECT_LE(std::abs(qGreen(got) - qGreen(want)), 24) << "bar " << bar;
        EXPECT_LE(std::abs(qBlue(got) - qBlue(want)), 24) << "bar " << bar;
    }
}

TEST(PictureScaler, EveryDecoderFormatShowsItsColoursAtAnySize) {
    // AYUV has no direct path and goes through GStreamer's converter.
    const char* formats[] = {"I420", "YV12", "NV12", "NV21", "Y42B", "Y444",
                             "YUY2", "UYVY", "BGRx", "RGBA", "AYUV"};
    const QSize sizes[] = {{320, 240}, {200, 150}, {480, 360}, {160, 90}, {321, 181}};
    for (const char* format : formats) {
        SCOPED_TRACE(format);
        auto picture = Bars(format, 320, 240);
        ASSERT_NE(picture, nullptr);
        EXPECT_EQ(picture->Width(), 320);
        EXPECT_EQ(picture->Height(), 240);
        const QImage exact = picture->ToBgrx();
        ASSERT_EQ(exact.size(), QSize(320, 240));
        ExpectBars(exact, "exact");

        PictureScaler scaler;  // one scaler for every size: its state must follow
        for (const QSize& size : sizes) {
            SCOPED_TRACE(std::to_string(size.width()) + "x" + std::to_string(size.height()));
            const QImage shown = scaler.Scale(*picture, size);
            ASSERT_EQ(shown.size(), size);
            ExpectBars(shown, "scaled");
            for (int y : {0, size.height() - 1}) {
                EXPECT_EQ(qAlpha(shown.pixel(0, y)), 255);
                EXPECT_EQ(qAlpha(shown.pixel(size.width() - 1, y)), 255);
            }
        }
    }
}

// Written into a larger surface, the picture covers its rectangle and nothing else.
TEST(PictureScaler, WritesOnlyItsAreaOfALargerSurface) {
    auto picture = Bars("I420", 320, 240);
    ASSERT_NE(picture, nullptr);
    PictureScaler scaler;
    for (const QSize& size : {QSize(320, 240), QSize(250, 141), QSize(330, 200), QSize(320, 181)}) {
        SCOPED_TRACE(std::to_string(size.width()) + "x" + std::to_string(size.height()));
        QImage surface(400, 300, QImage::Format_RGB32);
        surface.fill(0xFF123456);
        const QPoint at(37, 21);
        unsigned char* start = surface.bits() + at.y() * surface.bytesPerLine() + at.x() * 4;
        ASSERT_TRUE(
            scaler.ScaleInto(*picture, size, start, static_cast<int>(surface.bytesPerLine())));
        const QRect area(at, size);
        int outside = 0;
        for (int y = 0; y < surface.height(); ++y) {
            for (int x = 0; x < surface.width(); ++x) {
                if (!area.contains(x, y) && surface.pixel(x, y) != 0xFF123456) ++outside;
            }
        }
        EXPECT_EQ(outside, 0) << "pixels changed outside the picture";
        ExpectBars(surface.copy(area), "in place");
    }
    std::vector<unsigned char> small(16);
    EXPECT_FALSE(scaler.ScaleInto(*picture, QSize(8, 8), small.data(), 16)) << "stride too short";
    EXPECT_FALSE(scaler.ScaleInto(*picture, QSize(0, 8), small.data(), 64));
    EXPECT_EQ(DecodedPicture::FromSample(nullptr), nullptr);
}

// A 4:2:0 picture of random samples in `format` (I420 or NV12) from its three planes,
// with the given colorimetry.
std::shared_ptr<const DecodedPicture> Planar(GstVideoFormat format, int width, int height,
                                             const std::vector<uint8_t> planes[3],
                                             const GstVideoColorimetry& colorimetry) {
    GstVideoInfo info;
    gst_video_info_set_format(&info, format, static_cast<guint>(width), static_cast<guint>(height));
    info.colorimetry = colorimetry;
    std::vector<uint8_t> bytes(info.size);
    const int chromaWidth = (width + 1) / 2;
    for (int y = 0; y < height; ++y) {
        std::memcpy(&bytes[info.offset[0] + static_cast<size_t>(y) * info.stride[0]],
                    &planes[0][static_cast<size_t>(y) * width], static_cast<size_t>(width));
    }
    for (int y = 0; y < (height + 1) / 2; ++y) {
        for (int x = 0; x < chromaWidth; ++x) {
            const size_t from = static_cast<size_t>(y) * chromaWidth + x;
            if (format == GST_VIDEO_FORMAT_NV12) {
                uint8_t* row = &bytes[info.offset[1] + static_cast<size_t>(y) * info.stride[1]];
                row[2 * x] = planes[1][from];
                row[2 * x + 1] = planes[2][from];
            } else {
                for (int i = 1; i < 3; ++i) {
                    bytes[info.offset[i] + static_cast<size_t>(y) * info.stride[i] + x] =
                        planes[i][from];
                }
            }
        }
    }
    GstCaps* caps = gst_video_info_to_caps(&info);
    GstBuffer* buffer = gst_buffer_new_memdup(bytes.data(), bytes.size());
    GstSample* sample = gst_sample_new(buffer, caps, nullptr, nullptr);
    gst_buffer_unref(buffer);
    gst_caps_unref(caps);
    return DecodedPicture::FromSample(sample);
}

// A smaller picture shows, pixel for pixel, the nearest source sample of every plane:
// exactly what the same picture, picked beforehand, gives when shown at its own size.
// The same in an image of our own and in a surface with no room past its rows.
TEST(PictureScaler, ShrunkPicturesShowTheNearestSamples) {
    gst_init(nullptr, nullptr);
    struct Case {
        GstVideoFormat format;
        QSize in, out;
    };
    const Case cases[] = {
        {GST_VIDEO_FORMAT_I420, {1280, 720}, {678, 496}},  // the default window's picture
        {GST_VIDEO_FORMAT_I420, {320, 240}, {200, 150}},   // strips and a short last one
        {GST_VIDEO_FORMAT_I420, {321, 243}, {160, 90}},    // odd source
        {GST_VIDEO_FORMAT_I420, {640, 360}, {320, 16}},    // one strip exactly
        {GST_VIDEO_FORMAT_NV12, {1280, 720}, {678, 496}},  // chroma pairs picked apart
        {GST_VIDEO_FORMAT_NV12, {320, 240}, {96, 34}},
    };
    GstVideoColorimetry colorimetry;
    gst_video_colorimetry_from_string(&colorimetry, "bt709");
    PictureScaler scaler;  // one for every case: its state must follow
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.in.width()) + "x" + std::to_string(c.in.height()) + " to " +
                     std::to_string(c.out.width()) + "x" + std::to_string(c.out.height()));
        const QSize chromaIn((c.in.width() + 1) / 2, (c.in.height() + 1) / 2);
        const QSize chromaOut((c.out.width() + 1) / 2, (c.out.height() + 1) / 2);
        std::vector<uint8_t> source[3], picked[3];
        for (int i = 0; i < 3; ++i) {
            const QSize from = i ? chromaIn : c.in;
            const QSize to = i ? chromaOut : c.out;
            source[i].resize(static_cast<size_t>(from.width()) * from.height());
            for (auto& b : source[i]) b = static_cast<uint8_t>(random());
            const std::vector<int> xs = NearestIndex(from.width(), to.width());
            const std::vector<int> ys = NearestIndex(from.height(), to.height());
            for (int y = 0; y < to.height(); ++y) {
                for (int x = 0; x < to.width(); ++x) {
                    picked[i].push_back(
                        source[i][static_cast<size_t>(ys[static_cast<size_t>(y)]) * from.width() +
                                  static_cast<size_t>(xs[static_cast<size_t>(x)])]);
                }
            }
        }
        auto big = Planar(c.format, c.in.width(), c.in.height(), source, colorimetry);
        auto small =
            Planar(GST_VIDEO_FORMAT_I420, c.out.width(), c.out.height(), picked, colorimetry);
        ASSERT_TRUE(big && small);
        const QImage want = scaler.Scale(*small, c.out).copy();
        const QImage got = scaler.Scale(*big, c.out).copy();
        ASSERT_EQ(got.size(), c.out);
        // And written into a surface of exactly the picture's size (no room past a row).
        QImage surface(c.out, QImage::Format_RGB32);
        ASSERT_TRUE(scaler.ScaleInto(*big, c.out, surface.bits(),
                                     static_cast<int>(surface.bytesPerLine())));
        int wrong = 0;
        int wrongInPlace = 0;
        for (int y = 0; y < c.out.height(); ++y) {
            for (int x = 0; x < c.out.width(); ++x) {
                wrong += got.pixel(x, y) != want.pixel(x, y);
                wrongInPlace += surface.pixel(x, y) != want.pixel(x, y);
            }
        }
        EXPECT_EQ(wrong, 0);
        EXPECT_EQ(wrongInPlace, 0);
    }
}

}  // namespace
