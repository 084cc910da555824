#pragma once
// The recording's multiplexer: a GStreamer element that takes H.264 or H.265 access
// units (byte-stream) and gives the byte stream of an AVI file (capture/avi_file.h) for
// a file writer that follows byte-position segments (filesink).
//
// It starts the file at the first key frame, reads the picture size from that frame's
// sequence parameter set, and rewrites the header every kHeaderRefreshUs so that a file
// cut off by a crash still says how long it is. End of stream completes the file.
#include <cstddef>
#include <cstdint>

#include "media/nal.h"

namespace zevo {

// Element factory name; RegisterAviMuxFilter makes it known to GStreamer (once).
inline constexpr const char* kAviMuxFilter = "zevoavimux";
inline constexpr uint64_t kHeaderRefreshUs = 250000;

bool RegisterAviMuxFilter();

// Width and height of the pictures of an access unit that carries a sequence parameter
// set (cropping applied). False when it carries none that parses.
bool ReadPictureSize(const uint8_t* data, size_t size, VideoCodec codec, uint32_t* width,
                     uint32_t* height);

}  // namespace zevo
