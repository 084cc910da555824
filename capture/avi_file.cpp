#include "capture/avi_file.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace zevo {

namespace {

constexpr uint32_t AVIF_HASINDEX = 0x10;
constexpr uint32_t AVIIF_KEYFRAME = 0x10;
// A pause longer than this is kept in the time line with empty chunks.
constexpr uint64_t kGapUs = 1000000;
// At most an hour of empty chunks for one pause.
constexpr uint64_t kMaxGapUs = 3600ull * 1000000;
// Bytes of a chunk read to tell a key frame when completing a file.
constexpr size_t kKeyProbeBytes = 512;

void Put16(uint8_t* p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}

void Put32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

uint32_t Get32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

void PutTag(uint8_t* p, const char* tag) {
    std::memcpy(p, tag, 4);
}

bool IsTag(const uint8_t* p, const char* tag) {
    return std::memcmp(p, tag, 4) == 0;
}

const char* Handler(VideoCodec codec) {
    return codec == VideoCodec::H265 ? "HEVC" : "H264";
}

// Chunk ids of the video stream: '00dc' (compressed) and '00db' (uncompressed).
bool IsVideoChunk(const uint8_t* id) {
    return id[0] == '0' && id[1] == '0' && id[2] == 'd' && (id[3] == 'c' || id[3] == 'b');
}

bool IsPrintableTag(const uint8_t* id) {
    return std::all_of(id, id + 4, [](uint8_t c) { return c >= 0x20 && c < 0x7F; });
}

// Reads or writes all of size bytes at offset, across short transfers and signals.
template <typename Transfer, typename Byte>
bool TransferAt(Transfer transfer, int fd, Byte* p, size_t size, uint64_t offset) {
    while (size > 0) {
        const ssize_t n = transfer(fd, p, size, static_cast<off_t>(offset));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        p += n;
        size -= static_cast<size_t>(n);
        offset += static_cast<uint64_t>(n);
    }
    return true;
}

bool ReadAt(int fd, void* buffer, size_t size, uint64_t offset) {
    return TransferAt(pread, fd, static_cast<uint8_t*>(buffer), size, offset);
}

bool WriteAt(int fd, const std::vector<uint8_t>& bytes, uint64_t offset) {
    return TransferAt(pwrite, fd, bytes.data(), bytes.size(), offset);
}

// YYYYMMDD_HHMMSS.avi, optionally with _N before the extension.
bool IsRecordingName(const std::string& name) {
    if (name.size() < 19 || name.compare(name.size() - 4, 4, ".avi") != 0) return false;
    for (size_t i = 0; i < 15; ++i) {
        const bool digit = name[i] >= '0' && name[i] <= '9';
        if (i == 8 ? name[i] != '_' : !digit) return false;
    }
    const std::string rest = name.substr(15, name.size() - 19);
    if (rest.empty()) return true;
    if (rest.size() < 2 || rest[0] != '_') return false;
    return std::all_of(rest.begin() + 1, rest.end(), [](char c) { return c >= '0' && c <= '9'; });
}

}  // namespace

std::vector<uint8_t> BuildAviHeader(const AviStreamInfo& info, uint64_t indexBytes) {
    std::vector<uint8_t> h(kAviHeaderSize, 0);
    uint8_t* p = h.data();
    const uint64_t end = std::max<uint64_t>(info.fileSize, kFirstChunkOffset);
    const uint32_t suggested = info.maxChunk + 8;
    PutTag(p, "RIFF");
    Put32(p + 4, static_cast<uint32_t>(end + indexBytes - 8));
    PutTag(p + 8, "AVI ");
    PutTag(p + 12, "LIST");
    Put32(p + 16, 192);
    PutTag(p + 20, "hdrl");

    PutTag(p + 24, "avih");
    Put32(p + 28, 56);
    uint8_t* avih = p + 32;
    Put32(avih + 0, info.frameUs);
    const uint64_t bytesPerSec =
        info.frames && info.frameUs
            ? (end - kFirstChunkOffset) * 1000000ull / (uint64_t{info.frames} * info.frameUs)
            : 0;
    Put32(avih + 4, static_cast<uint32_t>(std::min<uint64_t>(bytesPerSec, UINT32_MAX)));
    Put32(avih + 8, 0);
    Put32(avih + 12, info.indexed ? AVIF_HASINDEX : 0);
    Put32(avih + 16, info.frames);
    Put32(avih + 20, 0);
    Put32(avih + 24, 1);
    Put32(avih + 28, suggested);
    Put32(avih + 32, info.width);
    Put32(avih + 36, info.height);

    PutTag(p + 88, "LIST");
    Put32(p + 92, 116);
    PutTag(p + 96, "strl");
    PutTag(p + 100, "strh");
    Put32(p + 104, 56);
    uint8_t* strh = p + 108;
    PutTag(strh + 0, "vids");
    PutTag(strh + 4, Handler(info.codec));
    // Time base: one frame lasts frameUs microseconds.
    Put32(strh + 20, info.frameUs);
    Put32(strh + 24, 1000000);
    Put32(strh + 28, 0);
    Put32(strh + 32, info.frames);
    Put32(strh + 36, suggested);
    Put32(strh + 40, 0xFFFFFFFFu);
    Put32(strh + 44, 0);
    Put16(strh + 52, static_cast<uint16_t>(std::min<uint32_t>(info.width, 0x7FFF)));
    Put16(strh + 54, static_cast<uint16_t>(std::min<uint32_t>(info.height, 0x7FFF)));

    PutTag(p + 164, "strf");
    Put32(p + 168, 40);
    uint8_t* bih = p + 172;
    Put32(bih + 0, 40);
    Put32(bih + 4, info.width);
    Put32(bih + 8, info.height);
    Put16(bih + 12, 1);
    Put16(bih + 14, 24);
    PutTag(bih + 16, Handler(info.codec));
    Put32(bih + 20, info.width * info.height * 3);

    PutTag(p + 212, "JUNK");
    Put32(p + 216, kMoviListOffset - 220);

    PutTag(p + kMoviListOffset, "LIST");
    Put32(p + kMoviListOffset + 4, static_cast<uint32_t>(end - kMoviFourccOffset));
    PutTag(p + kMoviFourccOffset, "movi");
    return h;
}

std::vector<uint8_t> BuildAviIndex(const std::vector<AviIndexEntry>& entries) {
    std::vector<uint8_t> out(8 + 16 * entries.size());
    PutTag(out.data(), "idx1");
    Put32(out.data() + 4, static_cast<uint32_t>(16 * entries.size()));
    uint8_t* p = out.data() + 8;
    for (const AviIndexEntry& e : entries) {
        PutTag(p, "00dc");
        Put32(p + 4, e.key ? AVIIF_KEYFRAME : 0);
        Put32(p + 8, e.offset);
        Put32(p + 12, e.size);
        p += 16;
    }
    return out;
}

bool ParseAviHeader(const uint8_t* h, size_t size, AviStreamInfo* info) {
    if (!h || size < kAviHeaderSize || !info) return false;
    if (!IsTag(h, "RIFF") || !IsTag(h + 8, "AVI ") || !IsTag(h + 12, "LIST") ||
        !IsTag(h + 20, "hdrl") || !IsTag(h + 24, "avih") || !IsTag(h + 100, "strh") ||
        !IsTag(h + 108, "vids") || !IsTag(h + 164, "strf") || !IsTag(h + 212, "JUNK") ||
        !IsTag(h + kMoviListOffset, "LIST") || !IsTag(h + kMoviFourccOffset, "movi")) {
        return false;
    }
    AviStreamInfo parsed;
    if (IsTag(h + 112, "HEVC")) {
        parsed.codec = VideoCodec::H265;
    } else if (IsTag(h + 112, "H264")) {
        parsed.codec = VideoCodec::H264;
    } else {
        return false;
    }
    parsed.frameUs = Get32(h + 32);
    parsed.indexed = (Get32(h + 44) & AVIF_HASINDEX) != 0;
    parsed.frames = Get32(h + 48);
    parsed.maxChunk = Get32(h + 60) >= 8 ? Get32(h + 60) - 8 : 0;
    parsed.width = Get32(h + 64);
    parsed.height = Get32(h + 68);
    parsed.fileSize = uint64_t{Get32(h + kMoviListOffset + 4)} + kMoviFourccOffset;
    *info = parsed;
    return true;
}

AviWriter::AviWriter(VideoCodec codec, uint32_t width, uint32_t height) {
    mInfo.codec = codec;
    mInfo.width = width;
    mInfo.height = height;
    mInfo.fileSize = kFirstChunkOffset;
}

void AviWriter::AppendChunk(const uint8_t* data, size_t size, bool key, std::vector<uint8_t>& out) {
    const size_t at = out.size();
    const size_t padded = size + (size & 1);
    out.resize(at + 8 + padded);
    PutTag(&out[at], "00dc");
    Put32(&out[at + 4], static_cast<uint32_t>(size));
    if (size) std::memcpy(&out[at + 8], data, size);
    if (padded != size) out[at + 8 + size] = 0;
    mIndex.push_back({static_cast<uint32_t>(mInfo.fileSize - kMoviFourccOffset),
                      static_cast<uint32_t>(size), key});
    mInfo.fileSize += 8 + padded;
    mInfo.frames++;
    mInfo.maxChunk = std::max(mInfo.maxChunk, static_cast<uint32_t>(size));
}

bool AviWriter::AddFrame(const uint8_t* data, size_t size, bool key, uint64_t timeUs,
                         std::vector<uint8_t>& out) {
    if (!data && size) return false;
    uint64_t empties = 0;
    if (mInfo.frames > 0 && timeUs > mLastUs && timeUs - mLastUs > kGapUs) {
        const uint64_t gap = std::min(timeUs - mLastUs, kMaxGapUs);
        empties = (gap + mInfo.frameUs / 2) / mInfo.frameUs;
        if (empties) --empties;  // the frame itself fills the last interval
    }
    const uint64_t grows = empties * 8 + 8 + size + (size & 1);
    if (mInfo.fileSize + grows + 16 * (mIndex.size() + empties + 1) + 8 > kAviMaxFileSize) {
        return false;
    }
    for (uint64_t i = 0; i < empties; ++i) AppendChunk(nullptr, 0, false, out);
    AppendChunk(data, size, key, out);
    if (mInfo.frames == 1) mFirstUs = timeUs;
    mLastUs = std::max(mLastUs, timeUs);
    if (mInfo.frames >= 2 && mLastUs > mFirstUs) {
        // The mean interval over the whole recording: the file plays as long as it ran.
        const uint64_t us = (mLastUs - mFirstUs) / (mInfo.frames - 1);
        mInfo.frameUs = static_cast<uint32_t>(std::clamp<uint64_t>(us, 1000, 10000000));
    }
    return true;
}

std::vector<uint8_t> AviWriter::Header(bool complete) const {
    AviStreamInfo info = mInfo;
    info.indexed = complete;
    return BuildAviHeader(info, complete ? 8 + 16 * mIndex.size() : 0);
}

std::vector<uint8_t> AviWriter::Index() const {
    return BuildAviIndex(mIndex);
}

int LockRecording(const std::string& path) {
    const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) return -1;
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const bool busy = errno == EWOULDBLOCK;
        close(fd);
        return busy ? kRecordingBusy : -1;
    }
    return fd;
}

void UnlockRecording(int fd) {
    if (fd < 0) return;
    flock(fd, LOCK_UN);
    close(fd);
}

AviCompletionReport CompleteRecording(const std::string& path) {
    AviCompletionReport report;
    const int fd = open(path.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0) return report;
    struct Closer {
        int fd;
        ~Closer() { close(fd); }
    } closer{fd};
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        report.result = errno == EWOULDBLOCK ? AviCompletion::InUse : AviCompletion::Failed;
        return report;
    }
    struct stat st {};
    if (fstat(fd, &st) != 0) return report;
    const auto fileSize = static_cast<uint64_t>(st.st_size);
    std::vector<uint8_t> header(kAviHeaderSize);
    AviStreamInfo info;
    if (fileSize < kAviHeaderSize || !ReadAt(fd, header.data(), header.size(), 0) ||
        !ParseAviHeader(header.data(), header.size(), &info)) {
        report.result = AviCompletion::NotOurs;
        return report;
    }
    if (info.indexed && uint64_t{Get32(header.data() + 4)} + 8 == fileSize) {
        report.result = AviCompletion::Complete;
        report.frames = info.frames;
        return report;
    }

    // Every whole chunk from the start of 'movi' on; the first that is torn or not a
    // chunk ends the data.
    std::vector<AviIndexEntry> entries;
    AviStreamInfo kept = info;
    kept.frames = 0;
    kept.maxChunk = 0;
    uint64_t offset = kFirstChunkOffset;
    uint8_t probe[kKeyProbeBytes];
    while (offset + 8 <= fileSize) {
        uint8_t chunk[8];
        if (!ReadAt(fd, chunk, 8, offset)) break;
        if (!IsPrintableTag(chunk) || IsTag(chunk, "idx1")) break;
        const uint32_t size = Get32(chunk + 4);
        const uint64_t next = offset + 8 + size + (size & 1);
        if (next > fileSize || next - kMoviFourccOffset > kAviMaxFileSize) break;
        if (IsVideoChunk(chunk)) {
            const size_t n = std::min<size_t>(size, sizeof probe);
            bool key = false;
            if (n && ReadAt(fd, probe, n, offset + 8)) key = IsKeyAccessUnit(probe, n, info.codec);
            entries.push_back({static_cast<uint32_t>(offset - kMoviFourccOffset), size, key});
            kept.frames++;
            kept.maxChunk = std::max(kept.maxChunk, size);
        }
        offset = next;
    }
    kept.fileSize = offset;
    kept.indexed = true;
    const std::vector<uint8_t> index = BuildAviIndex(entries);
    if (ftruncate(fd, static_cast<off_t>(offset)) != 0 || !WriteAt(fd, index, offset) ||
        !WriteAt(fd, BuildAviHeader(kept, index.size()), 0) || fdatasync(fd) != 0) {
        return report;
    }
    report.result = AviCompletion::Completed;
    report.frames = kept.frames;
    report.bytesDropped = fileSize - offset;
    return report;
}

std::vector<std::pair<std::string, AviCompletionReport>> CompleteRecordingsIn(
    const std::string& folder) {
    std::vector<std::pair<std::string, AviCompletionReport>> completed;
    DIR* dir = opendir(folder.empty() ? "." : folder.c_str());
    if (!dir) return completed;
    std::vector<std::string> names;
    while (dirent* entry = readdir(dir)) {
        if (IsRecordingName(entry->d_name)) names.emplace_back(entry->d_name);
    }
    closedir(dir);
    std::sort(names.begin(), names.end());
    for (const std::string& name : names) {
        const std::string path = folder + "/" + name;
        AviCompletionReport report = CompleteRecording(path);
        if (report.result == AviCompletion::Completed) completed.emplace_back(path, report);
    }
    return completed;
}

}  // namespace zevo
