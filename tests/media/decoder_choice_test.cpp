// Which decoder the live graph plugs: hardware decoders by rank before the software one,
// and a decoder that fails to start, or starts and fails on the stream, gives way to the
// next by itself. Stand-ins are registered as hardware decoders of the highest ranks: one
// that refuses to start, as a decoder without its device does, one that starts and then
// fails on the first buffer it is given, as one whose driver cannot decode the stream
// does, and one that works (the software decoder inside).
#include <gst/gst.h>
#include <gtest/gtest.h>

#include <QApplication>
#include <QWidget>
#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "media/video_graph.h"
#include "platform/message_box.h"
#include "tests/media/media_test_util.h"

namespace {

std::atomic<int> gWorkingMade{0};
std::atomic<int> gBrokenStarts{0};
std::atomic<int> gFailingBuffers{0};
std::atomic<int> gSoftwareMade{0};

GstStaticPadTemplate kSinkTemplate =
    GST_STATIC_PAD_TEMPLATE("sink", GST_PAD_SINK, GST_PAD_ALWAYS, GST_STATIC_CAPS("video/x-h264"));
GstStaticPadTemplate kSrcTemplate =
    GST_STATIC_PAD_TEMPLATE("src", GST_PAD_SRC, GST_PAD_ALWAYS, GST_STATIC_CAPS("video/x-raw"));

void DescribeAsDecoder(GstElementClass* element, const char* name, const char* klass) {
    gst_element_class_set_static_metadata(element, name, klass, "Test stand-in", "ZEVO2");
    gst_element_class_add_static_pad_template(element, &kSinkTemplate);
    gst_element_class_add_static_pad_template(element, &kSrcTemplate);
}

// Works: the software decoder behind ghost pads.
void WorkingClassInit(gpointer klass, gpointer) {
    DescribeAsDecoder(GST_ELEMENT_CLASS(klass), "Working test decoder",
                      "Codec/Decoder/Video/Hardware");
}

// A software decoder of the highest rank: software decoders other than the fallback are
// never plugged.
void SoftwareClassInit(gpointer klass, gpointer) {
    DescribeAsDecoder(GST_ELEMENT_CLASS(klass), "Software test decoder", "Codec/Decoder/Video");
}

void WrapSoftwareDecoder(GTypeInstance* instance) {
    GstElement* inner = gst_element_factory_make("avdec_h264", nullptr);
    gst_bin_add(GST_BIN(instance), inner);
    for (const char* name : {"sink", "src"}) {
        GstPad* target = gst_element_get_static_pad(inner, name);
        gst_element_add_pad(GST_ELEMENT(instance), gst_ghost_pad_new(name, target));
        gst_object_unref(target);
    }
}

void WorkingInit(GTypeInstance* instance, gpointer) {
    WrapSoftwareDecoder(instance);
    ++gWorkingMade;
}

void SoftwareInit(GTypeInstance* instance, gpointer) {
    WrapSoftwareDecoder(instance);
    ++gSoftwareMade;
}

// Refuses to start, saying why on the bus as a real decoder does.
GstElementClass* gBrokenParent = nullptr;

GstStateChangeReturn BrokenChangeState(GstElement* element, GstStateChange transition) {
    if (transition == GST_STATE_CHANGE_READY_TO_PAUSED) {
        ++gBrokenStarts;
        GST_ELEMENT_ERROR(element, RESOURCE, OPEN_READ_WRITE, ("No decoding device."), (nullptr));
        return GST_STATE_CHANGE_FAILURE;
    }
    return gBrokenParent->change_state(element, transition);
}

void BrokenClassInit(gpointer klass, gpointer) {
    gBrokenParent = GST_ELEMENT_CLASS(g_type_class_peek_parent(klass));
    GST_ELEMENT_CLASS(klass)->change_state = BrokenChangeState;
    DescribeAsDecoder(GST_ELEMENT_CLASS(klass), "Broken test decoder",
                      "Codec/Decoder/Video/Hardware");
}

void BrokenInit(GTypeInstance* instance, gpointer) {
    for (GstStaticPadTemplate* templ : {&kSinkTemplate, &kSrcTemplate}) {
        GstPadTemplate* padTemplate = gst_static_pad_template_get(templ);
        gst_element_add_pad(GST_ELEMENT(instance),
                            gst_pad_new_from_template(padTemplate, templ->name_template));
        gst_object_unref(padTemplate);
    }
}

// Starts, then fails on the first buffer it is given.
void FailingClassInit(gpointer klass, gpointer) {
    DescribeAsDecoder(GST_ELEMENT_CLASS(klass), "Failing test decoder",
                      "Codec/Decoder/Video/Hardware");
}

GstFlowReturn FailingChain(GstPad*, GstObject* parent, GstBuffer* buffer) {
    gst_buffer_unref(buffer);
    ++gFailingBuffers;
    GST_ELEMENT_ERROR(parent, STREAM, DECODE, ("Could not decode stream."), (nullptr));
    return GST_FLOW_ERROR;
}

// Like a decoder with nothing to show yet, it passes no event on.
gboolean FailingEvent(GstPad*, GstObject*, GstEvent* event) {
    gst_event_unref(event);
    return TRUE;
}

void FailingInit(GTypeInstance* instance, gpointer) {
    BrokenInit(instance, nullptr);
    GstPad* sink = gst_element_get_static_pad(GST_ELEMENT(instance), "sink");
    gst_pad_set_chain_function(sink, FailingChain);
    gst_pad_set_event_function(sink, FailingEvent);
    gst_object_unref(sink);
}

GType RegisterType(GType parent, const char* name, GClassInitFunc classInit,
                   GInstanceInitFunc instanceInit) {
    GTypeQuery query;
    g_type_query(parent, &query);
    return g_type_register_static_simple(parent, name, query.class_size, classInit,
                                         query.instance_size, instanceInit, GTypeFlags(0));
}

class DecoderChoiceTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        gst_init(nullptr, nullptr);
        const GType working =
            RegisterType(GST_TYPE_BIN, "ZevoTestWorkingDecoder", WorkingClassInit, WorkingInit);
        const GType broken =
            RegisterType(GST_TYPE_ELEMENT, "ZevoTestBrokenDecoder", BrokenClassInit, BrokenInit);
        ASSERT_TRUE(
            gst_element_register(nullptr, "zevotestworkingdec", GST_RANK_PRIMARY + 10, working));
        ASSERT_TRUE(
            gst_element_register(nullptr, "zevotestbrokendec", GST_RANK_PRIMARY + 20, broken));
        const GType failing =
            RegisterType(GST_TYPE_ELEMENT, "ZevoTestFailingDecoder", FailingClassInit, FailingInit);
        ASSERT_TRUE(gst_element_register(nullptr, "zevotestfailingdec", GST_RANK_NONE, failing));
        const GType software =
            RegisterType(GST_TYPE_BIN, "ZevoTestSoftwareDecoder", SoftwareClassInit, SoftwareInit);
        ASSERT_TRUE(
            gst_element_register(nullptr, "zevotestsoftdec", GST_RANK_PRIMARY + 30, software));
    }

    void SetUp() override {
        zevo::SetMessageBoxHook([this](const QString&, const QString& text) {
            mMessages.push_back(text.toStdString());
        });
        mOwner.resize(320, 240);
        mOwner.show();
    }
    void TearDown() override { zevo::SetMessageBoxHook({}); }

    static void SetRank(const char* name, guint rank) {
        GstElementFactory* factory = gst_element_factory_find(name);
        ASSERT_NE(factory, nullptr);
        gst_plugin_feature_set_rank(GST_PLUGIN_FEATURE(factory), rank);
        gst_object_unref(factory);
    }

    // Streams H.264 into a fresh graph; true when every frame was shown.
    bool Stream(VideoGraph& graph) {
        static const auto frames =
            zevo::test::EncodeFrames("red", 160, 120, 5, zevo::test::H264Encoder());
        if (graph.BuildGraph() != 1) return false;
        graph.AttachVideoWindow(&mOwner);
        if (graph.RunGraph() != 1) return false;
        std::thread consumer([&] {
            for (const auto& frame : frames) {
                graph.PushVideo(224, frame.data(), static_cast<int32_t>(frame.size()));
            }
        });
        consumer.join();
        return zevo::test::WaitFor([&] { return graph.FramesRendered() >= frames.size(); });
    }

    QWidget mOwner;
    std::vector<std::string> mMessages;
};

TEST_F(DecoderChoiceTest, HardwareDecoderByRankAndFallbackWhenOneFails) {
    constexpr guint kNone = GST_RANK_NONE;
    constexpr guint kFirst = GST_RANK_PRIMARY + 25;
    constexpr guint kSecond = GST_RANK_PRIMARY + 20;
    constexpr guint kThird = GST_RANK_PRIMARY + 10;
    struct Case {
        const char* name;
        guint workingRank;
        guint brokenRank;
        guint failingRank;
        int workingMade;     // working stand-ins plugged
        int brokenStarts;    // broken stand-ins that tried to start
        int failingBuffers;  // buffers given to failing stand-ins
    };
    const Case cases[] = {
        // The broken one ranks first, fails, and the working one takes over.
        {"broken first", kThird, kSecond, kNone, 1, 1, 0},
        // The working one ranks first: the broken one is never tried.
        {"working first", kSecond, kThird, kNone, 1, 0, 0},
        // Only the broken one is offered: the software decoder takes over.
        {"software fallback", kNone, kSecond, kNone, 0, 1, 0},
        // Ranked below what may be plugged by itself: neither is tried.
        {"not pluggable", kNone, kNone, kNone, 0, 0, 0},
        // Starts, fails on its first buffer; the next one is given the stream from its
        // start and every frame is shown.
        {"fails on the stream", kThird, kNone, kFirst, 1, 0, 1},
        {"fails on the stream, software next", kNone, kNone, kFirst, 0, 0, 1},
        // One that refuses to start, then one that fails on the stream, then the software
        // decoder.
        {"both failures in turn", kNone, kFirst, kSecond, 0, 1, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SetRank("zevotestworkingdec", c.workingRank);
        SetRank("zevotestbrokendec", c.brokenRank);
        SetRank("zevotestfailingdec", c.failingRank);
        gWorkingMade = 0;
        gBrokenStarts = 0;
        gFailingBuffers = 0;
        mMessages.clear();
        VideoGraph graph;
        EXPECT_TRUE(Stream(graph)) << "rendered " << graph.FramesRendered();
        EXPECT_EQ(gWorkingMade.load(), c.workingMade);
        EXPECT_EQ(gBrokenStarts.load(), c.brokenStarts);
        EXPECT_EQ(gFailingBuffers.load(), c.failingBuffers);
        EXPECT_EQ(gSoftwareMade.load(), 0);
        // A decoder that gave way is no failure of the video.
        EXPECT_EQ(graph.ErrorCount(), 0u);
        EXPECT_TRUE(mMessages.empty());
        int32_t size = 0;
        EXPECT_EQ(graph.GetCurrentImage(&size, nullptr), 0);
        EXPECT_EQ(size, 40 + 160 * 120 * 4);
        graph.StopGraph();
        graph.ReleaseAll();
    }
}

}  // namespace
