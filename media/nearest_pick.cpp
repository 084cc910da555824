#include "media/nearest_pick.h"

#include <cstddef>
#include <utility>

#if defined(__x86_64__)
#include <immintrin.h>
#define ZEVO_NEAREST_SHUFFLE 1
#endif

namespace zevo {

namespace {

constexpr int kGroup = 8;  // output samples per shuffle

#ifdef ZEVO_NEAREST_SHUFFLE
bool HasShuffle() {
    static const bool has = __builtin_cpu_supports("ssse3");
    return has;
}

// Window is 16 or 32 source bytes: a group shrunk by up to about two fits in one
// 16-byte load, by up to about four in two, each shuffled and the two put together.
template <int Window>
__attribute__((target("ssse3"))) void PickRowsShuffled(const uint8_t* source, int sourceStride,
                                                       const int* rows, int count,
                                                       const std::vector<int>& index,
                                                       const std::vector<int>& groupStart,
                                                       const std::vector<uint8_t>& shuffle,
                                                       uint8_t* target, int targetStride) {
    const size_t groups = groupStart.size();
    const size_t width = index.size();
    const int* __restrict starts = groupStart.data();
    const uint8_t* __restrict masks = shuffle.data();
    for (int y = 0; y < count; ++y) {
        const uint8_t* __restrict row = source + static_cast<ptrdiff_t>(rows[y]) * sourceStride;
        uint8_t* __restrict out = target + static_cast<ptrdiff_t>(y) * targetStride;
        for (size_t g = 0; g < groups; ++g) {
            const uint8_t* from = row + starts[g];
            const uint8_t* mask = masks + g * Window;
            __m128i picked =
                _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(from)),
                                 _mm_loadu_si128(reinterpret_cast<const __m128i*>(mask)));
            if constexpr (Window == 32) {
                picked = _mm_or_si128(
                    picked,
                    _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(from + 16)),
                                     _mm_loadu_si128(reinterpret_cast<const __m128i*>(mask + 16))));
            }
            _mm_storel_epi64(reinterpret_cast<__m128i*>(out + g * kGroup), picked);
        }
        for (size_t x = groups * kGroup; x < width; ++x) out[x] = row[index[x]];
    }
}
#endif

}  // namespace

std::vector<int> NearestIndex(int in, int out) {
    std::vector<int> index(static_cast<size_t>(out > 0 && in > 0 ? out : 0));
    for (size_t i = 0; i < index.size(); ++i) {
        const int64_t at = (static_cast<int64_t>(2 * i + 1) * in) / (2 * static_cast<int64_t>(out));
        index[i] = static_cast<int>(at < in ? at : in - 1);
    }
    return index;
}

NearestPick::NearestPick(int in, int out) : mIndex(NearestIndex(in, out)) {
    if (mIndex.empty()) return;
#ifdef ZEVO_NEAREST_SHUFFLE
    if (!HasShuffle()) return;
    const int groups = out / kGroup;
    int reach = 0;  // the widest group's source span
    for (int g = 0; g < groups; ++g) {
        const int span = mIndex[static_cast<size_t>(g * kGroup + kGroup - 1)] -
                         mIndex[static_cast<size_t>(g * kGroup)] + 1;
        reach = span > reach ? span : reach;
    }
    const int window = reach <= 16 ? 16 : 32;
    if (groups == 0 || reach > window || in < window) return;  // shrinking by over four
    std::vector<int> starts(static_cast<size_t>(groups));
    // 0x80 in a shuffle gives zero, so each half of a 32-byte window fills only its own
    // samples and the two are put together with an or.
    std::vector<uint8_t> masks(static_cast<size_t>(groups * window), 0x80);
    for (int g = 0; g < groups; ++g) {
        const int first = mIndex[static_cast<size_t>(g * kGroup)];
        // Never read past the row's last sample.
        const int start = first < in - window ? first : in - window;
        starts[static_cast<size_t>(g)] = start;
        for (int k = 0; k < kGroup; ++k) {
            const int at = mIndex[static_cast<size_t>(g * kGroup + k)] - start;
            masks[static_cast<size_t>(g * window + (at / 16) * 16 + k)] =
                static_cast<uint8_t>(at % 16);
        }
    }
    mWindow = window;
    mGroupStart = std::move(starts);
    mShuffle = std::move(masks);
#endif
}

void NearestPick::PickRows(const uint8_t* source, int sourceStride, const int* rows, int count,
                           uint8_t* target, int targetStride) const {
#ifdef ZEVO_NEAREST_SHUFFLE
    if (mWindow == 16) {
        PickRowsShuffled<16>(source, sourceStride, rows, count, mIndex, mGroupStart, mShuffle, target,
                             targetStride);
        return;
    }
    if (mWindow == 32) {
        PickRowsShuffled<32>(source, sourceStride, rows, count, mIndex, mGroupStart, mShuffle, target,
                             targetStride);
        return;
    }
#endif
    // Raw pointers, restricted: byte stores could otherwise alias the index table and
    // every sample would reload it.
    const int* __restrict xs = mIndex.data();
    const size_t width = mIndex.size();
    for (int y = 0; y < count; ++y) {
        const uint8_t* __restrict row = source + static_cast<ptrdiff_t>(rows[y]) * sourceStride;
        uint8_t* __restrict out = target + static_cast<ptrdiff_t>(y) * targetStride;
        for (size_t x = 0; x < width; ++x) out[x] = row[xs[x]];
    }
}

void NearestPick::PickPairs(const uint8_t* source, int sourceStride, const int* rows, int count,
                            uint8_t* first, uint8_t* second, int targetStride) const {
    const int* __restrict xs = mIndex.data();
    const size_t width = mIndex.size();
    for (int y = 0; y < count; ++y) {
        const uint8_t* __restrict row = source + static_cast<ptrdiff_t>(rows[y]) * sourceStride;
        uint8_t* __restrict a = first + static_cast<ptrdiff_t>(y) * targetStride;
        uint8_t* __restrict b = second + static_cast<ptrdiff_t>(y) * targetStride;
        for (size_t x = 0; x < width; ++x) {
            a[x] = row[2 * xs[x]];
            b[x] = row[2 * xs[x] + 1];
        }
    }
}

}  // namespace zevo
