#pragma once
// Looks into Annex B access units for the NAL units at which a decoder may start.
#include <cstddef>
#include <cstdint>

#include "device/config.h"

namespace zevo::camd {

// True when the access unit holds an IDR slice (H.264 type 5) or, for H.265, an IRAP
// picture (types 16 to 21). Start codes of three or four bytes are both recognised.
bool IsKeyAccessUnit(const uint8_t* data, size_t size, VideoCodec codec);

}  // namespace zevo::camd
