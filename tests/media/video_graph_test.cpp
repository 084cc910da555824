// The live video graph on real GStreamer pipelines, drawn into offscreen Qt widgets.
#include "media/video_graph.h"

#include <dirent.h>
#include <gst/app/gstappsink.h>
#include <gst/app/gstappsrc.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <QApplication>
#include <QBackingStore>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QWidget>
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "media/graph_elements.h"
#include "media/graph_filters.h"
#include "platform/message_box.h"
#include "tests/media/media_test_util.h"

using namespace zevo;
using zevo::test::EncodeFrames;
using zevo::test::Frame;
using zevo::test::WaitFor;

namespace {

struct Rgb {
    int r, g, b;
};

struct Dib {
    int width = 0;
    int height = 0;
    int bitCount = 0;
    uint32_t sizeImage = 0;
    std::vector<unsigned char> bytes;

    // (x, y) counted from the top, as the picture is seen.
    Rgb Pixel(int x, int y) const {
        const size_t row = static_cast<size_t>(height - 1 - y);
        const unsigned char* p = bytes.data() + 40 + (row * width + x) * 4;
        return {p[2], p[1], p[0]};
    }
};

int32_t Le32(const unsigned char* p) {
    return static_cast<int32_t>(p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24);
}

// Reads the current image with the two-call protocol; empty when there is none.
Dib ReadCurrentImage(VideoGraph& graph) {
    Dib dib;
    int32_t size = 0;
    if (graph.GetCurrentImage(&size, nullptr) < 0 || size < 40) return dib;
    dib.bytes.resize(static_cast<size_t>(size));
    if (graph.GetCurrentImage(&size, dib.bytes.data()) < 0) return {};
    dib.width = Le32(&dib.bytes[4]);
    dib.height = Le32(&dib.bytes[8]);
    dib.bitCount = dib.bytes[14] | dib.bytes[15] << 8;
    dib.sizeImage = static_cast<uint32_t>(Le32(&dib.bytes[20]));
    EXPECT_EQ(Le32(&dib.bytes[0]), 40);
    return dib;
}

bool Near(Rgb got, Rgb want, int tolerance = 24) {
    return std::abs(got.r - want.r) <= tolerance && std::abs(got.g - want.g) <= tolerance &&
           std::abs(got.b - want.b) <= tolerance;
}

std::string Describe(Rgb c) {
    return "(" + std::to_string(c.r) + "," + std::to_string(c.g) + "," + std::to_string(c.b) + ")";
}

class VideoGraphTest : public ::testing::Test {
protected:
    void SetUp() override {
        SetMessageBoxHook([this](const QString&, const QString& text) {
            mMessages.push_back(text.toStdString());
        });
        mOwner.resize(400, 300);
        mOwner.show();
    }
    void TearDown() override {
        SetFilterCreateHook({});
        SetMessageBoxHook({});
    }

    // The player window's order: build, attach, run.
    void Start(VideoGraph& graph) {
        ASSERT_EQ(graph.BuildGraph(), 1);
        graph.AttachVideoWindow(&mOwner);
        ASSERT_EQ(graph.RunGraph(), 1);
    }

    // Pushes frames one by one from a thread of its own, as the video consumer does, out
    // of a packet buffer that is overwritten right after each push; then waits until the
    // renderer has received them all.
    void PushAll(VideoGraph& graph, const std::vector<Frame>& frames) {
        const uint64_t before = graph.FramesRendered();
        std::vector<int32_t> results;
        std::thread consumer([&] {
            for (const Frame& frame : frames) {
                std::vector<unsigned char> packet(frame);
                results.push_back(
                    graph.PushVideo(224, packet.data(), static_cast<int32_t>(packet.size())));
                std::fill(packet.begin(), packet.end(), 0xA5);
            }
        });
        consumer.join();
        for (int32_t result : results) ASSERT_EQ(result, 0);
        ASSERT_TRUE(WaitFor([&] { return graph.FramesRendered() >= before + frames.size(); }))
            << "rendered " << graph.FramesRendered() - before << " of " << frames.size();
    }

    QWidget* VideoChild() const {
        auto children = mOwner.findChildren<QWidget*>(QString(), Qt::FindDirectChildrenOnly);
        return children.size() == 1 ? children.front() : nullptr;
    }

    QWidget mOwner;
    std::vector<std::string> mMessages;
};

TEST_F(VideoGraphTest, ShowsH264FramesAsTheirSizeAndColours) {
    const auto red = EncodeFrames("red", 320, 240, 10, test::H264Encoder());
    ASSERT_EQ(red.size(), 10u);
    VideoGraph graph;
    Start(graph);
    PushAll(graph, red);

    Dib dib = ReadCurrentImage(graph);
    ASSERT_EQ(dib.width, 320);
    ASSERT_EQ(dib.height, 240);
    EXPECT_EQ(dib.bitCount, 32);
    EXPECT_EQ(dib.sizeImage, 320u * 240 * 4);
    EXPECT_EQ(dib.bytes.size(), 40u + 320 * 240 * 4);
    for (auto [x, y] : {std::pair{0, 0}, {160, 120}, {319, 239}}) {
        EXPECT_TRUE(Near(dib.Pixel(x, y), {255, 0, 0})) << Describe(dib.Pixel(x, y));
    }
    EXPECT_TRUE(mMessages.empty());

    // A short buffer is refused rather than overrun.
    int32_t small = 100;
    std::vector<unsigned char> tooSmall(100);
    EXPECT_LT(graph.GetCurrentImage(&small, tooSmall.data()), 0);
}

// The window shows the picture fitted to it on black, both on its own surface (where
// the picture is written directly) and when rendered elsewhere (a grab).
TEST_F(VideoGraphTest, WindowShowsThePictureFittedOnBlack) {
    const auto red = EncodeFrames("red", 320, 180, 5, test::H264Encoder());
    VideoGraph graph;
    Start(graph);
    QWidget* video = VideoChild();
    ASSERT_NE(video, nullptr);
    ASSERT_EQ(video->size(), QSize(400, 300));
    PushAll(graph, red);
    auto* surface = static_cast<QImage*>(mOwner.backingStore()->paintDevice());
    ASSERT_NE(surface, nullptr);
    // 320x180 fitted into 400x300 is 400x225, 37 pixels from the top.
    const auto colourAt = [](const QImage& image, int x, int y) {
        const QRgb p = image.pixel(x, y);
        return Rgb{qRed(p), qGreen(p), qBlue(p)};
    };
    ASSERT_TRUE(WaitFor([&] {
        return Near(colourAt(*surface, 200, 150), {255, 0, 0});
    })) << Describe(colourAt(*surface, 200, 150));
    const QImage grabbed = video->grab().toImage();
    for (const QImage* image : {static_cast<const QImage*>(surface), &grabbed}) {
        const std::pair<std::pair<int, int>, Rgb> expected[] = {
            {{200, 150}, {255, 0, 0}}, {{2, 40}, {255, 0, 0}},  {{397, 259}, {255, 0, 0}},
            {{200, 20}, {0, 0, 0}},    {{200, 280}, {0, 0, 0}}, {{5, 5}, {0, 0, 0}}};
        for (const auto& [at, colour] : expected) {
            EXPECT_TRUE(Near(colourAt(*image, at.first, at.second), colour))
                << (image == &grabbed ? "grab " : "surface ") << at.first << "," << at.second
                << ": " << Describe(colourAt(*image, at.first, at.second));
        }
    }
    // Frames of the same size repaint only the picture; the first picture of another
    // shape repaints the bars too: 4:3 fills the window, then 16:9 leaves black above
    // and below again, not what the 4:3 picture left there.
    struct Shape {
        std::vector<Frame> frames;
        Rgb centre, bands;
    };
    const Shape shapes[] = {
        {EncodeFrames("green", 320, 240, 1, test::H264Encoder()), {0, 255, 0}, {0, 255, 0}},
        {{red.front()}, {255, 0, 0}, {0, 0, 0}}};
    for (const Shape& shape : shapes) {
        PushAll(graph, shape.frames);
        ASSERT_TRUE(WaitFor([&] { return Near(colourAt(*surface, 200, 150), shape.centre); }));
        for (int y : {20, 280}) {
            EXPECT_TRUE(Near(colourAt(*surface, 200, y), shape.bands))
                << y << ": " << Describe(colourAt(*surface, 200, y));
        }
    }
    graph.StopGraph();
}

TEST_F(VideoGraphTest, PictureKeepsItsOrientationAndChangesFrameToFrame) {
    // smpte bars: white on the left and blue on the right of the top band, -I blue at the
    // bottom left and black at the bottom centre; then a moving ball.
    const auto bars = EncodeFrames("smpte", 320, 240, 3, test::H264Encoder());
    const auto ball = EncodeFrames("ball", 320, 240, 20, test::H264Encoder());
    VideoGraph graph;
    Start(graph);
    PushAll(graph, bars);
    Dib dib = ReadCurrentImage(graph);
    ASSERT_EQ(dib.width, 320);
    const std::pair<std::pair<int, int>, Rgb> expected[] = {{{10, 20}, {255, 255, 255}},
                                                            {{310, 20}, {0, 0, 255}},
                                                            {{10, 230}, {0, 56, 139}},
                                                            {{160, 230}, {0, 0, 0}}};
    for (const auto& [at, colour] : expected) {
        EXPECT_TRUE(Near(dib.Pixel(at.first, at.second), colour, 30))
            << at.first << "," << at.second << ": " << Describe(dib.Pixel(at.first, at.second));
    }

    ASSERT_EQ(graph.StopGraph(), 1);
    graph.ReleaseAll();
    Start(graph);
    std::vector<std::vector<unsigned char>> pictures;
    for (size_t i = 0; i < ball.size(); i += 5) {
        PushAll(graph,
                {ball.begin() + static_cast<long>(i), ball.begin() + static_cast<long>(i + 5)});
        pictures.push_back(ReadCurrentImage(graph).bytes);
    }
    ASSERT_EQ(pictures.size(), 4u);
    for (size_t i = 1; i < pictures.size(); ++i) {
        ASSERT_EQ(pictures[i].size(), pictures[0].size());
        EXPECT_NE(pictures[i], pictures[i - 1]) << "picture " << i << " did not change";
    }
}

TEST_F(VideoGraphTest, DecodesH265AndMjpegStreams) {
    struct Case {
        const char* name;
        const char* pattern;
        const char* encoder;
        Rgb colour;
    };
    for (const Case& c : {Case{"H.265", "blue", test::H265Encoder(), {0, 0, 255}},
                          Case{"MJPEG", "green", test::JpegEncoder(), {0, 255, 0}}}) {
        SCOPED_TRACE(c.name);
        const auto frames = EncodeFrames(c.pattern, 352, 288, 6, c.encoder);
        ASSERT_EQ(frames.size(), 6u);
        VideoGraph graph;
        Start(graph);
        PushAll(graph, frames);
        Dib dib = ReadCurrentImage(graph);
        ASSERT_EQ(dib.width, 352);
        ASSERT_EQ(dib.height, 288);
        EXPECT_TRUE(Near(dib.Pixel(176, 144), c.colour)) << Describe(dib.Pixel(176, 144));
        graph.StopGraph();
        graph.ReleaseAll();
    }
    EXPECT_TRUE(mMessages.empty());
}

TEST_F(VideoGraphTest, RunStopAndPushFollowTheGraphState) {
    const auto frames = EncodeFrames("red", 160, 120, 3, test::H264Encoder());
    VideoGraph graph;
    // Nothing to run, stop or push into before a graph exists.
    EXPECT_EQ(graph.RunGraph(), 0);
    EXPECT_EQ(graph.StopGraph(), 0);
    EXPECT_EQ(graph.PushVideo(224, frames[0].data(), static_cast<int32_t>(frames[0].size())), 1);

    ASSERT_EQ(graph.BuildGraph(), 1);
    const std::string name = graph.GraphName();
    EXPECT_EQ(graph.BuildGraph(), 0);
    EXPECT_EQ(graph.GraphName(), name);
    EXPECT_EQ(graph.GraphState(), 0);
    EXPECT_EQ(graph.StopGraph(), 1);
    EXPECT_EQ(graph.GraphState(), 0);

    // Built but stopped: frames are dropped, nothing reaches the renderer.
    for (const Frame& f : frames) {
        EXPECT_EQ(graph.PushVideo(224, f.data(), static_cast<int32_t>(f.size())), 1);
    }
    EXPECT_EQ(graph.RunGraph(), 1);
    EXPECT_EQ(graph.RunGraph(), 1);
    EXPECT_EQ(graph.GraphState(), 2);
    QApplication::processEvents();
    EXPECT_EQ(graph.FramesRendered(), 0u);
    int32_t size = 0;
    EXPECT_LT(graph.GetCurrentImage(&size, nullptr), 0) << "no picture yet";

    // Wrong stream id or empty payloads are refused without reaching the decoder.
    EXPECT_LT(graph.PushVideo(192, frames[0].data(), static_cast<int32_t>(frames[0].size())), 0);
    EXPECT_LT(graph.PushVideo(224, nullptr, 10), 0);
    EXPECT_LT(graph.PushVideo(224, frames[0].data(), 0), 0);

    graph.AttachVideoWindow(&mOwner);
    PushAll(graph, frames);
    EXPECT_EQ(graph.StopGraph(), 1);
    EXPECT_EQ(graph.GraphState(), 0);
    // The last picture stays readable after the stop.
    EXPECT_EQ(ReadCurrentImage(graph).width, 160);
    // Stopped and started again, the same graph shows frames again.
    EXPECT_EQ(graph.RunGraph(), 1);
    PushAll(graph, frames);
    graph.StopGraph();
}

TEST_F(VideoGraphTest, RegistersUnderItsNameAndDumpsAsGraphviz) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    VideoGraph graph;
    EXPECT_EQ(graph.GraphName(), "");
    ASSERT_EQ(graph.BuildGraph(), 1);
    const QString name = QString::fromStdString(graph.GraphName());
    QRegularExpression format("^FilterGraph ([0-9a-f]{8,}) pid ([0-9a-f]{8})$");
    auto match = format.match(name);
    ASSERT_TRUE(match.hasMatch()) << name.toStdString();
    EXPECT_EQ(match.captured(2).toUInt(nullptr, 16), static_cast<unsigned>(getpid()));

    const QByteArray dirPath = dir.path().toLocal8Bit();
    EXPECT_EQ(DumpRunningGraphs(dirPath.constData()), 1);
    const QStringList files = QDir(dir.path()).entryList({"*.dot"});
    ASSERT_EQ(files.size(), 1);
    QFile dot(dir.filePath(files.front()));
    ASSERT_TRUE(dot.open(QIODevice::ReadOnly));
    const QByteArray text = dot.readAll();
    EXPECT_TRUE(text.startsWith("digraph"));
    for (const char* filter :
         {"Video Packect Push Filter", "ffdshow video decoder", "Video Render Default"}) {
        EXPECT_TRUE(text.contains(filter)) << filter;
    }

    // With the debug option set, running the graph writes its file on its own.
    QTemporaryDir optionDir;
    setenv("ZEVO_GRAPH_DUMP_DIR", optionDir.path().toLocal8Bit().constData(), 1);
    EXPECT_EQ(graph.RunGraph(), 1);
    unsetenv("ZEVO_GRAPH_DUMP_DIR");
    EXPECT_EQ(QDir(optionDir.path()).entryList({"*.dot"}).size(), 1);
    EXPECT_EQ(graph.StopGraph(), 1);

    // A second graph has its own name; a released one leaves the table.
    VideoGraph other;
    ASSERT_EQ(other.BuildGraph(), 1);
    EXPECT_NE(other.GraphName(), graph.GraphName());
    graph.ReleaseAll();
    EXPECT_EQ(graph.GraphName(), "");
    QTemporaryDir second;
    EXPECT_EQ(DumpRunningGraphs(second.path().toLocal8Bit().constData()), 1);
    EXPECT_TRUE(QFile::exists(
        second.filePath(QString::fromStdString(other.GraphName()).replace(' ', '_') + ".dot")));
}

TEST_F(VideoGraphTest, StopAvSequenceGivesAFreshRunningEmptyWindow) {
    const auto frames = EncodeFrames("red", 160, 120, 3, test::H264Encoder());
    VideoGraph graph;
    Start(graph);
    graph.SetVideoPosition(0, 0, 400, 278);
    QWidget* first = VideoChild();
    ASSERT_NE(first, nullptr);
    EXPECT_TRUE(first->isVisible());
    EXPECT_EQ(first->geometry(), QRect(0, 0, 400, 278));
    PushAll(graph, frames);
    const std::string firstName = graph.GraphName();

    // What StopAV does after the session has stopped; the second time as after a stop
    // that failed, which leaves the graph released while it counts as running: the new
    // graph must still run.
    for (const bool stopped : {true, false}) {
        SCOPED_TRACE(stopped ? "stopped" : "stop failed");
        if (stopped) {
            ASSERT_EQ(graph.StopGraph(), 1);
        }
        graph.ReleaseAll();
        Start(graph);
        graph.SetVideoPosition(0, 0, 400, 278);
        QWidget* second = VideoChild();
        ASSERT_NE(second, nullptr) << "exactly one video window after the rebuild";
        EXPECT_TRUE(second->isVisible());
        EXPECT_EQ(second->geometry(), QRect(0, 0, 400, 278));
        EXPECT_EQ(graph.GraphState(), 2);
        EXPECT_EQ(graph.FramesRendered(), 0u);
        int32_t size = 0;
        EXPECT_LT(graph.GetCurrentImage(&size, nullptr), 0) << "the new graph is empty";
        PushAll(graph, frames);
        EXPECT_EQ(ReadCurrentImage(graph).width, 160);
    }
    (void)firstName;
}

int OpenDescriptors() {
    int n = 0;
    if (DIR* dir = opendir("/proc/self/fd")) {
        while (dirent* e = readdir(dir)) n += e->d_name[0] != '.';
        closedir(dir);
    }
    return n;
}

// The player window rebuilds the graph on every stop; each released graph must take its
// pipeline, bus (and the bus's socket pair) and table entry with it.
TEST_F(VideoGraphTest, RebuildCyclesFreeTheOldPipelineAndItsDescriptors) {
    const auto frames = EncodeFrames("red", 160, 120, 3, test::H264Encoder());
    ASSERT_EQ(frames.size(), 3u);
    VideoGraph graph;
    // One full cycle first, so that what GStreamer keeps once per process is in place.
    Start(graph);
    PushAll(graph, frames);
    ASSERT_EQ(graph.StopGraph(), 1);
    graph.ReleaseAll();
    WaitFor([] { return false; }, 50);
    const int fdsBefore = OpenDescriptors();
    const size_t graphsBefore = RunningGraphCount();

    constexpr int kCycles = 10;
    std::vector<GWeakRef> pipelines(kCycles);
    for (int i = 0; i < kCycles; ++i) {
        Start(graph);
        GstElement* pipeline = FindRunningGraph(graph.GraphName());
        ASSERT_NE(pipeline, nullptr);
        g_weak_ref_init(&pipelines[i], pipeline);
        gst_object_unref(pipeline);
        PushAll(graph, frames);
        ASSERT_EQ(graph.StopGraph(), 1);
        graph.ReleaseAll();
        EXPECT_EQ(RunningGraphCount(), graphsBefore);
    }
    WaitFor([] { return false; }, 50);
    int alive = 0;
    for (GWeakRef& ref : pipelines) {
        if (GObject* object = G_OBJECT(g_weak_ref_get(&ref))) {
            ++alive;
            g_object_unref(object);
        }
        g_weak_ref_clear(&ref);
    }
    EXPECT_EQ(alive, 0) << "released pipelines still alive";
    // A little slack for descriptors others open meanwhile, far less than two a cycle.
    EXPECT_LE(OpenDescriptors(), fdsBefore + 2);
}

TEST_F(VideoGraphTest, MissingFiltersShowTheirMessagesInOrder) {
    const auto frames = EncodeFrames("red", 160, 120, 2, test::H264Encoder());
    struct Case {
        const char* missing;
        std::vector<std::string> messages;
    };
    const std::vector<Case> cases = {
        {"avdec_h264",
         {"Failed to add ffdshow video decoder filter.", "Failed to add video filters to graph."}},
        {kVideoRendererFilter,
         {"Failed to add video render filter.", "Failed to add video filters to graph."}},
        {kPacketPushFilter, {"Failed to add video push filter."}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.missing);
        mMessages.clear();
        const std::string missing = c.missing;
        SetFilterCreateHook([missing](const char* id) { return missing != id; });
        VideoGraph graph;
        // The control interfaces are still obtained and the window stays usable.
        EXPECT_EQ(graph.BuildGraph(), 1);
        EXPECT_EQ(mMessages, c.messages);
        graph.AttachVideoWindow(&mOwner);
        EXPECT_NE(VideoChild(), nullptr);
        EXPECT_EQ(graph.RunGraph(), 1);
        EXPECT_EQ(graph.PushVideo(224, frames[0].data(), static_cast<int32_t>(frames[0].size())),
                  1);
        QApplication::processEvents();
        int32_t size = 0;
        EXPECT_LT(graph.GetCurrentImage(&size, nullptr), 0);
        EXPECT_EQ(graph.SaveSnapshot("/nonexistent/x.jpg"), 0);
        EXPECT_EQ(graph.StopGraph(), 1);
        graph.ReleaseAll();
    }
}

TEST_F(VideoGraphTest, SnapshotWritesTheCurrentPictureAsJpeg) {
    QTemporaryDir dir;
    const QByteArray path = dir.filePath("20121020_093005.jpg").toLocal8Bit();
    VideoGraph graph;
    EXPECT_EQ(graph.SaveSnapshot(path.constData()), 0) << "no graph";
    Start(graph);
    EXPECT_EQ(graph.SaveSnapshot(path.constData()), 0) << "no picture yet";
    EXPECT_FALSE(QFile::exists(dir.filePath("20121020_093005.jpg")));

    PushAll(graph, EncodeFrames("red", 320, 240, 4, test::H264Encoder()));
    EXPECT_EQ(graph.SaveSnapshot(path.constData()), 1);
    QFile file(QString::fromLocal8Bit(path));
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QByteArray head = file.read(3);
    EXPECT_EQ(head, QByteArray("\xFF\xD8\xFF", 3)) << "a JPEG file";
    QImage saved(QString::fromLocal8Bit(path));
    ASSERT_FALSE(saved.isNull());
    EXPECT_EQ(saved.size(), QSize(320, 240));
    const QColor centre = saved.pixelColor(160, 120);
    EXPECT_TRUE(Near({centre.red(), centre.green(), centre.blue()}, {255, 0, 0}, 30));

    // A folder that does not exist: the picture was obtained, no file is written.
    EXPECT_EQ(graph.SaveSnapshot("/nonexistent-folder/x.jpg"), 1);
    EXPECT_FALSE(QFile::exists("/nonexistent-folder/x.jpg"));
}

// The software decoder takes one thread for pictures up to 720p and one per core above,
// set from the stream's own size before it opens.
TEST(VideoDecoder, ThreadsFollowThePictureSize) {
    gst_init(nullptr, nullptr);
    struct Case {
        int width, height, threads;
    };
    for (const Case& c : {Case{320, 240, 1}, Case{1280, 720, 1}, Case{1920, 1080, 0}}) {
        SCOPED_TRACE(std::to_string(c.width) + "x" + std::to_string(c.height));
        const auto frames = EncodeFrames("red", c.width, c.height, 2, test::H264Encoder());
        GstElement* pipeline = gst_pipeline_new(nullptr);
        GstElement* source = gst_element_factory_make("appsrc", nullptr);
        GstElement* decoder = MakeVideoDecoder();
        GstElement* sink = gst_element_factory_make("appsink", nullptr);
        ASSERT_TRUE(source && decoder && sink);
        GstCaps* caps = gst_caps_from_string("video/x-h264,stream-format=byte-stream,alignment=au");
        g_object_set(source, "caps", caps, "format", GST_FORMAT_TIME, nullptr);
        gst_caps_unref(caps);
        gst_bin_add_many(GST_BIN(pipeline), source, decoder, sink, nullptr);
        ASSERT_TRUE(gst_element_link_many(source, decoder, sink, nullptr));
        gst_element_set_state(pipeline, GST_STATE_PLAYING);
        for (const Frame& frame : frames) {
            gst_app_src_push_buffer(GST_APP_SRC(source),
                                    gst_buffer_new_memdup(frame.data(), frame.size()));
        }
        gst_app_src_end_of_stream(GST_APP_SRC(source));
        GstSample* sample = gst_app_sink_try_pull_sample(GST_APP_SINK(sink), 10 * GST_SECOND);
        ASSERT_NE(sample, nullptr);
        int width = 0;
        gst_structure_get_int(gst_caps_get_structure(gst_sample_get_caps(sample), 0), "width",
                              &width);
        EXPECT_EQ(width, c.width);
        gst_sample_unref(sample);
        GstIterator* it =
            gst_bin_iterate_all_by_element_factory_name(GST_BIN(decoder), "avdec_h264");
        GValue item = G_VALUE_INIT;
        int threads = -1;
        if (gst_iterator_next(it, &item) == GST_ITERATOR_OK) {
            g_object_get(g_value_get_object(&item), "max-threads", &threads, nullptr);
            g_value_unset(&item);
        }
        gst_iterator_free(it);
        EXPECT_EQ(threads, c.threads);
        gst_element_set_state(pipeline, GST_STATE_NULL);
        gst_object_unref(pipeline);
    }
}

TEST(GraphFilters, HelpersCheckArgumentsAndFindFreePins) {
    gst_init(nullptr, nullptr);
    GstElement* graph = GST_ELEMENT(gst_object_ref_sink(gst_pipeline_new(nullptr)));
    GstElement* filter = reinterpret_cast<GstElement*>(1);
    EXPECT_EQ(CreateAndAddFilter(nullptr, "fakesink", "a", &filter), E_POINTER);
    EXPECT_EQ(CreateAndAddFilter(graph, nullptr, "a", &filter), E_POINTER);
    EXPECT_EQ(CreateAndAddFilter(graph, "fakesink", nullptr, &filter), E_POINTER);
    EXPECT_EQ(CreateAndAddFilter(graph, "fakesink", "a", nullptr), E_POINTER);
    EXPECT_LT(CreateAndAddFilter(graph, "no-such-element", "a", &filter), 0);
    EXPECT_EQ(filter, nullptr);

    GstElement* source = nullptr;
    GstElement* sink = nullptr;
    ASSERT_EQ(CreateAndAddFilter(graph, "videotestsrc", "Source", &source), 0);
    ASSERT_EQ(CreateAndAddFilter(graph, "fakesink", "Sink", &sink), 0);
    GstElement* twin = nullptr;
    EXPECT_LT(CreateAndAddFilter(graph, "fakesink", "Sink", &twin), 0) << "names are unique";
    EXPECT_EQ(twin, nullptr);
    EXPECT_EQ(gst_bin_get_by_name(GST_BIN(graph), "Source"), source);
    gst_object_unref(source);  // the extra reference get_by_name took

    GstPad* pin = nullptr;
    EXPECT_EQ(FindFreePin(nullptr, GST_PAD_SRC, &pin), E_POINTER);
    EXPECT_EQ(FindFreePin(sink, GST_PAD_SRC, &pin), E_FAIL) << "a sink has no output";
    EXPECT_EQ(pin, nullptr);
    EXPECT_EQ(ConnectFilterPair(graph, nullptr, sink), E_POINTER);
    EXPECT_EQ(ConnectPinToFilter(graph, nullptr, sink), E_POINTER);
    EXPECT_EQ(ConnectFilterPair(graph, source, sink), 0);
    EXPECT_EQ(FindFreePin(sink, GST_PAD_SINK, &pin), E_FAIL) << "its only input is taken";
    EXPECT_EQ(FindFreePin(source, GST_PAD_SRC, &pin), E_FAIL);
    gst_object_unref(graph);
}

TEST(GraphFilters, ConnectingInsertsWhatTheTwoEndsNeed) {
    gst_init(nullptr, nullptr);
    // Raw I420 into a BGRx-only sink needs a converter.
    GstElement* graph = GST_ELEMENT(gst_object_ref_sink(gst_pipeline_new(nullptr)));
    GstElement* source = nullptr;
    GstElement* sink = nullptr;
    ASSERT_EQ(CreateAndAddFilter(graph, "videotestsrc", "Source", &source), 0);
    ASSERT_EQ(CreateAndAddFilter(graph, "appsink", "Sink", &sink), 0);
    GstCaps* i420 = gst_caps_from_string("video/x-raw,format=I420,width=64,height=48");
    GstCaps* bgrx = gst_caps_from_string("video/x-raw,format=BGRx");
    g_object_set(sink, "caps", bgrx, nullptr);
    GstElement* capsfilter = nullptr;
    ASSERT_EQ(CreateAndAddFilter(graph, "capsfilter", "I420 only", &capsfilter), 0);
    g_object_set(capsfilter, "caps", i420, nullptr);
    ASSERT_EQ(ConnectFilterPair(graph, source, capsfilter), 0);
    ASSERT_EQ(ConnectFilterPair(graph, capsfilter, sink), 0);
    EXPECT_EQ(GST_BIN_NUMCHILDREN(GST_BIN(graph)), 4) << "one element was inserted";
    g_object_set(source, "num-buffers", 1, nullptr);
    gst_element_set_state(graph, GST_STATE_PLAYING);
    GstSample* sample = gst_app_sink_try_pull_sample(GST_APP_SINK(sink), 10 * GST_SECOND);
    ASSERT_NE(sample, nullptr) << "frames flow through the inserted converter";
    GstStructure* s = gst_caps_get_structure(gst_sample_get_caps(sample), 0);
    EXPECT_STREQ(gst_structure_get_string(s, "format"), "BGRx");
    gst_sample_unref(sample);
    gst_element_set_state(graph, GST_STATE_NULL);
    gst_object_unref(graph);
    gst_caps_unref(i420);
    gst_caps_unref(bgrx);

    // A byte-stream H.264 push source into a muxer that stores only avc gets a parser,
    // and a multiplexer's input pin is made on request.
    graph = GST_ELEMENT(gst_object_ref_sink(gst_pipeline_new(nullptr)));
    GstElement* push = nullptr;
    GstElement* mux = nullptr;
    ASSERT_EQ(CreateAndAddFilter(graph, "appsrc", "Push", &push), 0);
    GstCaps* h264 = gst_caps_from_string(
        "video/x-h264,stream-format=byte-stream,alignment=au,width=64,"
        "height=48,framerate=25/1");
    g_object_set(push, "caps", h264, nullptr);
    gst_caps_unref(h264);
    ASSERT_EQ(CreateAndAddFilter(graph, "mp4mux", "Muxer", &mux), 0);
    ASSERT_EQ(ConnectFilterPair(graph, push, mux), 0);
    bool parserInserted = false;
    GstIterator* it = gst_bin_iterate_elements(GST_BIN(graph));
    GValue item = G_VALUE_INIT;
    while (gst_iterator_next(it, &item) == GST_ITERATOR_OK) {
        GstElementFactory* f = gst_element_get_factory(GST_ELEMENT(g_value_get_object(&item)));
        if (f && g_str_equal(gst_plugin_feature_get_name(GST_PLUGIN_FEATURE(f)), "h264parse"))
            parserInserted = true;
        g_value_reset(&item);
    }
    g_value_unset(&item);
    gst_iterator_free(it);
    EXPECT_TRUE(parserInserted);
    gst_object_unref(graph);
}

TEST(GraphFilters, DetectsTheCodecFromTheFirstPayload) {
    const auto h264 = EncodeFrames("red", 64, 48, 2, test::H264Encoder());
    const auto h265 = EncodeFrames("red", 64, 48, 2, test::H265Encoder());
    const auto jpeg = EncodeFrames("red", 64, 48, 1, test::JpegEncoder());
    ASSERT_FALSE(h264.empty());
    ASSERT_FALSE(h265.empty());
    ASSERT_FALSE(jpeg.empty());
    auto detect = [](const Frame& f) {
        return DetectVideoCaps(f.data(), static_cast<int32_t>(f.size()));
    };
    EXPECT_EQ(detect(h264[0]).rfind("video/x-h264", 0), 0u) << detect(h264[0]);
    EXPECT_EQ(detect(h264[1]).rfind("video/x-h264", 0), 0u) << "a P frame alone";
    EXPECT_EQ(detect(h265[0]).rfind("video/x-h265", 0), 0u) << detect(h265[0]);
    EXPECT_EQ(detect(h265[1]).rfind("video/x-h265", 0), 0u) << "a P frame alone";
    EXPECT_EQ(detect(jpeg[0]).rfind("image/jpeg", 0), 0u);
    const unsigned char noise[] = {1, 2, 3, 4, 5, 6, 7, 8};
    EXPECT_EQ(DetectVideoCaps(noise, sizeof noise), "");
    EXPECT_EQ(DetectVideoCaps(nullptr, 10), "");
    // A start code at the very end is not read past.
    const unsigned char tail[] = {9, 9, 0, 0, 1};
    EXPECT_EQ(DetectVideoCaps(tail, sizeof tail), "");
}

}  // namespace
