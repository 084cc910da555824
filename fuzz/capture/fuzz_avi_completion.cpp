// Completion of cut-off recordings reads whatever a crash, a full disk or a stranger
// left in the save folder: any bytes must give a file that is either left alone or
// completed consistently, never a read or write outside what the file holds.
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "capture/avi_file.h"

namespace {

// One in-memory file for every input; the completion opens it by path.
int MemoryFile() {
    static const int fd = memfd_create("avi", MFD_CLOEXEC);
    return fd;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    zevo::AviStreamInfo info;
    zevo::ParseAviHeader(data, size, &info);

    // Inputs shorter than a header get our header in front, so the scan of the chunks
    // is what the fuzzer explores.
    std::string bytes;
    if (size < zevo::kAviHeaderSize) {
        zevo::AviWriter writer(zevo::VideoCodec::H264, 64, 48);
        const auto header = writer.Header(false);
        bytes.assign(header.begin(), header.end());
    }
    bytes.append(reinterpret_cast<const char*>(data), size);
    const int fd = MemoryFile();
    if (fd < 0 || ftruncate(fd, 0) != 0 ||
        pwrite(fd, bytes.data(), bytes.size(), 0) != static_cast<ssize_t>(bytes.size())) {
        return 0;
    }
    const std::string path = "/proc/self/fd/" + std::to_string(fd);
    const zevo::AviCompletionReport report = zevo::CompleteRecording(path);
    if (report.result == zevo::AviCompletion::Completed) {
        // A completed file is complete for the next look.
        if (zevo::CompleteRecording(path).result != zevo::AviCompletion::Complete) std::abort();
    }
    return 0;
}
