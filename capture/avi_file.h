#pragma once
// AVI files of recordings: one video stream of the device's compressed frames as they
// came (H.264 or H.265 Annex B access units, one chunk each), no re-encoding.
//
// Layout, fixed so that a file cut off at any point can be completed later:
//
//   0     RIFF 'AVI '
//   12      LIST 'hdrl'  avih, LIST 'strl' (strh, strf = BITMAPINFOHEADER)
//   212     JUNK         pads the header to kMoviListOffset
//   2036    LIST 'movi'  '00dc' chunks from kFirstChunkOffset on, empty ones for gaps
//   ...     idx1         written when the recording is completed
//
// While a recording runs the writer rewrites the header every few hundred
// milliseconds with the sizes, frame count and rate so far and with AVIF_HASINDEX
// clear; a completed file has the index and the flag. CompleteRecording turns a file
// that was cut off (crash, power loss) into a completed one.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "media/nal.h"

namespace zevo {

inline constexpr uint32_t kAviHeaderSize = 2048;
inline constexpr uint32_t kMoviListOffset = kAviHeaderSize - 12;
inline constexpr uint32_t kMoviFourccOffset = kAviHeaderSize - 4;
inline constexpr uint32_t kFirstChunkOffset = kAviHeaderSize;
// Above this the 32-bit sizes of a plain AVI file would overflow for some readers.
inline constexpr uint64_t kAviMaxFileSize = 0x7FF00000ull;
// Frame interval assumed until two frames have been seen.
inline constexpr uint32_t kAviDefaultFrameUs = 40000;

struct AviIndexEntry {
    uint32_t offset;  // of the chunk's id, relative to the 'movi' fourcc
    uint32_t size;    // of the chunk's data
    bool key;
};

// What the header says about the stream.
struct AviStreamInfo {
    VideoCodec codec = VideoCodec::H264;
    uint32_t width = 0;
    uint32_t height = 0;
    uint32_t frameUs = kAviDefaultFrameUs;  // duration of one frame in microseconds
    uint32_t frames = 0;                    // chunks in 'movi', empty ones included
    uint32_t maxChunk = 0;                  // largest chunk data
    uint64_t fileSize = 0;                  // end of the last chunk (before idx1)
    bool indexed = false;                   // AVIF_HASINDEX
};

// Builds the bytes of a recording. It does no I/O: the caller appends what AddFrame
// gives at the end of the file and writes Header() at offset 0 whenever it likes.
class AviWriter {
public:
    explicit AviWriter(VideoCodec codec, uint32_t width, uint32_t height);

    // Appends the chunk of one access unit seen at timeUs (any monotonic microsecond
    // clock) to out. A pause of more than a second in the stream is kept in the file's
    // time line as empty chunks, so the recording plays as long as it ran. Returns
    // false (and appends nothing) when the file would grow past kAviMaxFileSize.
    bool AddFrame(const uint8_t* data, size_t size, bool key, uint64_t timeUs,
                  std::vector<uint8_t>& out);
    // The header for the data so far; complete: with AVIF_HASINDEX and the idx1 size
    // included in the RIFF size (write Index() after the last chunk first).
    std::vector<uint8_t> Header(bool complete) const;
    // The idx1 chunk of every chunk so far.
    std::vector<uint8_t> Index() const;

    uint64_t EndOffset() const { return mInfo.fileSize; }
    const AviStreamInfo& Info() const { return mInfo; }

private:
    void AppendChunk(const uint8_t* data, size_t size, bool key, std::vector<uint8_t>& out);

    AviStreamInfo mInfo;
    std::vector<AviIndexEntry> mIndex;
    uint64_t mFirstUs = 0;
    uint64_t mLastUs = 0;
};

// Header bytes for info (kAviHeaderSize of them).
std::vector<uint8_t> BuildAviHeader(const AviStreamInfo& info, uint64_t indexBytes);
// idx1 chunk bytes for entries.
std::vector<uint8_t> BuildAviIndex(const std::vector<AviIndexEntry>& entries);
// Reads a header written by AviWriter; false when header is not one.
bool ParseAviHeader(const uint8_t* header, size_t size, AviStreamInfo* info);

enum class AviCompletion {
    NotOurs,    // not a recording of this layout: left alone
    Complete,   // already completed
    InUse,      // a recording is being written to it right now
    Completed,  // was cut off and has been completed
    Failed,     // could not be read or written
};

struct AviCompletionReport {
    AviCompletion result = AviCompletion::Failed;
    uint32_t frames = 0;        // chunks kept
    uint64_t bytesDropped = 0;  // torn tail cut off
};

// Completes a recording that was cut off: keeps every whole chunk, cuts a torn tail,
// appends the index and rewrites the header (frame count, sizes, flag). Takes the same
// lock a running recording holds, so a file being written is never touched.
AviCompletionReport CompleteRecording(const std::string& path);

// Completes every cut-off recording in folder whose name is a recording's
// (YYYYMMDD_HHMMSS.avi and its numbered variants). Returns the reports of the files
// that were completed.
std::vector<std::pair<std::string, AviCompletionReport>> CompleteRecordingsIn(
    const std::string& folder);

// Locks path as a recording being written (creating the file when missing). Returns
// the descriptor holding the lock; kRecordingBusy when another recording holds it; -1
// when the file cannot be created. Release with UnlockRecording.
inline constexpr int kRecordingBusy = -2;
int LockRecording(const std::string& path);
void UnlockRecording(int fd);

}  // namespace zevo
