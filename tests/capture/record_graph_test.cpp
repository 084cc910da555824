// The recording graph on real GStreamer with real encoders' streams pushed from another
// thread: the file it writes (read back by our parser and by ffprobe), its name, the
// failures of its build, and what a second recording in the same second gets.
#include "capture/record_graph.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <thread>

#include "capture/avi_file.h"
#include "media/graph_filters.h"
#include "platform/message_box.h"
#include "tests/media/media_test_util.h"
#include "tests/platform/shell_output.h"

namespace zevo {
namespace {

namespace fs = std::filesystem;
using test::EncodeFrames;

// 20 October 2012, 09:30:05 local time.
time_t OctoberMorning() {
    struct tm t {};
    t.tm_year = 112;
    t.tm_mon = 9;
    t.tm_mday = 20;
    t.tm_hour = 9;
    t.tm_min = 30;
    t.tm_sec = 5;
    t.tm_isdst = -1;
    return mktime(&t);
}

using zevo::testing::ShellOutput;

class RecordGraphTest : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/zevo-record-XXXXXX";
        mDir = mkdtemp(tmpl);
        SetMessageBoxHook([this](const QString&, const QString& text) { mBoxes << text; });
    }
    void TearDown() override {
        SetFilterCreateHook({});
        SetMessageBoxHook({});
        fs::remove_all(mDir);
    }
    std::unique_ptr<RecordGraph> NewGraph() {
        auto graph = std::make_unique<RecordGraph>();
        graph->SetTimeSource(OctoberMorning);
        return graph;
    }

    std::string mDir;
    QStringList mBoxes;
};

TEST_F(RecordGraphTest, RecordsEveryFrameAsItCameWithTheStreamsSizeAndAnIndex) {
    struct Case {
        const char* codec;
        const char* encoder;
        const char* probeName;
    } cases[] = {{"h264", test::H264Encoder(), "h264"}, {"h265", test::H265Encoder(), "hevc"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.codec);
        const auto frames = EncodeFrames("smpte", 352, 288, 40, c.encoder);
        ASSERT_EQ(frames.size(), 40u);
        auto graph = NewGraph();
        ASSERT_EQ(graph->BuildGraph(mDir.c_str()), 1);
        EXPECT_EQ(graph->FileName(), mDir + "/20121020_093005.avi");
        EXPECT_EQ(graph->GraphName().rfind("FilterGraph ", 0), 0u);
        EXPECT_EQ(RunningGraphCount(), 1u);
        EXPECT_EQ(graph->PushVideo(224, frames[0].data(), int32_t(frames[0].size())), 1)
            << "pushed before the graph runs";
        ASSERT_EQ(graph->RunGraph(), 1);
        EXPECT_EQ(graph->RunGraph(), 1);
        EXPECT_EQ(graph->GraphState(), 2);
        // The video consumer's thread, at the stream's 25 fps; the buffer is reused.
        std::thread consumer([&] {
            std::vector<unsigned char> buffer;
            for (const auto& f : frames) {
                buffer = f;
                EXPECT_GE(graph->PushVideo(224, buffer.data(), int32_t(buffer.size())), 0);
                std::fill(buffer.begin(), buffer.end(), 0);
                std::this_thread::sleep_for(std::chrono::milliseconds(40));
            }
        });
        consumer.join();
        ASSERT_EQ(graph->StopGraph(), 1);
        EXPECT_EQ(graph->GraphState(), 0);
        const std::string file = graph->FileName();
        graph->ReleaseAll();
        EXPECT_EQ(RunningGraphCount(), 0u);

        std::ifstream in(file, std::ios::binary);
        const std::vector<uint8_t> bytes{std::istreambuf_iterator<char>(in), {}};
        AviStreamInfo info;
        ASSERT_TRUE(ParseAviHeader(bytes.data(), bytes.size(), &info));
        EXPECT_TRUE(info.indexed);
        EXPECT_EQ(info.frames, 40u);
        EXPECT_EQ(info.width, 352u);
        EXPECT_EQ(info.height, 288u);
        EXPECT_NEAR(info.frameUs, 40000, 8000);
        EXPECT_EQ(CompleteRecording(file).result, AviCompletion::Complete);
        const std::string probe = ShellOutput(
            "ffprobe -v error -count_frames -show_entries stream=codec_name,width,height,"
            "nb_read_frames -of csv=p=0 '" +
            file + "'");
        EXPECT_EQ(probe, std::string(c.probeName) + ",352,288,40\n");
        EXPECT_EQ(ShellOutput("ffmpeg -v error -i '" + file + "' -f null -"), "");
    }
    EXPECT_TRUE(mBoxes.isEmpty()) << mBoxes.join('|').toStdString();
}

// Names come from the local time: a recording after another in the same second takes
// the same name; one made while another window still writes that name takes the next.
TEST_F(RecordGraphTest, SameSecondNamesAndLimits) {
    auto first = NewGraph();
    ASSERT_EQ(first->BuildGraph(mDir.c_str()), 1);
    auto second = NewGraph();
    ASSERT_EQ(second->BuildGraph(mDir.c_str()), 1);
    EXPECT_EQ(second->FileName(), mDir + "/20121020_093005_1.avi");
    second->ReleaseAll();
    first->ReleaseAll();
    auto third = NewGraph();
    ASSERT_EQ(third->BuildGraph(mDir.c_str()), 1);
    EXPECT_EQ(third->FileName(), mDir + "/20121020_093005.avi");
    third->ReleaseAll();

    // A folder whose recording path would not fit in 259 characters names no file: the
    // graph does not run and nothing is written anywhere.
    std::string longFolder = mDir;
    while (longFolder.size() < 240) longFolder += "/0123456789";
    fs::create_directories(longFolder);
    auto tooLong = NewGraph();
    char buffer[RecordGraph::kPathBufferSize] = {};
    ASSERT_EQ(tooLong->BuildGraph(longFolder.c_str()), 1);
    EXPECT_EQ(tooLong->MakeFileName(buffer), 0);
    EXPECT_EQ(buffer[0], '\0');
    EXPECT_EQ(tooLong->RunGraph(), 0);
    EXPECT_EQ(tooLong->StopGraph(), 1);
    tooLong->ReleaseAll();
    EXPECT_TRUE(fs::is_empty(longFolder));
    EXPECT_TRUE(mBoxes.isEmpty()) << mBoxes.join('|').toStdString();
}

// A filter that cannot be created gives its own text and, for a negative result, the
// graph's; the graph stays safe to push into, stop and release.
TEST_F(RecordGraphTest, MissingFiltersShowTheirTextsInOrder) {
    struct Case {
        const char* missing;
        QStringList boxes;
    } cases[] = {
        {"appsrc", {"Failed to add video push filter."}},
        {"zevoavimux", {"Failed to add muxer filter.", "Failed to add video filters to graph."}},
        {"filesink",
         {"Failed to add file writer filter.", "Failed to add video filters to graph."}},
    };
    const auto frames = EncodeFrames("red", 160, 120, 2, test::H264Encoder());
    for (const Case& c : cases) {
        SCOPED_TRACE(c.missing);
        mBoxes.clear();
        const std::string missing = c.missing;
        SetFilterCreateHook([missing](const char* id) { return missing != id; });
        auto graph = NewGraph();
        graph->BuildGraph(mDir.c_str());
        EXPECT_EQ(mBoxes, c.boxes);
        graph->RunGraph();
        EXPECT_EQ(graph->PushVideo(224, frames[0].data(), int32_t(frames[0].size())), 1);
        graph->StopGraph();
        graph->ReleaseAll();
        EXPECT_EQ(RunningGraphCount(), 0u);
    }
    EXPECT_TRUE(fs::is_empty(mDir));
}

}  // namespace
}  // namespace zevo
