// Arbitrary device traffic through the command reader (login, notices), the media reader
// (prefix, limits, unprotect, queueing) and the dispatchers (head fields, pacing, ADPCM).
// Input: records of [kind][length: 3 bytes LE][body bytes...]. kind bit 0 picks the
// channel (0 commands, 1 media), bit 1 encrypts the body's first 16 bytes under the
// session key (so records reach the handlers past the length check), bits 2-7 are the
// packet class. A record's prefix announces its length even when the input ends sooner;
// a channel whose bytes run out ends its session.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "session/aes.h"
#include "session/session_core.h"

namespace {

using zevo::SessionCore;

const unsigned char kKey[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};

class StreamTransport final : public zevo::Transport {
public:
    std::vector<unsigned char> mStream[2];
    size_t mOffset[2] = {0, 0};

    int32_t Initialize(const char*) override { return 0; }
    int32_t DeInitialize() override { return 0; }
    int32_t Connect(const char*, char, uint32_t) override { return 0; }
    int32_t Check(int32_t, SessionInfo*) override { return 0; }
    int32_t Read(int32_t, unsigned char channel, char* buffer, int32_t* size, int32_t) override {
        if (channel > 1 || *size < 0) return PPPP_ERR_INVALID_PARAMETER;
        const size_t left = mStream[channel].size() - mOffset[channel];
        if (left == 0) {
            *size = 0;
            return PPPP_ERR_CLOSED_BY_PEER;
        }
        const size_t asked = static_cast<size_t>(*size);
        const size_t n = std::min(left, asked);
        std::memcpy(buffer, mStream[channel].data() + mOffset[channel], n);
        mOffset[channel] += n;
        *size = static_cast<int32_t>(n);
        // A short read is a time-out with what arrived; the next read finds the end.
        return n < asked ? PPPP_ERR_TIMEOUT : 0;
    }
    int32_t Write(int32_t, unsigned char, const char*, int32_t size) override { return size; }
    int32_t Close(int32_t) override { return 0; }
};

class Discard final : public zevo::VideoPush, public zevo::AudioWrite {
public:
    int32_t PushVideo(int32_t, const unsigned char* data, int32_t length) override {
        if (length > 0) sum += data[0] + data[length - 1];
        return 0;
    }
    int WriteAudio(const void* samples, int byteCount) override {
        if (byteCount > 0) sum += static_cast<const unsigned char*>(samples)[byteCount - 1];
        return byteCount;
    }
    unsigned sum = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    StreamTransport transport;
    while (size >= 4) {
        const uint8_t kind = data[0];
        const uint32_t length = data[1] | (data[2] << 8) | (uint32_t(data[3]) << 16);
        data += 4;
        size -= 4;
        const size_t take = std::min<size_t>(length, size);
        std::vector<unsigned char>& out = transport.mStream[kind & 1];
        const size_t start = out.size();
        out.resize(start + 4 + take);
        zevo::PacketPrefix{length, static_cast<uint8_t>(kind >> 2)}.Write(out.data() + start);
        if (take) std::memcpy(out.data() + start + 4, data, take);
        if ((kind & 2) && take >= 16) {
            unsigned char* head = out.data() + start + 4;
            unsigned char cipher[16];
            AesEncryptBlock(128, head, 16, kKey, 16, cipher);
            std::memcpy(head, cipher, 16);
        }
        data += take;
        size -= take;
    }

    auto core = std::make_shared<SessionCore>();
    zevo::DrivenTickSource ticks(1);
    auto sink = std::make_shared<Discard>();
    core->SetTransport(&transport);
    core->SetTickSource(&ticks);
    core->SetLiveVideo(sink);
    core->SetAudio(sink);
    core->mProtection.SetSessionKey(kKey);
    core->mLoggedIn = 1;
    core->mSession = 0;
    core->mRunning = 1;
    std::strcpy(core->mPasswordText, "123456");

    std::vector<unsigned char> commandBuffer(zevo::kCommandBufferSize, 0);
    for (int i = 0; i < 10000 && core->ReadCommandPacket(commandBuffer.data(), 1); ++i) {
    }
    std::vector<unsigned char> mediaBuffer(zevo::kMediaBufferSize);
    SessionCore::RateWindow rate{0, ticks.Now()};
    for (int i = 0; i < 10000 && core->ReadMediaPacket(mediaBuffer.data(), rate, 1); ++i) {
        ticks.Advance(7);
    }
    while (FrameNode* node = PopFrame(core->mVideoQueue)) {
        core->DispatchVideo(node->data, node->length);
        FreeFrameNode(node);
    }
    while (FrameNode* node = PopFrame(core->mAudioQueue)) {
        core->DispatchAudio(node->data, node->length);
        FreeFrameNode(node);
    }
    return 0;
}
