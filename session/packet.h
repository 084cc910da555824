#pragma once
// Packets on both channels: a 4-byte prefix (24-bit body length, class), a 16-byte head
// and a payload. All fields little-endian. Heads of classes 2 to 4 travel AES-encrypted
// under the session key; their payload is XORed with the key byte in head byte 4.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace zevo {

constexpr int PACKET_CLASS_LOGIN = 1;
constexpr int PACKET_CLASS_VIDEO = 2;
constexpr int PACKET_CLASS_AUDIO = 3;
constexpr int PACKET_CLASS_COMMAND = 4;

// Login codes (class 1).
constexpr uint16_t LOGIN_CHALLENGE = 1;
constexpr uint16_t LOGIN_RESPONSE = 2;
constexpr uint16_t LOGIN_ACCEPTED = 3;
constexpr uint16_t LOGIN_REFUSED = 4;

// Command and notice codes (class 4).
constexpr uint16_t CMD_START_STREAM = 1;
constexpr uint16_t CMD_STOP_STREAM = 2;
constexpr uint16_t CMD_STOP_SESSION = 4;
constexpr uint16_t CMD_SET_EMAIL_ALERT = 13;
constexpr uint16_t CMD_GET_EMAIL_ALERT = 17;
constexpr uint16_t NOTICE_EMAIL_ALERT = 18;

// Media codes of the media head.
constexpr uint16_t MEDIA_CODE_VIDEO = 3;
constexpr uint16_t MEDIA_CODE_PCM = 1279;
constexpr uint16_t MEDIA_CODE_ADPCM = 1280;

constexpr size_t kPacketPrefixSize = 4;
constexpr size_t kPacketHeadSize = 16;
// The 24-bit body length leaves this much for a payload.
constexpr uint32_t kMaxPacketPayload = 0xFFFFFF - kPacketHeadSize;
// Classes 1 and 4 carry their payload length in 16 bits.
constexpr uint32_t kMaxCommandPayload = 0xFFFF;

namespace wire {
inline uint16_t Get16(const unsigned char* p) {
    return uint16_t(p[0] | (p[1] << 8));
}
inline uint32_t Get32(const unsigned char* p) {
    return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
}
inline void Put16(unsigned char* p, uint16_t v) {
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
}
inline void Put32(unsigned char* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = uint8_t(v >> (8 * i));
}
}  // namespace wire

// The prefix, which is never encrypted.
struct PacketPrefix {
    uint32_t bodyLength = 0;  // head + payload; 24 bits on the wire
    uint8_t packetClass = 0;

    static PacketPrefix Read(const unsigned char* prefix) {
        return {wire::Get32(prefix) & 0xFFFFFF, prefix[3]};
    }
    void Write(unsigned char* prefix) const {
        wire::Put32(prefix, (bodyLength & 0xFFFFFF) | (uint32_t(packetClass) << 24));
    }
};

// The prefix word of a packet without its class byte.
inline uint32_t PacketBodyLength(const unsigned char* packet) {
    return wire::Get32(packet) & 0xFFFFFF;
}

// The head as it lies in the buffer (plain form). Command and login packets read it as
// code / 16-bit length; media packets as the media fields.
struct PacketHead {
    unsigned char bytes[kPacketHeadSize] = {};

    static PacketHead Read(const unsigned char* head) {
        PacketHead h;
        for (size_t i = 0; i < kPacketHeadSize; ++i) h.bytes[i] = head[i];
        return h;
    }
    void Write(unsigned char* head) const {
        for (size_t i = 0; i < kPacketHeadSize; ++i) head[i] = bytes[i];
    }

    // Classes 1 and 4.
    uint16_t Code() const { return wire::Get16(bytes); }
    void SetCode(uint16_t v) { wire::Put16(bytes, v); }
    uint16_t CommandLength() const { return wire::Get16(bytes + 2); }
    void SetCommandLength(uint16_t v) { wire::Put16(bytes + 2, v); }

    // All protected classes.
    uint8_t XorKey() const { return bytes[4]; }
    void SetXorKey(uint8_t v) { bytes[4] = v; }

    // Classes 2 and 3.
    uint16_t MediaCode() const { return wire::Get16(bytes); }
    void SetMediaCode(uint16_t v) { wire::Put16(bytes, v); }
    uint8_t StreamChannel() const { return bytes[2]; }
    void SetStreamChannel(uint8_t v) { bytes[2] = v; }
    uint8_t FrameKind() const { return bytes[3]; }
    void SetFrameKind(uint8_t v) { bytes[3] = v; }
    uint32_t PayloadLength() const { return wire::Get32(bytes + 8); }
    void SetPayloadLength(uint32_t v) { wire::Put32(bytes + 8, v); }
    uint32_t Timestamp() const { return wire::Get32(bytes + 12); }
    void SetTimestamp(uint32_t v) { wire::Put32(bytes + 12, v); }
};
static_assert(sizeof(PacketHead) == kPacketHeadSize);

// A plain login or command packet: prefix, head with code and length, payload (may be
// null when length is 0). Empty when the payload does not fit the 16-bit length.
std::vector<unsigned char> BuildPacket(uint16_t code, const unsigned char* payload, size_t length,
                                       int packetClass);

// A plain media packet: the given head with its payload length set, then the payload.
// Empty when the payload does not fit the 24-bit body length.
std::vector<unsigned char> BuildMediaPacket(PacketHead head, const unsigned char* payload,
                                            size_t length, int packetClass);

// XORs length bytes with key; runs at memory speed.
void XorBytes(unsigned char* data, size_t length, uint8_t key);

// The protection state of one session's side: the session key and the rolling XOR key
// byte for outgoing packets. The key may be set by one thread while others unprotect.
class PacketProtection {
public:
    explicit PacketProtection(uint8_t xorKeyStart = kDefaultXorKeyStart);

    static constexpr uint8_t kDefaultXorKeyStart = 0x5A;

    // Stores the first 16 bytes of key as the session key.
    void SetSessionKey(const unsigned char* key);
    // Back to the all-zero key used before a login.
    void ClearSessionKey();
    void CopySessionKey(unsigned char* key) const;

    uint8_t XorKey() const { return mXorKey.load(std::memory_order_relaxed); }

    // In place on a whole outgoing packet (prefix, head, payload) of size bytes.
    // Packets shorter than 20 bytes are left as they are.
    void ProtectPacket(unsigned char* packet, int size);

    // In place on a received body (head and payload). 0 done; -1 class outside 2 to 4
    // (body untouched); -2 too short, cipher failure or length mismatch.
    int UnprotectPacket(int packetClass, unsigned char* body, int bodyLength) const;

private:
    // The 16-byte key as two words, so readers never see a torn word. A reader that
    // races a key change may combine halves; that packet fails the length check just
    // as one under the old key would.
    std::atomic<uint64_t> mSessionKey[2];
    std::atomic<uint8_t> mXorKey;
};

}  // namespace zevo
