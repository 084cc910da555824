#pragma once
// Looks into Annex B access units (H.264, H.265) for the NAL units at which a decoder
// may start. Shared by the device, which marks its key frames, and the recorder, which
// starts and indexes its files at them.
#include <cstddef>
#include <cstdint>

namespace zevo {

enum class VideoCodec { H264, H265 };

// True when the access unit holds an IDR slice (H.264 type 5) or, for H.265, an IRAP
// picture (types 16 to 21). Start codes of three or four bytes are both recognised.
bool IsKeyAccessUnit(const uint8_t* data, size_t size, VideoCodec codec);

}  // namespace zevo
