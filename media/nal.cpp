#include "media/nal.h"

namespace zevo {

bool IsKeyAccessUnit(const uint8_t* data, size_t size, VideoCodec codec) {
    if (data == nullptr) return false;
    // A start code is 00 00 01; the NAL header follows it.
    for (size_t i = 0; i + 3 < size; ++i) {
        if (data[i] != 0 || data[i + 1] != 0 || data[i + 2] != 1) continue;
        uint8_t header = data[i + 3];
        if (codec == VideoCodec::H264) {
            if ((header & 0x1F) == 5) return true;
        } else {
            int type = (header >> 1) & 0x3F;
            if (type >= 16 && type <= 21) return true;
        }
        i += 2;
    }
    return false;
}

}  // namespace zevo
