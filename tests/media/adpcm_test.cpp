#include "media/adpcm.h"

#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <string>
#include <vector>

namespace {

class Adpcm : public ::testing::Test {
protected:
    void SetUp() override { ProcessAdpcmState() = AdpcmState{0, 0}; }
    void TearDown() override { ProcessAdpcmState() = AdpcmState{0, 0}; }

    std::vector<short> Decode(const std::vector<unsigned char>& bytes) {
        std::vector<short> samples(bytes.size() * 2);
        DecodeImaAdpcm(bytes.data(), static_cast<int>(bytes.size()), samples.data());
        return samples;
    }
};

double SnrDb(const std::vector<short>& signal, const std::vector<short>& decoded) {
    double power = 0, noise = 0;
    for (size_t i = 0; i < signal.size(); ++i) {
        double error = double(signal[i]) - double(decoded[i]);
        power += double(signal[i]) * double(signal[i]);
        noise += error * error;
    }
    return 10.0 * std::log10(power / noise);
}

std::vector<short> Sine(double hz, double amplitude, int rate, int count) {
    std::vector<short> samples(count);
    for (int i = 0; i < count; ++i) {
        samples[i] = static_cast<short>(
            std::lround(amplitude * std::sin(2 * std::numbers::pi * hz * i / rate)));
    }
    return samples;
}

}  // namespace

TEST_F(Adpcm, ByteSevenFifteenFromZeroStateGivesTwelveThenMinusEighteen) {
    std::vector<short> samples = Decode({0x7F});
    EXPECT_EQ(samples[0], 12);
    EXPECT_EQ(samples[1], -18);
    EXPECT_EQ(ProcessAdpcmState().predictor, -18);
    EXPECT_EQ(ProcessAdpcmState().stepIndex, 16);
}

TEST_F(Adpcm, TruncatingDivisionsNotReferenceRounding) {
    // Step 7, magnitude 3: 7*3/4 + 7/8 = 5 (the shift-and-add form gives 4).
    EXPECT_EQ(Decode({0x30})[0], 5);
}

TEST_F(Adpcm, RunsOfExtremeCodesClampPredictorAndStepIndex) {
    std::vector<short> up = Decode(std::vector<unsigned char>(200, 0x77));
    EXPECT_EQ(up.back(), 32767);
    EXPECT_EQ(ProcessAdpcmState().stepIndex, 88);
    for (size_t i = 1; i < up.size(); ++i) ASSERT_GE(up[i], up[i - 1]);  // no wrap-around

    std::vector<short> down = Decode(std::vector<unsigned char>(200, 0xFF));
    EXPECT_EQ(down.back(), -32768);
    EXPECT_EQ(ProcessAdpcmState().stepIndex, 88);

    std::vector<short> still = Decode(std::vector<unsigned char>(100, 0x00));
    EXPECT_EQ(ProcessAdpcmState().stepIndex, 0);
    // At index 0 a code 0 adds 7/8 = 0: the predictor holds.
    EXPECT_EQ(still[still.size() - 1], still[still.size() - 2]);
}

TEST_F(Adpcm, StateCarriesOverCallsAndEmptyCountsDoNothing) {
    std::vector<unsigned char> bytes(320);
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<unsigned char>(i * 37 + 11);
    std::vector<short> whole = Decode(bytes);
    AdpcmState after = ProcessAdpcmState();

    ProcessAdpcmState() = AdpcmState{0, 0};
    std::vector<short> pieces(whole.size(), 0x5555);
    DecodeImaAdpcm(bytes.data(), 160, pieces.data());
    DecodeImaAdpcm(bytes.data() + 160, 0, pieces.data() + 320);
    DecodeImaAdpcm(bytes.data() + 160, -4, pieces.data() + 320);
    EXPECT_EQ(pieces[320], 0x5555);  // nothing written for 0 or less
    DecodeImaAdpcm(bytes.data() + 160, 160, pieces.data() + 320);
    EXPECT_EQ(pieces, whole);
    EXPECT_EQ(ProcessAdpcmState().predictor, after.predictor);
    EXPECT_EQ(ProcessAdpcmState().stepIndex, after.stepIndex);
}

TEST_F(Adpcm, EncodedSineDecodesBackCloseToTheSignal) {
    const std::vector<short> signal = Sine(440, 12000, 8000, 8000);
    std::vector<unsigned char> encoded(signal.size() / 2);
    AdpcmState encoder{0, 0};
    // Encoded 320 samples (one 160-byte block) at a time, as the device sends it.
    for (size_t at = 0; at < signal.size(); at += 320) {
        ASSERT_EQ(EncodeImaAdpcm(signal.data() + at, 320, encoded.data() + at / 2, encoder), 160);
    }
    std::vector<short> decoded(signal.size());
    for (size_t at = 0; at < encoded.size(); at += 160) {
        DecodeImaAdpcm(encoded.data() + at, 160, decoded.data() + at * 2);
    }
    EXPECT_EQ(encoder.predictor, ProcessAdpcmState().predictor);
    EXPECT_EQ(encoder.stepIndex, ProcessAdpcmState().stepIndex);

    // The first few milliseconds are the step size catching up from index 0.
    std::vector<short> settledSignal(signal.begin() + 80, signal.end());
    std::vector<short> settledDecoded(decoded.begin() + 80, decoded.end());
    const double snr = SnrDb(settledSignal, settledDecoded);
    const double snrWhole = SnrDb(signal, decoded);
    RecordProperty("snr_db", std::to_string(snr));
    RecordProperty("snr_db_from_start", std::to_string(snrWhole));
    EXPECT_GT(snr, 27.0);
    EXPECT_GT(snrWhole, 24.0);  // including the start
}

TEST_F(Adpcm, EncoderStaysInStepThroughClampsAndOddCounts) {
    // Full-scale square wave: the decoder clamps at both rails.
    std::vector<short> signal(1001);
    for (size_t i = 0; i < signal.size(); ++i) signal[i] = (i / 30) % 2 ? -32768 : 32767;
    std::vector<unsigned char> encoded((signal.size() + 1) / 2);
    AdpcmState encoder{0, 0};
    ASSERT_EQ(
        EncodeImaAdpcm(signal.data(), static_cast<int>(signal.size()), encoded.data(), encoder),
        501);
    std::vector<short> decoded = Decode(encoded);
    EXPECT_EQ(encoder.predictor, ProcessAdpcmState().predictor);
    EXPECT_EQ(encoder.stepIndex, ProcessAdpcmState().stepIndex);
    // The padding nibble repeats the last sample, which sits on the lower rail.
    EXPECT_EQ(decoded[1000], -32768);
    EXPECT_EQ(decoded[1001], -32768);
    // Once the step has grown, the rails are reached exactly.
    EXPECT_EQ(decoded[29], 32767);
    EXPECT_EQ(decoded[59], -32768);
    EXPECT_EQ(EncodeImaAdpcm(signal.data(), 0, encoded.data(), encoder), 0);
}
