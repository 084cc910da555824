// Decoded pictures turned into what the window shows, from every format a decoder may
// hand over, at the picture's own size, smaller and larger.
#include "media/picture_scaler.h"

#include <gst/app/gstappsink.h>
#include <gtest/gtest.h>

#include <QImage>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

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

}  // namespace
