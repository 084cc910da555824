// The video and audio consumers: take queued packets in order, pace them by their
// timestamps and hand the payloads to the graphs and the audio output.
#include <vector>

#include "media/adpcm.h"
#include "session/session_core.h"

namespace zevo {

namespace {

constexpr uint32_t kAdpcmBlockBytes = 160;
constexpr uint32_t kAdpcmBlockSamples = 320;

// The consumers' idle steps end when their queue gets what they wait for, so a packet
// is played as soon as it arrives rather than at the next poll, or when the session
// stops (StopRunning).
class QueueWake final : public WakeSource {
public:
    QueueWake(FrameQueue* queue, int count, const std::atomic<uint8_t>& running)
        : mQueue(queue), mCount(count), mRunning(running) {}
    void WaitAtMost(uint32_t ms) override { WaitForFrames(mQueue, mCount, ms, &mRunning); }

private:
    FrameQueue* mQueue;
    int mCount;
    const std::atomic<uint8_t>& mRunning;
};

}  // namespace

void SessionCore::DispatchVideo(const unsigned char* packet, uint32_t length) {
    if (length < kPacketHeadSize) return;
    const PacketHead head = PacketHead::Read(packet);
    mStreamChannel.store(head.StreamChannel());
    if (head.MediaCode() != MEDIA_CODE_VIDEO) return;
    if (mWaitFirstFrame.load() != 0 && head.FrameKind() != 0) return;
    mWaitFirstFrame.store(0);
    Pace(mVideoClock, head.Timestamp(), *mTicks);
    mFrameCount.fetch_add(1);
    // The queued copy was accepted with exactly this payload length.
    uint32_t payloadLength = head.PayloadLength();
    if (payloadLength > length - kPacketHeadSize) payloadLength = length - kPacketHeadSize;
    const unsigned char* payload = packet + kPacketHeadSize;
    const auto pushLength = static_cast<int32_t>(payloadLength);
    if (mRecording.load() != 0 && mRecordVideo && mRecordGate.Enter()) {
        // Re-checked inside the gate: StopRecord clears the flag before closing it.
        if (mRecording.load() != 0) mRecordVideo->PushVideo(kVideoStreamId, payload, pushLength);
        mRecordGate.Leave();
    }
    if (mLiveVideo && mLiveGate.Enter()) {
        if (FrameTraceOn()) {
            TraceFrame("pushed", head.Timestamp());
            mLiveVideo->PushTracedVideo(kVideoStreamId, payload, pushLength, head.Timestamp());
        } else {
            mLiveVideo->PushVideo(kVideoStreamId, payload, pushLength);
        }
        mLiveGate.Leave();
    }
}

void SessionCore::DispatchAudio(const unsigned char* packet, uint32_t length) {
    if (length < kPacketHeadSize) return;
    const PacketHead head = PacketHead::Read(packet);
    uint32_t payloadLength = head.PayloadLength();
    if (payloadLength > length - kPacketHeadSize) payloadLength = length - kPacketHeadSize;
    if (head.MediaCode() == MEDIA_CODE_PCM) {
        PlayPcmAudio(head, packet + kPacketHeadSize, payloadLength);
    } else if (head.MediaCode() == MEDIA_CODE_ADPCM) {
        PlayAdpcmAudio(head, packet + kPacketHeadSize, payloadLength);
    }
}

void SessionCore::PlayPcmAudio(const PacketHead&, const unsigned char* payload, uint32_t length) {
    if (mAudio && mAudioGate.Enter()) {
        if (mAudio->WriteAudio(payload, static_cast<int>(length)) < 0)
            mAudioWriteFailures.fetch_add(1);
        mAudioGate.Leave();
    }
}

void SessionCore::PlayAdpcmAudio(const PacketHead& head, const unsigned char* payload,
                                 uint32_t length) {
    // Sized for the packet at hand, so a payload of any length is decoded whole.
    thread_local std::vector<short> samples;
    const uint32_t blocks = length / kAdpcmBlockBytes;
    if (samples.size() < static_cast<size_t>(blocks) * kAdpcmBlockSamples) {
        samples.resize(static_cast<size_t>(blocks) * kAdpcmBlockSamples);
    }
    // Only this window's audio consumer decodes into its state.
    for (uint32_t b = 0; b < blocks; ++b) {
        DecodeImaAdpcm(payload + b * kAdpcmBlockBytes, kAdpcmBlockBytes,
                       samples.data() + b * kAdpcmBlockSamples, mAdpcmState);
    }
    Pace(mAudioClock, head.Timestamp(), *mTicks);
    if (mAdpcmPackets.fetch_add(1) + 1 >= 1000) {
        mAdpcmPackets.store(0);
        return;
    }
    if (mAudio && mAudioGate.Enter()) {
        if (mAudio->WriteAudio(samples.data(), static_cast<int>(blocks * kAdpcmBlockSamples * 2)) <
            0) {
            mAudioWriteFailures.fetch_add(1);
        }
        mAudioGate.Leave();
    }
}

void SessionCore::VideoConsumerStep() {
    FrameNode* node = PopFrame(mVideoQueue);
    if (node) {
        DispatchVideo(node->data, node->length);
        FreeFrameNode(node);
    } else {
        QueueWake wake(mVideoQueue, 1, mRunning);
        mTicks->IdleUntilWoken(8, wake);
    }
}

void SessionCore::AudioConsumerStep(int& threshold) {
    const int n = FrameCount(mAudioQueue);
    if (n > threshold) {
        FrameNode* node = PopFrame(mAudioQueue);
        if (node) {
            DispatchAudio(node->data, node->length);
            FreeFrameNode(node);
        }
    } else if (n > 2) {
        mTicks->Sleep(4);
        threshold = 2;
    } else {
        // Woken when a third packet arrives; the refill pause above still follows.
        QueueWake wake(mAudioQueue, 3, mRunning);
        mTicks->IdleUntilWoken(8, wake);
        threshold = 10;
    }
}

void SessionCore::StopRunning() {
    mRunning.store(0);
    InterruptFrameWait(mVideoQueue);
    InterruptFrameWait(mAudioQueue);
}

void SessionCore::VideoConsumerThread(std::shared_ptr<SessionCore> core, uint32_t) {
    while (core->mRunning.load() != 0) core->VideoConsumerStep();
    core->mVideoThreadId.store(0);
}

void SessionCore::AudioConsumerThread(std::shared_ptr<SessionCore> core, uint32_t) {
    int threshold = 10;
    while (core->mRunning.load() != 0) core->AudioConsumerStep(threshold);
    core->mAudioThreadId.store(0);
}

}  // namespace zevo
