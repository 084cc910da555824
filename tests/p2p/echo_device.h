#pragma once
// A device for tests and benchmarks, on the real library: it registers a DID and serves
// every accepted session with three small jobs.
//   channel 0: every byte read is written back (the command exchange);
//   channel 2: 9-byte orders: 'S' + u64 count streams count pattern bytes on channel 1,
//              'I' writes this side's 84-byte SessionInfo on channel 2, 'X' closes.
#include <atomic>
#include <cstddef>
#include <cstdint>

namespace zevo::p2ptest {

// Byte at offset of the stream channel 1 carries: a position-dependent hash, so a lost,
// repeated or reordered chunk shows.
inline uint8_t PatternByte(uint64_t offset) {
    uint64_t z = (offset >> 3) + 0x9E3779B97F4A7C15ull;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    z ^= z >> 31;
    return uint8_t(z >> (8 * (offset & 7)));
}
void FillPattern(uint64_t offset, uint8_t* out, size_t length);
// Index of the first byte that differs from the pattern, or length.
size_t CheckPattern(uint64_t offset, const uint8_t* data, size_t length);

// Serves sessions on an already started device handle until stop is set or the device ends.
void ServeDevice(int32_t device, const std::atomic<bool>& stop);

}  // namespace zevo::p2ptest
