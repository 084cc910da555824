// Channel 0: the command reader thread, the login and device notices, and the one
// routine that writes to the device.
#include <cstdlib>
#include <cstring>
#include <vector>

#include "session/aes.h"
#include "session/session_core.h"

namespace zevo {

namespace {

bool IsSessionEnded(int32_t result) {
    return result == PPPP_ERR_CLOSED_BY_PEER || result == PPPP_ERR_PEER_SILENT ||
           result == PPPP_ERR_CLOSED_HERE;
}

}  // namespace

int32_t SessionCore::SendCommand(int32_t session, uint16_t code, const void* payload,
                                 int32_t length, int packetClass) {
    if (packetClass != PACKET_CLASS_LOGIN && mLoggedIn.load() == 0) return -1;
    // The head carries the length in 16 bits.
    if (length < 0 || length > static_cast<int32_t>(kMaxCommandPayload)) return -1;
    std::vector<unsigned char> packet(static_cast<size_t>(length) + 20, 0);
    PacketPrefix prefix{static_cast<uint32_t>(length) + 16, static_cast<uint8_t>(packetClass)};
    prefix.Write(packet.data());
    PacketHead head;
    head.SetCode(code);
    head.SetCommandLength(static_cast<uint16_t>(length));
    head.Write(packet.data() + kPacketPrefixSize);
    if (payload && length > 0) std::memcpy(packet.data() + 20, payload, length);
    if (packetClass != PACKET_CLASS_LOGIN) {
        mProtection.ProtectPacket(packet.data(), length + 20);
    }
    return mTransport->Write(session, 0, reinterpret_cast<const char*>(packet.data()), length + 20);
}

void SessionCore::HandleLogin(const unsigned char* body, int32_t size) {
    const PacketHead head = PacketHead::Read(body);
    // The payload is taken from the receive buffer whatever the read delivered there.
    const unsigned char* payload = head.CommandLength() > 0 ? body + kPacketHeadSize : nullptr;
    const auto* key = reinterpret_cast<const unsigned char*>(mPasswordText);
    const int keyLength = static_cast<int>(strnlen(mPasswordText, sizeof(mPasswordText)));
    switch (head.Code()) {
        case LOGIN_CHALLENGE: {
            unsigned char response[16];
            if (AesEncryptBlock(128, payload, 16, key, keyLength, response) > 0) {
                SendCommand(mSession.load(), LOGIN_RESPONSE, response, 16, PACKET_CLASS_LOGIN);
            }
            break;
        }
        case LOGIN_ACCEPTED: {
            // Without a whole key the session could protect nothing: that is a refusal.
            if (head.CommandLength() < 16 || size < static_cast<int32_t>(kPacketHeadSize) + 16) {
                mLoginAnswered.store(1);
                break;
            }
            unsigned char sessionKey[16] = {};
            AesDecryptBlock(128, payload, 16, key, keyLength, sessionKey);
            // The key is complete before the flag that lets others use it.
            mProtection.SetSessionKey(sessionKey);
            mLoggedIn.store(1);
            mLoginAnswered.store(1);
            break;
        }
        case LOGIN_REFUSED:
            mLoginAnswered.store(1);
            break;
        default:
            break;
    }
}

void SessionCore::HandleNotice(const unsigned char* body, int32_t size) {
    const PacketHead head = PacketHead::Read(body);
    // The state byte must be one that came with this body, not a leftover in the buffer.
    if (head.Code() == NOTICE_EMAIL_ALERT && head.CommandLength() >= 8 &&
        size >= static_cast<int32_t>(kPacketHeadSize) + 8) {
        mEmailAlert.store(static_cast<int16_t>(body[kPacketHeadSize]));
    }
}

bool SessionCore::ReadCommandPacket(unsigned char* buffer, uint32_t serial) {
    const int32_t session = mSession.load();
    int32_t size = 4;
    int32_t result = mTransport->Read(session, 0, reinterpret_cast<char*>(buffer), &size, -1);
    // A session closed here ends its reader quietly: the stop is no failure to report.
    if (mRunning.load() == 0) return false;
    if (IsSessionEnded(result)) {
        PostSessionEvent(SESSION_EVENT_READ_ERROR, result, serial);
        return false;
    }
    if (size <= 0) return true;
    const int packetClass = buffer[3];
    const uint32_t bodyLength = PacketBodyLength(buffer);
    if (bodyLength > static_cast<uint32_t>(kCommandBufferSize)) {
        PostSessionEvent(SESSION_EVENT_OVERSIZE, 0, serial);
        return false;
    }
    size = static_cast<int32_t>(bodyLength);
    result = mTransport->Read(session, 0, reinterpret_cast<char*>(buffer), &size, -1);
    if (mRunning.load() == 0) return false;
    if (IsSessionEnded(result)) {
        PostSessionEvent(SESSION_EVENT_READ_ERROR, result, serial);
        return false;
    }
    if (size <= 0) return true;
    if (size > static_cast<int32_t>(bodyLength)) size = static_cast<int32_t>(bodyLength);
    if (packetClass == PACKET_CLASS_LOGIN) {
        HandleLogin(buffer, size);
    } else if (mProtection.UnprotectPacket(packetClass, buffer, size) == 0) {
        HandleNotice(buffer, size);
    }
    return true;
}

void SessionCore::CommandReaderThread(std::shared_ptr<SessionCore> core, uint32_t serial) {
    // Zero-filled: the login reads 16 payload bytes whatever the read delivered.
    auto* buffer = static_cast<unsigned char*>(std::calloc(kCommandBufferSize, 1));
    if (buffer) {
        while (core->mRunning.load() != 0) {
            if (!core->ReadCommandPacket(buffer, serial)) break;
        }
        std::free(buffer);
    }
    core->mCommandReaderId.store(0);
}

}  // namespace zevo
