#include "device/wire.h"

#include <cstring>

#include "session/aes.h"

namespace zevo::camd {

const char* CommandName(uint16_t code) {
    switch (code) {
        case CMD_START_STREAM:
            return "CMD_START_STREAM";
        case CMD_STOP_STREAM:
            return "CMD_STOP_STREAM";
        case CMD_STOP_SESSION:
            return "CMD_STOP_SESSION";
        case CMD_SET_EMAIL_ALERT:
            return "CMD_SET_EMAIL_ALERT";
        case CMD_GET_EMAIL_ALERT:
            return "CMD_GET_EMAIL_ALERT";
        case NOTICE_EMAIL_ALERT:
            return "NOTICE_EMAIL_ALERT";
        default:
            return "unknown";
    }
}

void ChannelProtector::Protect(std::vector<uint8_t>& packet) {
    const size_t headEnd = kPacketPrefixSize + kPacketHeadSize;
    if (packet.size() < headEnd || packet[3] == PACKET_CLASS_LOGIN) return;
    uint8_t* head = packet.data() + kPacketPrefixSize;
    if (packet.size() > headEnd) {
        uint8_t key = mXorKey;
        head[4] = key;
        XorBytes(packet.data() + headEnd, packet.size() - headEnd, key);
        mXorKey = packet[headEnd];
    } else {
        head[4] = 0;
    }
    uint8_t cipher[16];
    if (AesEncryptBlock(128, head, 16, mSessionKey.data(), 16, cipher) > 0) {
        std::memcpy(head, cipher, 16);
    }
}

int UnprotectCommandBody(int packetClass, uint8_t* body, size_t bodyLength,
                         const Block16& sessionKey) {
    if (packetClass != PACKET_CLASS_COMMAND) return -1;
    if (body == nullptr || bodyLength < kPacketHeadSize) return -2;
    uint8_t plain[16];
    if (AesDecryptBlock(128, body, 16, sessionKey.data(), 16, plain) <= 0) return -2;
    std::memcpy(body, plain, 16);
    size_t length = wire::Get16(body + 2);
    if (length + kPacketHeadSize != bodyLength) return -2;
    XorBytes(body + kPacketHeadSize, length, body[4]);
    return 0;
}

int ParseCommandBody(int packetClass, uint8_t* body, size_t bodyLength, const Block16& sessionKey,
                     Command& command) {
    int rc = UnprotectCommandBody(packetClass, body, bodyLength, sessionKey);
    if (rc != 0) return rc;
    command = Command{};
    command.code = wire::Get16(body);
    const size_t length = wire::Get16(body + 2);  // equals bodyLength - 16 once unprotected
    const uint8_t* payload = body + kPacketHeadSize;
    if (length >= 4) {
        command.hasCamera = true;
        command.camera = int32_t(wire::Get32(payload));
    }
    if (length >= 1) {
        command.hasState = true;
        command.state = payload[0];
    }
    return 0;
}

std::vector<uint8_t> BuildCommandPacket(int packetClass, uint16_t code, const uint8_t* payload,
                                        uint16_t length) {
    std::vector<uint8_t> packet(kPacketPrefixSize + kPacketHeadSize + length, 0);
    PacketPrefix{uint32_t(kPacketHeadSize + length), uint8_t(packetClass)}.Write(packet.data());
    uint8_t* head = packet.data() + kPacketPrefixSize;
    wire::Put16(head, code);
    wire::Put16(head + 2, length);
    if (payload != nullptr && length > 0) {
        std::memcpy(packet.data() + kPacketPrefixSize + kPacketHeadSize, payload, length);
    }
    return packet;
}

std::vector<uint8_t> BuildMediaPacket(int packetClass, uint16_t mediaCode, uint8_t streamChannel,
                                      uint8_t frameKind, uint32_t timestamp, const uint8_t* payload,
                                      size_t length) {
    std::vector<uint8_t> packet(kPacketPrefixSize + kPacketHeadSize + length, 0);
    PacketPrefix{uint32_t(kPacketHeadSize + length), uint8_t(packetClass)}.Write(packet.data());
    PacketHead head;
    head.SetMediaCode(mediaCode);
    head.SetStreamChannel(streamChannel);
    head.SetFrameKind(frameKind);
    head.SetPayloadLength(uint32_t(length));
    head.SetTimestamp(timestamp);
    head.Write(packet.data() + kPacketPrefixSize);
    if (payload != nullptr && length > 0) {
        std::memcpy(packet.data() + kPacketPrefixSize + kPacketHeadSize, payload, length);
    }
    return packet;
}

}  // namespace zevo::camd
