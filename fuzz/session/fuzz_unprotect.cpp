// Arbitrary received bodies through the prefix reader and UnprotectPacket, for every
// class byte. Input: class byte, flags byte, then (flag 1) a 16-byte session key, then
// the body. Flag 2 treats the body's head as plain and encrypts it first, so the length
// check and the payload XOR are reached; flag 4 sends the bytes through ProtectPacket as
// a whole packet and checks that the receiver gets the payload back.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "session/aes.h"
#include "session/packet.h"

namespace {

void Check(bool ok) {
    if (!ok) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    const int packetClass = static_cast<int8_t>(data[0]);  // negative and > 4 too
    const uint8_t flags = data[1];
    data += 2;
    size -= 2;
    if (size >= 4) (void)zevo::PacketBodyLength(data);

    unsigned char key[16] = {};
    zevo::PacketProtection protection;
    if ((flags & 1) && size >= 16) {
        std::memcpy(key, data, 16);
        protection.SetSessionKey(key);
        data += 16;
        size -= 16;
    }

    // Exact-size heap copies, so any access past the body is caught.
    std::vector<unsigned char> body(data, data + size);
    if ((flags & 2) && body.size() >= 16) {
        Check(AesEncryptBlock(128, body.data(), 16, key, 16, body.data()) == 16);
    }
    const std::vector<unsigned char> original = body;
    const int result = protection.UnprotectPacket(packetClass, body.empty() ? nullptr : body.data(),
                                                  static_cast<int>(body.size()));
    Check(result == 0 || result == -1 || result == -2);
    if (result == -1) Check(body == original);
    if (result == 0) {
        const zevo::PacketHead head = zevo::PacketHead::Read(body.data());
        const uint64_t length =
            packetClass == zevo::PACKET_CLASS_COMMAND ? head.CommandLength() : head.PayloadLength();
        Check(length + zevo::kPacketHeadSize == body.size());
    }

    if (flags & 4) {
        // The same bytes as a whole outgoing packet with a consistent prefix.
        std::vector<unsigned char> packet(4 + size);
        std::memcpy(packet.data() + 4, data, size);
        zevo::PacketPrefix{static_cast<uint32_t>(size), static_cast<uint8_t>(packetClass)}.Write(
            packet.data());
        const std::vector<unsigned char> plain = packet;
        protection.ProtectPacket(packet.data(), static_cast<int>(packet.size()));
        if (size < 16) {
            Check(packet == plain);
            return 0;
        }
        std::vector<unsigned char> received(packet.begin() + 4, packet.end());
        if (protection.UnprotectPacket(packetClass, received.data(),
                                       static_cast<int>(received.size())) == 0) {
            // The head comes back with its key byte; the payload exactly as it was.
            Check(std::memcmp(received.data() + 16, plain.data() + 20, size - 16) == 0);
        }
    }
    return 0;
}
