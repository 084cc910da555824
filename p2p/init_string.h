#pragma once
// The initialisation string handed to PPPP_Initialize: 90 letters 'A'..'P' (45 bytes as
// nibbles) naming the rendezvous service's endpoints, with a CRC-16 check. The layout is
// in p2p/PROTOCOL.md.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "p2p/wire.h"

namespace zevo::p2p {

constexpr size_t kInitStringLetters = 90;
constexpr size_t kInitStringMaxEndpoints = 6;

// The string the viewer control passes: version 1, one endpoint, 127.0.0.1:32100.
inline constexpr char kP2pInitString[kInitStringLetters + 1] =
    "ABABHPAAAAABHNGEAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAANHGO";

// CRC-16/CCITT-FALSE (poly 0x1021, init 0xFFFF).
uint16_t Crc16(const uint8_t* data, size_t length);

// Returns the 90-letter string for 1..6 endpoints, or "" when the list does not fit.
std::string EncodeInitString(const std::vector<Endpoint>& endpoints);

// Parses exactly 90 letters (a NUL or end of input after them); false when a letter is out
// of range, the version or count is wrong, padding is not zero or the check fails.
bool DecodeInitString(const char* text, size_t length, std::vector<Endpoint>* out);

}  // namespace zevo::p2p
