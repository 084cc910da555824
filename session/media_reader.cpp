// Channel 1: reads every media packet, unprotects it, queues video and audio, and
// measures the received rate.
#include <cstdlib>

#include "session/session_core.h"

namespace zevo {

namespace {

bool IsSessionEnded(int32_t result) {
    return result == PPPP_ERR_CLOSED_BY_PEER || result == PPPP_ERR_PEER_SILENT ||
           result == PPPP_ERR_CLOSED_HERE;
}

}  // namespace

int32_t SessionCore::ReadFull(const std::atomic<uint8_t>& running, unsigned char channel,
                              unsigned char* buffer, const int32_t& wanted, int32_t timeoutMs) {
    if (wanted <= 0) return -1;
    int32_t done = 0;
    for (;;) {
        int32_t size = wanted - done;
        const int32_t asked = size;
        const int32_t result = mTransport->Read(
            mSession.load(), channel, reinterpret_cast<char*>(buffer + done), &size, timeoutMs);
        // Never trust a size outside what was asked for.
        if (size > 0) done += size > asked ? asked : size;
        if (running.load() == 0) return PPPP_ERR_TIMEOUT;
        if (result != PPPP_ERR_TIMEOUT) return result;
        if (done >= wanted) return result;
    }
}

void SessionCore::UpdateBitRate(RateWindow& rate) {
    const uint32_t now = mTicks->Now();
    const uint32_t elapsed = now - rate.start;
    if (elapsed >= 2000) {
        const double kbps =
            static_cast<double>(rate.bytes) * 8000.0 / (static_cast<double>(elapsed) * 1024.0);
        mBitRate.store(static_cast<float>(kbps));
        rate.start = now;
        rate.bytes = 0;
    }
}

bool SessionCore::ReadMediaPacket(unsigned char* buffer, RateWindow& rate, uint32_t serial) {
    int32_t result = ReadFull(mRunning, 1, buffer, 4, kMediaReadTimeoutMs);
    // Stopped here: what the buffer holds may be part of an earlier packet, and the
    // stop is no failure to report.
    if (mRunning.load() == 0) return false;
    if (IsSessionEnded(result)) {
        PostSessionEvent(SESSION_EVENT_READ_ERROR, result, serial);
        return false;
    }
    rate.bytes += 4;
    const int packetClass = buffer[3];
    const int32_t bodyLength = static_cast<int32_t>(PacketBodyLength(buffer));
    if (bodyLength > kMediaBufferSize) {
        PostSessionEvent(SESSION_EVENT_OVERSIZE, 0, serial);
        return false;
    }
    if (bodyLength > 0) {
        result = ReadFull(mRunning, 1, buffer, bodyLength, kMediaReadTimeoutMs);
        // A body cut short by a stop is never queued.
        if (mRunning.load() == 0) return false;
        if (IsSessionEnded(result)) {
            PostSessionEvent(SESSION_EVENT_READ_ERROR, result, serial);
            return false;
        }
        rate.bytes += static_cast<uint32_t>(bodyLength);
        // Packets that arrive before the login meet the all-zero key and fail the
        // length check, as they should.
        if (mProtection.UnprotectPacket(packetClass, buffer, bodyLength) >= 0) {
            FrameQueue* queue = nullptr;
            if (packetClass == PACKET_CLASS_AUDIO) queue = mAudioQueue;
            if (packetClass == PACKET_CLASS_VIDEO) {
                queue = mVideoQueue;
                if (FrameTraceOn()) TraceFrame("received", PacketHead::Read(buffer).Timestamp());
            }
            if (queue) {
                // A node that cannot be allocated drops the packet.
                FrameNode* node =
                    NewQueueFrameNode(queue, buffer, static_cast<uint32_t>(bodyLength));
                if (node) PushFrames(queue, node);
            }
        }
    }
    UpdateBitRate(rate);
    return mRunning.load() != 0;
}

void SessionCore::MediaReaderThread(std::shared_ptr<SessionCore> core, uint32_t serial) {
    auto* buffer = static_cast<unsigned char*>(std::malloc(kMediaBufferSize));
    if (buffer) {
        RateWindow rate{0, core->mTicks->Now()};
        if (core->mRunning.load() != 0) {
            while (core->ReadMediaPacket(buffer, rate, serial)) {
            }
        }
        std::free(buffer);
    }
    core->mMediaReaderId.store(0);
}

}  // namespace zevo
