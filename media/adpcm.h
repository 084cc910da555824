#pragma once
// 4-bit IMA ADPCM as the devices send it: two codes per byte, high nibble first, no
// block header. The decoder's state is process-wide and runs on from call to call, so
// consecutive blocks and packets form one continuous stream.
#include <cstdint>

struct AdpcmState {
    int32_t predictor;  // last output sample, within -32768..32767
    int32_t stepIndex;  // index into the step table, within 0..88
};

// Decodes byteCount * 2 samples into `output` with the process-wide state. Nothing
// happens for a count of 0 or less. One decoding thread at a time.
void DecodeImaAdpcm(const unsigned char* input, int byteCount, short* output);

// The same on an explicit state (the process-wide one is ProcessAdpcmState()).
void DecodeImaAdpcm(const unsigned char* input, int byteCount, short* output, AdpcmState& state);

// The process-wide decoder state of the single-stream call above. The player does not
// use it: each player window decodes its stream with a state of its own.
AdpcmState& ProcessAdpcmState();

// Encodes `sampleCount` samples into (sampleCount + 1) / 2 bytes that the decoder above
// turns back into the closest signal its arithmetic allows: each code is the one whose
// decoded value is nearest the input, and `state` advances exactly as the decoder's
// will. An odd count repeats the last sample in the final low nibble so both sides stay
// in step. Returns the bytes written (0 for a count of 0 or less).
int EncodeImaAdpcm(const short* samples, int sampleCount, unsigned char* output, AdpcmState& state);
