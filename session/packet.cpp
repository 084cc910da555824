#include "session/packet.h"

#include <algorithm>
#include <cstring>

#include "session/aes.h"

namespace zevo {

namespace {

std::vector<unsigned char> AssemblePacket(const PacketHead& head, const unsigned char* payload,
                                          size_t length, int packetClass) {
    std::vector<unsigned char> packet(kPacketPrefixSize + kPacketHeadSize + length);
    PacketPrefix{uint32_t(length + kPacketHeadSize), uint8_t(packetClass)}.Write(packet.data());
    head.Write(packet.data() + kPacketPrefixSize);
    if (payload && length > 0) {
        std::memcpy(packet.data() + kPacketPrefixSize + kPacketHeadSize, payload, length);
    }
    return packet;
}

}  // namespace

std::vector<unsigned char> BuildPacket(uint16_t code, const unsigned char* payload, size_t length,
                                       int packetClass) {
    if (length > kMaxCommandPayload) return {};
    PacketHead head;
    head.SetCode(code);
    head.SetCommandLength(uint16_t(length));
    return AssemblePacket(head, payload, length, packetClass);
}

std::vector<unsigned char> BuildMediaPacket(PacketHead head, const unsigned char* payload,
                                            size_t length, int packetClass) {
    if (length > kMaxPacketPayload) return {};
    head.SetPayloadLength(uint32_t(length));
    return AssemblePacket(head, payload, length, packetClass);
}

void XorBytes(unsigned char* data, size_t length, uint8_t key) {
    // Whole 32-byte strides as words (the compiler turns these into vector operations),
    // then the tail byte by byte.
    const uint64_t pattern = 0x0101010101010101ULL * key;
    size_t i = 0;
    for (; i + 32 <= length; i += 32) {
        uint64_t w[4];
        std::memcpy(w, data + i, sizeof w);
        w[0] ^= pattern;
        w[1] ^= pattern;
        w[2] ^= pattern;
        w[3] ^= pattern;
        std::memcpy(data + i, w, sizeof w);
    }
    for (; i < length; ++i) data[i] ^= key;
}

PacketProtection::PacketProtection(uint8_t xorKeyStart) : mSessionKey{0, 0}, mXorKey(xorKeyStart) {}

void PacketProtection::SetSessionKey(const unsigned char* key) {
    uint64_t words[2];
    std::memcpy(words, key, sizeof words);
    mSessionKey[0].store(words[0], std::memory_order_release);
    mSessionKey[1].store(words[1], std::memory_order_release);
}

void PacketProtection::ClearSessionKey() {
    mSessionKey[0].store(0, std::memory_order_release);
    mSessionKey[1].store(0, std::memory_order_release);
}

void PacketProtection::CopySessionKey(unsigned char* key) const {
    const uint64_t words[2] = {mSessionKey[0].load(std::memory_order_acquire),
                               mSessionKey[1].load(std::memory_order_acquire)};
    std::memcpy(key, words, sizeof words);
}

void PacketProtection::ProtectPacket(unsigned char* packet, int size) {
    const int minimum = int(kPacketPrefixSize + kPacketHeadSize);
    if (!packet || size < minimum) return;
    const int packetClass = packet[3];
    unsigned char* head = packet + kPacketPrefixSize;
    unsigned char* payload = head + kPacketHeadSize;

    // Commands carry a 16-bit length; media packets (sent by the device) a 32-bit one.
    size_t length = 0;
    if (packetClass == PACKET_CLASS_COMMAND) {
        length = wire::Get16(head + 2);
    } else if (packetClass == PACKET_CLASS_VIDEO || packetClass == PACKET_CLASS_AUDIO) {
        length = wire::Get32(head + 8);
    }
    // Never past the packet, whatever the head claims.
    length = std::min(length, size_t(size - minimum));
    if (length > 0) {
        // The next key byte is this packet's first protected payload byte.
        uint8_t k = mXorKey.load(std::memory_order_relaxed);
        while (
            !mXorKey.compare_exchange_weak(k, uint8_t(k ^ payload[0]), std::memory_order_relaxed)) {
        }
        head[4] = k;
        XorBytes(payload, length, k);
    }

    unsigned char key[16];
    CopySessionKey(key);
    unsigned char encrypted[16];
    if (AesEncryptBlock(128, head, 16, key, 16, encrypted) > 0) {
        std::memcpy(head, encrypted, sizeof encrypted);
    }
}

int PacketProtection::UnprotectPacket(int packetClass, unsigned char* body, int bodyLength) const {
    if (packetClass < PACKET_CLASS_VIDEO || packetClass > PACKET_CLASS_COMMAND) return -1;
    if (!body || bodyLength < int(kPacketHeadSize)) return -2;

    unsigned char key[16];
    CopySessionKey(key);
    if (AesDecryptBlock(128, body, 16, key, 16, body) <= 0) return -2;

    const uint64_t length =
        packetClass == PACKET_CLASS_COMMAND ? wire::Get16(body + 2) : wire::Get32(body + 8);
    if (length + kPacketHeadSize != uint64_t(bodyLength)) return -2;
    XorBytes(body + kPacketHeadSize, size_t(length), body[4]);
    return 0;
}

}  // namespace zevo
