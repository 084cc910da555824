#include "media/nal.h"

#include <gtest/gtest.h>

#include <vector>

using namespace zevo;

TEST(Nal, FindsH264IdrBehindParameterSets) {
    // SPS, PPS, IDR slice with four- and three-byte start codes.
    std::vector<uint8_t> idr = {0, 0, 0,    1,    0x67, 0x42, 0x00, 0x1f, 0,    0,
                                0, 1, 0x68, 0xce, 0,    0,    1,    0x65, 0x88, 0x84};
    EXPECT_TRUE(IsKeyAccessUnit(idr.data(), idr.size(), VideoCodec::H264));
    // Access unit delimiter then a non-IDR slice.
    std::vector<uint8_t> delta = {0, 0, 0, 1, 0x09, 0xf0, 0, 0, 0, 1, 0x41, 0x9a, 0x02};
    EXPECT_FALSE(IsKeyAccessUnit(delta.data(), delta.size(), VideoCodec::H264));
    // Only parameter sets: nothing to start decoding at.
    std::vector<uint8_t> params = {0, 0, 0, 1, 0x67, 0x42, 0, 0, 1, 0x68, 0xce};
    EXPECT_FALSE(IsKeyAccessUnit(params.data(), params.size(), VideoCodec::H264));
}

TEST(Nal, IgnoresIdrLookalikesOutsideNalHeaders) {
    // 0x65 bytes in slice data, but no start code before them.
    std::vector<uint8_t> au = {0, 0, 1, 0x41, 0x65, 0x65, 0x00, 0x01, 0x65};
    EXPECT_FALSE(IsKeyAccessUnit(au.data(), au.size(), VideoCodec::H264));
    // A start code at the very end has no header byte to read.
    std::vector<uint8_t> tail = {0, 0, 1, 0x41, 0x00, 0x00, 0x01};
    EXPECT_FALSE(IsKeyAccessUnit(tail.data(), tail.size(), VideoCodec::H264));
    EXPECT_FALSE(IsKeyAccessUnit(nullptr, 10, VideoCodec::H264));
    EXPECT_FALSE(IsKeyAccessUnit(au.data(), 0, VideoCodec::H264));
}

TEST(Nal, H265IrapTypesAreKeys) {
    auto au = [](int type) {
        return std::vector<uint8_t>{0, 0, 0, 1, uint8_t(type << 1), 0x01, 0xaf};
    };
    for (int type : {16, 19, 20, 21}) {
        auto a = au(type);
        EXPECT_TRUE(IsKeyAccessUnit(a.data(), a.size(), VideoCodec::H265)) << type;
    }
    for (int type : {0, 1, 9, 32, 33, 34, 39}) {
        auto a = au(type);
        EXPECT_FALSE(IsKeyAccessUnit(a.data(), a.size(), VideoCodec::H265)) << type;
    }
    // The H.264 reading of an H.265 IDR_W_RADL header byte (0x26) is type 6, not a key.
    auto idr = au(19);
    EXPECT_FALSE(IsKeyAccessUnit(idr.data(), idr.size(), VideoCodec::H264));
}
