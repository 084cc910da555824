#pragma once
// Nearest-sample resizing of one 8-bit plane, the way a painter resizes unless told to
// smooth: each output sample is the source sample whose centre is nearest to its own.
// The column pattern is worked out once per size; rows are then picked with byte
// shuffles where the CPU has them, eight samples at a time.
#include <cstdint>
#include <vector>

namespace zevo {

// For each of `out` samples, the one of `in` whose centre is nearest to its own.
std::vector<int> NearestIndex(int in, int out);

class NearestPick {
public:
    // For `out` samples taken from `in`.
    NearestPick(int in = 0, int out = 0);

    int Out() const { return static_cast<int>(mIndex.size()); }
    // The source sample each output sample comes from.
    const std::vector<int>& Index() const { return mIndex; }

    // Writes `count` rows of Out() samples: row y from source row rows[y].
    void PickRows(const uint8_t* source, int sourceStride, const int* rows, int count,
                  uint8_t* target, int targetStride) const;
    // Interleaved pairs (NV12 chroma) picked apart into two planes.
    void PickPairs(const uint8_t* source, int sourceStride, const int* rows, int count,
                   uint8_t* first, uint8_t* second, int targetStride) const;

private:
    std::vector<int> mIndex;
    // Byte shuffles, when every group of eight output samples falls within a window of
    // 16 or 32 source bytes that lies inside the row (0 when they are not used): where
    // each group's window starts, and the shuffle that picks the group out of it.
    int mWindow = 0;
    std::vector<int> mGroupStart;
    std::vector<uint8_t> mShuffle;
};

}  // namespace zevo
