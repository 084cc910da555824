#pragma once
// Checks that received video really decodes, with the same GStreamer elements the viewer
// uses.
#include <cstdint>
#include <vector>

namespace zevo::camd::testing {

// Decodes access units with GStreamer (appsrc ! parser ! libav decoder ! appsink), in
// order. Returns the number of decoded frames, or -1 when the pipeline failed.
int DecodeAccessUnits(const std::vector<std::vector<uint8_t>>& units, bool h265);

}  // namespace zevo::camd::testing
