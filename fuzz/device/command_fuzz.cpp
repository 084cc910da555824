// What a viewer can put on the device's command channel: any class byte and any body of
// up to the 1024 bytes the device reads, before and after the login.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "device/login.h"
#include "device/wire.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace zevo::camd;
    if (size < 1) return 0;
    const int packetClass = data[0];
    size_t bodyLength = size - 1;
    if (bodyLength > kMaxCommandBody) bodyLength = kMaxCommandBody;
    std::vector<uint8_t> body(data + 1, data + 1 + bodyLength);

    // Before the login: a LOGIN_RESPONSE payload checked against a fixed challenge.
    Block16 challenge{};
    if (bodyLength >= zevo::kPacketHeadSize) {
        size_t payload = zevo::wire::Get16(body.data() + 2);
        if (payload > bodyLength - zevo::kPacketHeadSize)
            payload = bodyLength - zevo::kPacketHeadSize;
        CheckLoginResponse(challenge, body.data() + zevo::kPacketHeadSize, payload, "password");
    }

    // After it: a protected command under a fixed session key.
    Block16 key{};
    for (size_t i = 0; i < key.size(); ++i) key[i] = uint8_t(i * 17);
    Command command;
    ParseCommandBody(packetClass, body.data(), body.size(), key, command);

    // The same bytes as a plain command that a viewer protected properly, so the fields
    // behind a successful unprotection are reached too.
    if (bodyLength >= zevo::kPacketHeadSize) {
        std::vector<uint8_t> packet(zevo::kPacketPrefixSize + bodyLength);
        zevo::PacketPrefix{uint32_t(bodyLength), uint8_t(zevo::PACKET_CLASS_COMMAND)}.Write(
            packet.data());
        std::memcpy(packet.data() + zevo::kPacketPrefixSize, data + 1, bodyLength);
        ChannelProtector protector(key, data[0]);
        protector.Protect(packet);
        ParseCommandBody(zevo::PACKET_CLASS_COMMAND, packet.data() + zevo::kPacketPrefixSize,
                         bodyLength, key, command);
    }
    return 0;
}
