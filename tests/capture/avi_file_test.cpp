// Recording files: what the writer produces, and what completing a file cut off at any
// point leaves (the frames that were whole, an index that points at them, a header that
// agrees with both).
#include "capture/avi_file.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>

namespace zevo {
namespace {

namespace fs = std::filesystem;

uint32_t Get32(const std::vector<uint8_t>& b, size_t at) {
    return b[at] | b[at + 1] << 8 | b[at + 2] << 16 | static_cast<uint32_t>(b[at + 3]) << 24;
}

std::vector<uint8_t> ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void WriteAll(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::ofstream(path, std::ios::binary | std::ios::trunc)
        .write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
}

// An access unit of n bytes: an IDR slice (key) or a non-IDR slice behind a start code.
std::vector<uint8_t> Frame(size_t n, bool key) {
    std::vector<uint8_t> f(n, 0xAB);
    const uint8_t head[5] = {0, 0, 0, 1, static_cast<uint8_t>(key ? 0x65 : 0x41)};
    std::memcpy(f.data(), head, std::min(n, sizeof head));
    return f;
}

struct Recording {
    std::vector<uint8_t> bytes;       // as a crash leaves it: header refreshed, no index
    std::vector<uint8_t> complete;    // as a stop leaves it
    std::vector<uint64_t> chunkEnds;  // end offset of every chunk
    uint32_t frames = 0;
};

// 60 frames 40 ms apart with a 3-second pause after frame 30, odd sizes included.
Recording Record() {
    AviWriter writer(VideoCodec::H264, 480, 270);
    Recording r;
    r.bytes = writer.Header(false);
    uint64_t t = 5000000;
    for (int i = 0; i < 60; ++i) {
        t += (i == 30) ? 3000000 : 40000;
        const std::vector<uint8_t> f = Frame(100 + 37 * i, i % 10 == 0);
        std::vector<uint8_t> chunk;
        EXPECT_TRUE(writer.AddFrame(f.data(), f.size(), i % 10 == 0, t, chunk));
        r.bytes.insert(r.bytes.end(), chunk.begin(), chunk.end());
    }
    const std::vector<uint8_t> header = writer.Header(false);
    std::copy(header.begin(), header.end(), r.bytes.begin());
    r.complete = r.bytes;
    const std::vector<uint8_t> index = writer.Index();
    r.complete.insert(r.complete.end(), index.begin(), index.end());
    const std::vector<uint8_t> final = writer.Header(true);
    std::copy(final.begin(), final.end(), r.complete.begin());
    r.frames = writer.Info().frames;
    for (uint64_t at = kFirstChunkOffset; at < r.bytes.size();) {
        at += 8 + Get32(r.bytes, at + 4) + (Get32(r.bytes, at + 4) & 1);
        r.chunkEnds.push_back(at);
    }
    return r;
}

// Every structural promise of a completed file.
void ExpectCompleteFile(const std::vector<uint8_t>& b, uint32_t frames, uint64_t dataEnd) {
    AviStreamInfo info;
    ASSERT_TRUE(ParseAviHeader(b.data(), b.size(), &info));
    EXPECT_TRUE(info.indexed);
    EXPECT_EQ(info.frames, frames);
    EXPECT_EQ(info.width, 480u);
    EXPECT_EQ(Get32(b, 4) + 8ull, b.size());
    EXPECT_EQ(Get32(b, kMoviListOffset + 4) + uint64_t{kMoviFourccOffset}, dataEnd);
    ASSERT_EQ(std::memcmp(&b[dataEnd], "idx1", 4), 0);
    ASSERT_EQ(Get32(b, dataEnd + 4), 16u * frames);
    for (uint32_t i = 0; i < frames; ++i) {
        const size_t e = dataEnd + 8 + 16 * i;
        const uint64_t chunk = kMoviFourccOffset + uint64_t{Get32(b, e + 8)};
        ASSERT_LT(chunk + 8, dataEnd);
        EXPECT_EQ(std::memcmp(&b[chunk], "00dc", 4), 0) << i;
        EXPECT_EQ(Get32(b, chunk + 4), Get32(b, e + 12)) << i;
        const bool key = Get32(b, e + 12) > 4 && b[chunk + 12] == 0x65;
        EXPECT_EQ(Get32(b, e + 4) == 0x10, key) << i;
    }
}

class AviFileTest : public ::testing::Test {
protected:
    std::string Path(const std::string& name) { return (mDir / name).string(); }
    void SetUp() override {
        char tmpl[] = "/tmp/zevo-avi-XXXXXX";
        mDir = mkdtemp(tmpl);
    }
    void TearDown() override { fs::remove_all(mDir); }
    fs::path mDir;
};

TEST_F(AviFileTest, WriterKeepsThePauseAndTheMeanRate) {
    const Recording r = Record();
    // 60 frames and the 3-second pause as 74 empty chunks of 40 ms.
    EXPECT_EQ(r.frames, 60u + 74u);
    AviStreamInfo info;
    ASSERT_TRUE(ParseAviHeader(r.complete.data(), r.complete.size(), &info));
    EXPECT_NEAR(info.frameUs, 40000, 300);
    EXPECT_NEAR(double(info.frames) * info.frameUs, 59 * 40000 + 3000000 + 40000, 80000);
    ExpectCompleteFile(r.complete, r.frames, r.bytes.size());
}

// A file cut anywhere keeps exactly its whole chunks; completing twice changes nothing.
TEST_F(AviFileTest, CompletesFilesCutAtEveryKindOfPoint) {
    const Recording r = Record();
    const uint64_t mid = r.chunkEnds[110];  // a frame after the pause's empty chunks
    struct Case {
        const char* what;
        uint64_t cut;
        AviCompletion result;
        uint32_t frames;
    } cases[] = {
        {"inside the header", 1000, AviCompletion::NotOurs, 0},
        {"no chunk yet", kFirstChunkOffset, AviCompletion::Completed, 0},
        {"in a chunk's id", mid + 3, AviCompletion::Completed, 111},
        {"in a chunk's data", mid + 20, AviCompletion::Completed, 111},
        {"after the last chunk", r.bytes.size(), AviCompletion::Completed, r.frames},
        {"in the index", r.bytes.size() + 8 + 16 * 7 + 5, AviCompletion::Completed, r.frames},
        {"complete", r.complete.size(), AviCompletion::Complete, r.frames},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string path = Path("20261208_120000.avi");
        WriteAll(path, std::vector<uint8_t>(r.complete.begin(), r.complete.begin() + c.cut));
        const AviCompletionReport report = CompleteRecording(path);
        EXPECT_EQ(report.result, c.result);
        if (c.result == AviCompletion::NotOurs) continue;
        EXPECT_EQ(report.frames, c.frames);
        const std::vector<uint8_t> done = ReadAll(path);
        const uint64_t dataEnd = c.frames ? r.chunkEnds[c.frames - 1] : kFirstChunkOffset;
        ExpectCompleteFile(done, c.frames, dataEnd);
        EXPECT_EQ(CompleteRecording(path).result, AviCompletion::Complete);
        EXPECT_EQ(ReadAll(path), done);
    }
}

TEST_F(AviFileTest, FolderScanSkipsOtherFilesAndRecordingsBeingWritten) {
    const Recording r = Record();
    const std::vector<uint8_t> cut(r.bytes.begin(), r.bytes.begin() + r.chunkEnds[9] + 11);
    for (const char* name : {"20261208_120000.avi", "20261208_120000_1.avi", "20261208_120001.avi",
                             "holiday.avi", "20261208_1200.avi"}) {
        WriteAll(Path(name), cut);
    }
    const int lock = LockRecording(Path("20261208_120001.avi"));
    ASSERT_GE(lock, 0);
    EXPECT_EQ(LockRecording(Path("20261208_120001.avi")), kRecordingBusy);
    EXPECT_EQ(LockRecording(Path("no/such/folder.avi")), -1);

    const auto completed = CompleteRecordingsIn(mDir.string());
    ASSERT_EQ(completed.size(), 2u);
    EXPECT_EQ(completed[0].first, Path("20261208_120000.avi"));
    EXPECT_EQ(completed[1].first, Path("20261208_120000_1.avi"));
    EXPECT_EQ(completed[0].second.frames, 10u);
    EXPECT_EQ(completed[0].second.bytesDropped, 11u);
    EXPECT_EQ(ReadAll(Path("holiday.avi")), cut);
    EXPECT_EQ(ReadAll(Path("20261208_120001.avi")), cut);
    UnlockRecording(lock);
    EXPECT_EQ(CompleteRecording(Path("20261208_120001.avi")).result, AviCompletion::Completed);
}

}  // namespace
}  // namespace zevo
