#pragma once
// The first bytes of every secure datagram. Byte 0 is 'S' (0x53): like the service's 'Z',
// it has bit 0x40 set, which an ENet datagram's first byte never has (ENet's compression
// flag, not used), and it is not 'Z', so the relay forwards it. Byte 1 is the format
// version in its high nibble and the type in its low nibble.
#include <cstddef>
#include <cstdint>

namespace zevo::p2p::secure {

constexpr uint8_t kMarker = 0x53;  // 'S'
constexpr uint8_t kFormatVersion = 1;
constexpr size_t kHeaderPrefix = 2;

enum class SecureType : uint8_t {
    kHello = 1,  // handshake, viewer -> device
    kReply = 2,  // handshake, device -> viewer
    kData = 3,   // one sealed transport datagram
};

constexpr uint8_t TypeByte(SecureType type) {
    return uint8_t(kFormatVersion << 4) | uint8_t(type);
}

// True when the datagram is a secure datagram of this version; the type is then in *type.
inline bool PeekSecure(const uint8_t* data, size_t length, SecureType* type) {
    if (data == nullptr || length < kHeaderPrefix || data[0] != kMarker) return false;
    if ((data[1] >> 4) != kFormatVersion) return false;
    uint8_t t = data[1] & 0x0F;
    if (t < 1 || t > 3) return false;
    *type = SecureType(t);
    return true;
}

// Little-endian 64-bit fields, as every secure message writes its numbers.
inline void PutU64(uint8_t* p, uint64_t v) {
    for (int i = 0; i < 8; ++i) p[i] = uint8_t(v >> (8 * i));
}
inline uint64_t GetU64(const uint8_t* p) {
    uint64_t v = 0;
    for (int i = 7; i >= 0; --i) v = (v << 8) | p[i];
    return v;
}

}  // namespace zevo::p2p::secure
