// Nearest-sample resizing of a plane: every size pair gives exactly the samples whose
// centres lie nearest, whichever path (byte shuffles or one sample at a time) serves it,
// and writes nothing past its rows.
#include "media/nearest_pick.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

using namespace zevo;

namespace {

TEST(NearestPick, EverySizePairPicksTheNearestSamplesAndStaysInItsRows) {
    // Shrinking by less than two (one 16-byte window a group), by two to four (two
    // windows) and by more (one sample at a time), growing, the same size, rows narrower than a
    // shuffle's reach, and output widths that leave a part group.
    const struct {
        int in, out;
    } pairs[] = {{1280, 800},  {640, 400}, {1920, 800}, {320, 160}, {320, 150}, {320, 90},
                 {1280, 1280}, {200, 321}, {7, 5},      {15, 15},   {16, 9},    {17, 8},
                 {1920, 1023}, {960, 401}, {33, 30},    {100, 47}};
    std::mt19937 random(7);
    for (const auto& p : pairs) {
        SCOPED_TRACE(std::to_string(p.in) + " to " + std::to_string(p.out));
        const NearestPick pick(p.in, p.out);
        ASSERT_EQ(pick.Out(), p.out);
        // The definition: source centre (i + 0.5) * in / out falls in sample Index()[i].
        for (int i = 0; i < p.out; ++i) {
            const int at = pick.Index()[static_cast<size_t>(i)];
            EXPECT_LE(int64_t(at) * 2 * p.out, int64_t(2 * i + 1) * p.in) << i;
            EXPECT_GT(int64_t(at + 1) * 2 * p.out, int64_t(2 * i + 1) * p.in) << i;
        }
        // Rows exactly as wide as the source (the last row ends the allocation, so a
        // read past it shows under the address sanitizer), random bytes, rows picked out
        // of order and twice.
        const int sourceRows = 5;
        std::vector<uint8_t> source(static_cast<size_t>(p.in) * sourceRows);
        for (auto& b : source) b = static_cast<uint8_t>(random());
        const std::vector<int> rows = {4, 0, 2, 4};
        const int stride = p.out + 13;
        std::vector<uint8_t> target(static_cast<size_t>(stride) * rows.size(), 0xEE);
        pick.PickRows(source.data(), p.in, rows.data(), static_cast<int>(rows.size()), target.data(),
                      stride);
        int wrong = 0;
        int spilled = 0;
        for (size_t y = 0; y < rows.size(); ++y) {
            for (int x = 0; x < stride; ++x) {
                const uint8_t got = target[y * stride + static_cast<size_t>(x)];
                if (x >= p.out) {
                    spilled += got != 0xEE;
                } else {
                    const size_t from = static_cast<size_t>(rows[y]) * p.in +
                                        static_cast<size_t>(pick.Index()[static_cast<size_t>(x)]);
                    wrong += got != source[from];
                }
            }
        }
        EXPECT_EQ(wrong, 0);
        EXPECT_EQ(spilled, 0);

        // Interleaved pairs: sample Index()[x] of each of the two.
        std::vector<uint8_t> pairsRow(static_cast<size_t>(p.in) * 2);
        for (auto& b : pairsRow) b = static_cast<uint8_t>(random());
        std::vector<uint8_t> a(static_cast<size_t>(p.out)), b(static_cast<size_t>(p.out));
        const int firstRow = 0;
        pick.PickPairs(pairsRow.data(), p.in * 2, &firstRow, 1, a.data(), b.data(), p.out);
        for (int x = 0; x < p.out; ++x) {
            const size_t from = 2 * static_cast<size_t>(pick.Index()[static_cast<size_t>(x)]);
            ASSERT_EQ(a[static_cast<size_t>(x)], pairsRow[from]) << x;
            ASSERT_EQ(b[static_cast<size_t>(x)], pairsRow[from + 1]) << x;
        }
    }
    EXPECT_EQ(NearestPick(0, 10).Out(), 0);
    EXPECT_EQ(NearestPick(10, 0).Out(), 0);
}

}  // namespace
