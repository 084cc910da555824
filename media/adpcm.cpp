#include "media/adpcm.h"

namespace {

constexpr int32_t kStepTable[89] = {
    7,     8,     9,     10,    11,    12,    13,    14,    16,    17,    19,   21,    23,
    25,    28,    31,    34,    37,    41,    45,    50,    55,    60,    66,   73,    80,
    88,    97,    107,   118,   130,   143,   157,   173,   190,   209,   230,  253,   279,
    307,   337,   371,   408,   449,   494,   544,   598,   658,   724,   796,  876,   963,
    1060,  1166,  1282,  1411,  1552,  1707,  1878,  2066,  2272,  2499,  2749, 3024,  3327,
    3660,  4026,  4428,  4871,  5358,  5894,  6484,  7132,  7845,  8630,  9493, 10442, 11487,
    12635, 13899, 15289, 16818, 18500, 20350, 22385, 24623, 27086, 29794, 32767};

constexpr int32_t kIndexTable[8] = {-1, -1, -1, -1, 2, 4, 6, 8};

int32_t Clamp(int32_t value, int32_t low, int32_t high) {
    return value < low ? low : (value > high ? high : value);
}

// The predictor a code yields from the given state. Divisions truncate, as the
// devices' decoder does; this is not the reference shift-and-add rounding.
inline int32_t PredictedSample(int32_t predictor, int32_t step, unsigned code) {
    int32_t diff = (step * static_cast<int32_t>(code & 7)) / 4 + step / 8;
    if (code & 8) diff = -diff;
    return Clamp(predictor + diff, -32768, 32767);
}

inline void Advance(int32_t& predictor, int32_t& stepIndex, unsigned code) {
    predictor = PredictedSample(predictor, kStepTable[stepIndex], code);
    stepIndex = Clamp(stepIndex + kIndexTable[code & 7], 0, 88);
}

// The code whose decoded value lies nearest the target (the lowest such code on a tie).
inline unsigned NearestCode(int32_t predictor, int32_t stepIndex, int32_t target) {
    const int32_t step = kStepTable[stepIndex];
    unsigned best = 0;
    int32_t bestError = INT32_MAX;
    for (unsigned code = 0; code < 16; ++code) {
        int32_t error = PredictedSample(predictor, step, code) - target;
        if (error < 0) error = -error;
        if (error < bestError) {
            bestError = error;
            best = code;
        }
    }
    return best;
}

}  // namespace

AdpcmState& ProcessAdpcmState() {
    static AdpcmState state{0, 0};
    return state;
}

void DecodeImaAdpcm(const unsigned char* input, int byteCount, short* output, AdpcmState& state) {
    if (byteCount <= 0 || input == nullptr || output == nullptr) return;
    // Work on locals; a state set from outside is brought back into range first.
    int32_t predictor = Clamp(state.predictor, -32768, 32767);
    int32_t stepIndex = Clamp(state.stepIndex, 0, 88);
    for (int i = 0; i < byteCount; ++i) {
        const unsigned byte = input[i];
        Advance(predictor, stepIndex, byte >> 4);
        output[2 * i] = static_cast<short>(predictor);
        Advance(predictor, stepIndex, byte & 0x0F);
        output[2 * i + 1] = static_cast<short>(predictor);
    }
    state.predictor = predictor;
    state.stepIndex = stepIndex;
}

void DecodeImaAdpcm(const unsigned char* input, int byteCount, short* output) {
    DecodeImaAdpcm(input, byteCount, output, ProcessAdpcmState());
}

int EncodeImaAdpcm(const short* samples, int sampleCount, unsigned char* output,
                   AdpcmState& state) {
    if (sampleCount <= 0 || samples == nullptr || output == nullptr) return 0;
    int32_t predictor = Clamp(state.predictor, -32768, 32767);
    int32_t stepIndex = Clamp(state.stepIndex, 0, 88);
    const int bytes = (sampleCount + 1) / 2;
    for (int i = 0; i < bytes; ++i) {
        const int32_t first = samples[2 * i];
        const int32_t second = (2 * i + 1 < sampleCount) ? samples[2 * i + 1] : first;
        const unsigned high = NearestCode(predictor, stepIndex, first);
        Advance(predictor, stepIndex, high);
        const unsigned low = NearestCode(predictor, stepIndex, second);
        Advance(predictor, stepIndex, low);
        output[i] = static_cast<unsigned char>((high << 4) | low);
    }
    state.predictor = predictor;
    state.stepIndex = stepIndex;
    return bytes;
}
