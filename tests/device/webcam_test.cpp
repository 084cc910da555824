// A webcam's own H.264/H.265 goes out as the device delivers it; other webcams are
// encoded here. No V4L2 device exists on the build machines: a stand-in registered as
// "v4l2src" (a live test pattern, encoded or raw, behind a `device` property) takes its
// place, and the real camera pipeline runs around it.
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

// The stand-in: what the next one is made of, and the last one made.
std::string gOffer;
GstElement* gMade = nullptr;

void StandInClassInit(gpointer klass, gpointer) {
    // A `device` it is given and does not need: it opens nothing.
    G_OBJECT_CLASS(klass)->set_property = [](GObject*, guint, const GValue*, GParamSpec*) {};
    g_object_class_install_property(G_OBJECT_CLASS(klass), 1,
                                    g_param_spec_string("device", "", "", "", G_PARAM_WRITABLE));
    gst_element_class_set_static_metadata(GST_ELEMENT_CLASS(klass), "Webcam stand-in",
                                          "Source/Video", "Test stand-in", "ZEVO2");
}

void StandInInit(GTypeInstance* instance, gpointer) {
    GstElement* inner = gst_parse_bin_from_description(gOffer.c_str(), TRUE, nullptr);
    gst_bin_add(GST_BIN(instance), inner);
    GstPad* target = gst_element_get_static_pad(inner, "src");
    gst_element_add_pad(GST_ELEMENT(instance), gst_ghost_pad_new("src", target));
    gst_object_unref(target);
    gMade = GST_ELEMENT(instance);
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
        GTypeQuery query;
        g_type_query(GST_TYPE_BIN, &query);
        sStandIn = g_type_register_static_simple(GST_TYPE_BIN, "ZevoTestWebcam", query.class_size,
                                                 StandInClassInit, query.instance_size, StandInInit,
                                                 GTypeFlags(0));
        ASSERT_TRUE(gst_element_register(nullptr, "v4l2src", GST_RANK_NONE, sStandIn));
        // Registering under a taken name replaces the feature: the pipeline makes ours.
        GstElementFactory* factory = gst_element_factory_find("v4l2src");
        ASSERT_NE(factory, nullptr);
        EXPECT_EQ(gst_element_factory_get_element_type(factory), sStandIn);
        gst_object_unref(factory);
    }
    static GType sStandIn;
};
GType WebcamTest::sStandIn = 0;

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
        gOffer = c.offer;
        Camera camera(0, Webcam("/dev/null", c.codec), false);
        CollectingSink sink;
        ::testing::internal::CaptureStderr();
        ASSERT_EQ(camera.Subscribe(&sink), 0);
        const bool arrived = sink.WaitFor([&] { return sink.VideoCount() >= 30; }, 30000, &camera);
        GstObject* pipeline = gst_object_get_parent(GST_OBJECT(gMade));
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
