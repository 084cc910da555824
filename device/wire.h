#pragma once
// Packets as the device writes and reads them. The device protects every packet but the
// login ones: the head is encrypted under the session key and the payload XORed with a
// key byte that rolls per channel (the next key is the first protected payload byte of
// the packet before), so the viewer reads the key from each head and needs no state.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "device/login.h"
#include "session/packet.h"

namespace zevo::camd {

// Largest bodies the viewer's readers hold.
constexpr uint32_t kMaxCommandBody = 1024;
constexpr uint32_t kMaxMediaBody = 131072;

const char* CommandName(uint16_t code);

// Outgoing protection of one channel of one session: one writer thread per channel.
class ChannelProtector {
public:
    ChannelProtector(const Block16& sessionKey, uint8_t xorKeyStart)
        : mSessionKey(sessionKey), mXorKey(xorKeyStart) {}

    // In place on a whole packet (prefix, head, payload) of classes 2 to 4 and of any
    // other class but 1, reading the payload length from the body size so that packets
    // with a damaged length field can still be built on purpose. Packets shorter than
    // the prefix and head are left alone.
    void Protect(std::vector<uint8_t>& packet);

    uint8_t XorKey() const { return mXorKey; }

private:
    Block16 mSessionKey;
    uint8_t mXorKey;
};

// A received command-channel body, decrypted in place. 0 done; -1 not a class the
// device accepts after login (only 4); -2 too short or length mismatch.
int UnprotectCommandBody(int packetClass, uint8_t* body, size_t bodyLength,
                         const Block16& sessionKey);

// What the device takes from a command: the code and, when the payload holds them, the
// camera index (stream commands) or the state byte (CMD_SET_EMAIL_ALERT).
struct Command {
    uint16_t code = 0;
    bool hasCamera = false;
    int32_t camera = -1;
    bool hasState = false;
    uint8_t state = 0;
};

// Unprotects a received command-channel body in place and reads the command from it.
// 0, or the result of UnprotectCommandBody.
int ParseCommandBody(int packetClass, uint8_t* body, size_t bodyLength, const Block16& sessionKey,
                     Command& command);

// Plain login or command packet (prefix, head with code and length, payload).
std::vector<uint8_t> BuildCommandPacket(int packetClass, uint16_t code, const uint8_t* payload,
                                        uint16_t length);

// Plain media packet with the media head fields set.
std::vector<uint8_t> BuildMediaPacket(int packetClass, uint16_t mediaCode, uint8_t streamChannel,
                                      uint8_t frameKind, uint32_t timestamp, const uint8_t* payload,
                                      size_t length);

}  // namespace zevo::camd
