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
// Version 2 also carries the Ed25519 public key of the service that vouches for devices.
constexpr size_t kInitStringLettersV2 = 154;
constexpr size_t kInitStringKeySize = 32;

// The string the viewer control passes: version 1, one endpoint, 127.0.0.1:32100.
inline constexpr char kP2pInitString[kInitStringLetters + 1] =
    "ABABHPAAAAABHNGEAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAANHGO";

// CRC-16/CCITT-FALSE (poly 0x1021, init 0xFFFF).
uint16_t Crc16(const uint8_t* data, size_t length);

// Returns the 90-letter string for 1..6 endpoints, or the 154-letter version 2 when a
// service key is given; "" when the list does not fit.
std::string EncodeInitString(const std::vector<Endpoint>& endpoints,
                             const uint8_t* serviceKey = nullptr);

// Parses exactly 90 letters of version 1 or 154 of version 2 (a NUL or end of input
// after them); false when a letter is out of range, the version or count is wrong,
// padding is not zero or the check fails. serviceKey, when given, receives version 2's
// key (*hasKey says whether there was one).
bool DecodeInitString(const char* text, size_t length, std::vector<Endpoint>* out,
                      uint8_t* serviceKey = nullptr, bool* hasKey = nullptr);

}  // namespace zevo::p2p
