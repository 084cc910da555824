// A webcam's own H.264/H.265 goes out as the device delivers it; other webcams are
// encoded here. A stand-in takes v4l2src's place; the real camera pipeline runs around it.
#include "device/webcam.h"

#include <gst/gst.h>
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "device/camera.h"
#include "device/testclient/decode.h"
#include "platform/tick_clock.h"
#include "tests/device/collecting_sink.h"
#include "tests/device/webcam_stand_in.h"

using namespace zevo::camd;
using namespace zevo::camd::testing;
using zevo::VideoCodec;

namespace {

CameraConfig Webcam(const char* device, VideoCodec codec, int width = 320, int height = 240,
                    int fps = 25) {
    CameraConfig c;
    c.source = VideoSourceKind::Webcam;
    c.location = device;
    c.codec = codec;
    c.width = width;
    c.height = height;
    c.fps = fps;
    c.audio = AudioSourceKind::None;
    return c;
}

TEST(WebcamFormatTest, TheConfiguredCodecNearestTheConfiguredSizeThenRate) {
    const std::string h264 = "video/x-h264,stream-format=byte-stream,alignment=au,";
    const struct {
        std::string offered;  // as v4l2src lists what a device offers
        bool h265;
        int width, height, fps;  // configured
        const char* chosen;      // "" for none
    } cases[] = {
        {h264 + "width=640,height=480,framerate=30/1", false, 1280, 720, 25, "640x480@30/1"},
        {"video/x-raw,format=YUY2,width=640,height=480,framerate={30/1,15/1};"
         "image/jpeg,width=1280,height=720,framerate=30/1",
         false, 1280, 720, 30, ""},
        {h264 + "width=640,height=480,framerate={30/1,15/1};" + h264 +
             "width=1920,height=1080,framerate=30/1;" + h264 +
             "width=1280,height=720,framerate={30/1,25/1,15/1}",
         false, 1280, 720, 25, "1280x720@25/1"},
        {h264 + "width=1280,height=720,framerate={30/1,15/1}", false, 1280, 720, 24,
         "1280x720@30/1"},
        {h264 + "width=640,height=480,framerate=30/1;" + h264 +
             "width=1280,height=720,framerate=30/1",
         false, 1000, 600, 30, "640x480@30/1"},
        {h264 + "width=[160,1920],height=[120,1080],framerate=[1/1,60/1]", false, 800, 600, 20,
         "800x600@20/1"},
        {h264 + "width=320,height=240,framerate=25/1", true, 320, 240, 25, ""},
        {h264 + "width=320,height=240,framerate=25/1;video/x-h265,width=640,height=360", true, 320,
         240, 25, "640x360@0/1"},
        {"video/x-h264", false, 320, 240, 25, "0x0@0/1"},
        {"ANY", false, 320, 240, 25, ""},
    };
    gst_init(nullptr, nullptr);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.offered);
        GstCaps* offered = gst_caps_from_string(c.offered.c_str());
        const auto f = ChooseWebcamFormat(
            offered,
            Webcam("", c.h265 ? VideoCodec::H265 : VideoCodec::H264, c.width, c.height, c.fps));
        gst_caps_unref(offered);
        EXPECT_EQ(f ? std::to_string(f->width) + "x" + std::to_string(f->height) + "@" +
                          std::to_string(f->fpsNum) + "/" + std::to_string(f->fpsDen)
                    : "",
                  c.chosen);
    }
}

// The real v4l2src: declared before the stand-in takes its name (ctest also runs each
// test in a process of its own).
TEST(WebcamFormatTest, AMissingDeviceIsAnErrorAtOnce) {
    gst_init(nullptr, nullptr);
    Camera camera(0, Webcam("/nonexistent/video9", VideoCodec::H264), false);
    CollectingSink sink;
    ::testing::internal::CaptureStderr();
    EXPECT_LT(camera.Subscribe(&sink), 0);
    const std::string log = ::testing::internal::GetCapturedStderr();
    EXPECT_NE(log.find("camera 0: webcam /nonexistent/video9: "), std::string::npos) << log;
    camera.Unsubscribe(&sink);
}

// Encoders among what the camera put in its pipeline (the stand-in's insides aside).
int Encoders(GstObject* pipeline) {
    int encoders = 0;
    GstIterator* it = gst_bin_iterate_elements(GST_BIN(pipeline));
    auto count = [](const GValue* item, gpointer total) {
        GstElementFactory* f = gst_element_get_factory(GST_ELEMENT(g_value_get_object(item)));
        *static_cast<int*>(total) +=
            f &&
            std::strstr(gst_element_factory_get_metadata(f, GST_ELEMENT_METADATA_KLASS), "Encoder");
    };
    gst_iterator_foreach(it, count, &encoders);
    gst_iterator_free(it);
    return encoders;
}

class WebcamTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        gst_init(nullptr, nullptr);
        ASSERT_NE(WebcamStandIn::Register(), GType(0));
    }
};

TEST_F(WebcamTest, ItsOwnCodecGoesOutAsItIsOtherwiseItIsEncoded) {
    const char* kH264 =
        "videotestsrc is-live=true pattern=ball ! video/x-raw,width=320,height=240,"
        "framerate=15/1 ! x264enc tune=zerolatency speed-preset=ultrafast key-int-max=15 ! "
        "capsfilter caps=video/x-h264,stream-format=byte-stream,alignment=au,width=320,height=240,"
        "framerate=15/1";
    const char* kRaw =
        "videotestsrc is-live=true ! capsfilter caps=video/x-raw,format=YUY2,width=320,height=240,"
        "framerate=15/1";
    const struct {
        const char* name;
        const char* offer;
        VideoCodec codec;
        bool passed;
        int stepMs;  // between capture times: the device's rate, or the configured one
    } cases[] = {
        {"H.264 offered", kH264, VideoCodec::H264, true, 67},
        {"raw offered", kRaw, VideoCodec::H264, false, 40},
        {"H.265 wanted, H.264 offered", kH264, VideoCodec::H265, false, 40},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        WebcamStandIn::Offer(c.offer);
        Camera camera(0, Webcam("/dev/null", c.codec), false);
        CollectingSink sink;
        ::testing::internal::CaptureStderr();
        ASSERT_EQ(camera.Subscribe(&sink), 0);
        const bool arrived = sink.WaitFor([&] { return sink.VideoCount() >= 30; }, 30000, &camera);
        GstObject* pipeline = gst_object_get_parent(GST_OBJECT(WebcamStandIn::Last()));
        ASSERT_NE(pipeline, nullptr);
        EXPECT_EQ(Encoders(pipeline), c.passed ? 0 : 1);
        gst_object_unref(pipeline);
        camera.Unsubscribe(&sink);
        const std::string log = ::testing::internal::GetCapturedStderr();
        ASSERT_TRUE(arrived) << log;
        const uint32_t now = zevo::TickCount();

        EXPECT_EQ(log.find("passed through from /dev/null") != std::string::npos, c.passed) << log;
        const auto video = sink.Video();
        EXPECT_TRUE(video.front()->key);
        for (size_t i = 1; i < video.size(); ++i) {
            const auto step = int32_t(video[i]->captureTick - video[i - 1]->captureTick);
            EXPECT_NEAR(step, c.stepMs, 1) << "unit " << i;
        }
        const auto age = int32_t(now - video.back()->captureTick);
        EXPECT_GE(age, 0);
        EXPECT_LT(age, 5000);
        EXPECT_EQ(DecodeAccessUnits(Units(video), c.codec == VideoCodec::H265), int(video.size()));
    }
}

}  // namespace
