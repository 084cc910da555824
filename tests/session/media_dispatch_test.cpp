// The consumers and dispatchers on a driven clock: pacing as the packets see it, the
// first-frame wait, counting, the audio backlog and the ADPCM path.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

#include "media/adpcm.h"
#include "session/session_core.h"
#include "tests/context_switches.h"

namespace zevo {
namespace {

// Records every push with the tick at which it happened.
class RecordingVideo : public VideoPush {
public:
    explicit RecordingVideo(TickSource& ticks) : mTicks(ticks) {}
    int32_t PushVideo(int32_t streamId, const unsigned char* data, int32_t length) override {
        mStreamIds.push_back(streamId);
        mTicksAt.push_back(mTicks.Now());
        mPayloads.emplace_back(data, data + length);
        return 0;
    }
    TickSource& mTicks;
    std::vector<int32_t> mStreamIds;
    std::vector<uint32_t> mTicksAt;
    std::vector<std::vector<unsigned char>> mPayloads;
};

class RecordingAudio : public AudioWrite {
public:
    int WriteAudio(const void* samples, int byteCount) override {
        const auto* bytes = static_cast<const unsigned char*>(samples);
        mWrites.emplace_back(bytes, bytes + byteCount);
        return byteCount;
    }
    std::vector<std::vector<unsigned char>> mWrites;
};

// A decrypted media body as the reader queues it: head, then payload.
std::vector<unsigned char> MediaBody(uint16_t mediaCode, uint32_t timestamp,
                                     const std::vector<unsigned char>& payload,
                                     uint8_t frameKind = 0, uint8_t channel = 0) {
    PacketHead head;
    head.SetMediaCode(mediaCode);
    head.SetStreamChannel(channel);
    head.SetFrameKind(frameKind);
    head.SetPayloadLength(static_cast<uint32_t>(payload.size()));
    head.SetTimestamp(timestamp);
    std::vector<unsigned char> body(kPacketHeadSize + payload.size());
    head.Write(body.data());
    if (!payload.empty())
        std::memcpy(body.data() + kPacketHeadSize, payload.data(), payload.size());
    return body;
}

void Queue(FrameQueue* queue, const std::vector<unsigned char>& body) {
    FrameNode* node = NewFrameNode(body.data(), static_cast<uint32_t>(body.size()));
    ASSERT_NE(node, nullptr);
    PushFrames(queue, node);
}

class DispatchTest : public ::testing::Test {
protected:
    DispatchTest() : mTicks(100000), mVideo(std::make_shared<RecordingVideo>(mTicks)) {
        mCore = std::make_shared<SessionCore>();
        mCore->SetTickSource(&mTicks);
        mCore->SetLiveVideo(mVideo);
        mCore->SetAudio(mAudio);
    }
    void Dispatch(const std::vector<unsigned char>& body) {
        mCore->DispatchVideo(body.data(), static_cast<uint32_t>(body.size()));
    }

    DrivenTickSource mTicks;
    std::shared_ptr<RecordingVideo> mVideo;
    std::shared_ptr<RecordingAudio> mAudio = std::make_shared<RecordingAudio>();
    std::shared_ptr<SessionCore> mCore;
};

TEST_F(DispatchTest, BurstIsReleasedAtTheTimestampsSpacing) {
    mCore->mWaitFirstFrame = 0;
    // Five frames 40 ms apart in timestamp, all arriving at once.
    for (uint32_t i = 0; i < 5; ++i) Dispatch(MediaBody(MEDIA_CODE_VIDEO, 5000 + 40 * i, {1, 2}));
    ASSERT_EQ(mVideo->mTicksAt.size(), 5u);
    for (size_t i = 1; i < 5; ++i) EXPECT_EQ(mVideo->mTicksAt[i] - mVideo->mTicksAt[i - 1], 40u);
    EXPECT_EQ(mCore->mFrameCount.load(), 5u);
    EXPECT_EQ(mVideo->mStreamIds[0], kVideoStreamId);
    EXPECT_EQ(mVideo->mPayloads[0], (std::vector<unsigned char>{1, 2}));
}

TEST_F(DispatchTest, PacingEdgeCases) {
    mCore->mWaitFirstFrame = 0;
    Dispatch(MediaBody(MEDIA_CODE_VIDEO, 1000, {0}));  // sets the base
    const uint32_t base = mTicks.Now();

    // Late packets pass at once, with no catching-up sleep.
    mTicks.Advance(300);
    Dispatch(MediaBody(MEDIA_CODE_VIDEO, 1040, {0}));
    EXPECT_EQ(mTicks.TotalSlept(), 0u);

    // Exactly 10 ms early: not delayed. 11 ms early: delayed 11 ms.
    Dispatch(MediaBody(MEDIA_CODE_VIDEO, 1000 + (mTicks.Now() - base) + 10, {0}));
    EXPECT_EQ(mTicks.TotalSlept(), 0u);
    Dispatch(MediaBody(MEDIA_CODE_VIDEO, 1000 + (mTicks.Now() - base) + 11, {0}));
    EXPECT_EQ(mTicks.TotalSlept(), 11u);

    // 500 ms or more ahead passes at once and keeps the base.
    Dispatch(MediaBody(MEDIA_CODE_VIDEO, 1000 + (mTicks.Now() - base) + 500, {0}));
    EXPECT_EQ(mTicks.TotalSlept(), 11u);
    EXPECT_EQ(mCore->mVideoClock.baseStamp, 1000u);
    EXPECT_EQ(mCore->mVideoClock.baseTick, base);

    // A timestamp below the base re-bases the clock there and plays at once.
    Dispatch(MediaBody(MEDIA_CODE_VIDEO, 500, {0}));
    EXPECT_EQ(mTicks.TotalSlept(), 11u);
    EXPECT_EQ(mCore->mVideoClock.baseStamp, 500u);
    EXPECT_EQ(mCore->mVideoClock.baseTick, mTicks.Now());
    EXPECT_EQ(mCore->mVideoClock.lastTick, mTicks.Now());
}

TEST_F(DispatchTest, ZeroTimestampsRebaseUntilTheFirstNonZero) {
    mCore->mWaitFirstFrame = 0;
    for (int i = 0; i < 3; ++i) {
        Dispatch(MediaBody(MEDIA_CODE_VIDEO, 0, {0}));
        EXPECT_EQ(mCore->mVideoClock.baseTick, mTicks.Now());
        mTicks.Advance(40);
    }
    Dispatch(MediaBody(MEDIA_CODE_VIDEO, 2000, {0}));
    Dispatch(MediaBody(MEDIA_CODE_VIDEO, 2040, {0}));
    EXPECT_EQ(mTicks.TotalSlept(), 40u);
}

TEST_F(DispatchTest, FirstFrameWaitDropsUntilAKeyFrame) {
    ASSERT_EQ(mCore->mWaitFirstFrame.load(), 1);
    Dispatch(MediaBody(MEDIA_CODE_VIDEO, 100, {1}, /*frameKind=*/1));
    Dispatch(MediaBody(MEDIA_CODE_VIDEO, 140, {2}, 1));
    EXPECT_EQ(mCore->mFrameCount.load(), 0u);
    EXPECT_TRUE(mVideo->mPayloads.empty());
    Dispatch(MediaBody(MEDIA_CODE_VIDEO, 180, {3}, 0));
    Dispatch(MediaBody(MEDIA_CODE_VIDEO, 220, {4}, 1));
    EXPECT_EQ(mCore->mFrameCount.load(), 2u);
    ASSERT_EQ(mVideo->mPayloads.size(), 2u);
    EXPECT_EQ(mVideo->mPayloads[1], (std::vector<unsigned char>{4}));
    EXPECT_EQ(mCore->mWaitFirstFrame.load(), 0);
}

TEST_F(DispatchTest, OtherMediaCodeOnlyUpdatesTheChannel) {
    mCore->mWaitFirstFrame = 0;
    Dispatch(MediaBody(MEDIA_CODE_PCM, 100, {1}, 0, /*channel=*/5));
    EXPECT_EQ(mCore->mStreamChannel.load(), 5);
    EXPECT_EQ(mCore->mFrameCount.load(), 0u);
    EXPECT_TRUE(mVideo->mPayloads.empty());
    // A head claiming more payload than the packet holds pushes only what is there.
    auto body = MediaBody(MEDIA_CODE_VIDEO, 100, {7, 8, 9}, 0, 2);
    body.resize(body.size() - 1);
    Dispatch(body);
    ASSERT_EQ(mVideo->mPayloads.size(), 1u);
    EXPECT_EQ(mVideo->mPayloads[0], (std::vector<unsigned char>{7, 8}));
    EXPECT_EQ(mCore->mStreamChannel.load(), 2);
}

TEST_F(DispatchTest, RecordingGetsFramesOnlyWhileRecording) {
    auto record = std::make_shared<RecordingVideo>(mTicks);
    mCore->SetRecordVideo(record);
    mCore->mWaitFirstFrame = 0;
    Dispatch(MediaBody(MEDIA_CODE_VIDEO, 100, {1}));
    mCore->mRecording = 1;
    Dispatch(MediaBody(MEDIA_CODE_VIDEO, 100, {2}));
    // A closed gate (a release under way) keeps the frame from the recording graph.
    ASSERT_TRUE(mCore->mRecordGate.Close(mTicks, 0));
    Dispatch(MediaBody(MEDIA_CODE_VIDEO, 100, {3}));
    ASSERT_EQ(record->mPayloads.size(), 1u);
    EXPECT_EQ(record->mPayloads[0], (std::vector<unsigned char>{2}));
    EXPECT_EQ(mVideo->mPayloads.size(), 3u);
}

TEST_F(DispatchTest, VideoConsumerPlaysInOrderOrSleeps) {
    mCore->mWaitFirstFrame = 0;
    mCore->VideoConsumerStep();
    EXPECT_EQ(mTicks.TotalSlept(), 8u);
    Queue(mCore->mVideoQueue, MediaBody(MEDIA_CODE_VIDEO, 0, {1}));
    Queue(mCore->mVideoQueue, MediaBody(MEDIA_CODE_VIDEO, 0, {2}));
    mCore->VideoConsumerStep();
    mCore->VideoConsumerStep();
    ASSERT_EQ(mVideo->mPayloads.size(), 2u);
    EXPECT_EQ(mVideo->mPayloads[0][0], 1);
    EXPECT_EQ(mVideo->mPayloads[1][0], 2);
    EXPECT_EQ(FrameCount(mCore->mVideoQueue), 0);
}

TEST_F(DispatchTest, AudioConsumerKeepsTwoInReserve) {
    for (int i = 0; i < 11; ++i) {
        Queue(mCore->mAudioQueue, MediaBody(MEDIA_CODE_PCM, 0, {static_cast<unsigned char>(i)}));
    }
    int threshold = 10;
    // 11 > 10: one is played, the threshold stays.
    mCore->AudioConsumerStep(threshold);
    EXPECT_EQ(mAudio->mWrites.size(), 1u);
    EXPECT_EQ(threshold, 10);
    EXPECT_EQ(mTicks.TotalSlept(), 0u);
    // 10 left: one 4 ms pause, the threshold drops to 2.
    mCore->AudioConsumerStep(threshold);
    EXPECT_EQ(mTicks.TotalSlept(), 4u);
    EXPECT_EQ(threshold, 2);
    // Then it plays down to two, in order.
    for (int i = 0; i < 8; ++i) mCore->AudioConsumerStep(threshold);
    ASSERT_EQ(mAudio->mWrites.size(), 9u);
    for (size_t i = 0; i < 9; ++i) EXPECT_EQ(mAudio->mWrites[i][0], i);
    EXPECT_EQ(FrameCount(mCore->mAudioQueue), 2);
    EXPECT_EQ(mTicks.TotalSlept(), 4u);
    // Two or fewer: waits in 8 ms steps and raises the threshold to 10 again.
    mCore->AudioConsumerStep(threshold);
    EXPECT_EQ(mTicks.TotalSlept(), 12u);
    EXPECT_EQ(threshold, 10);
    EXPECT_EQ(mAudio->mWrites.size(), 9u);
}

TEST_F(DispatchTest, PcmIsWrittenUnchangedAndOtherCodesIgnored) {
    const std::vector<unsigned char> samples = {1, 0, 2, 0, 3, 0};
    auto body = MediaBody(MEDIA_CODE_PCM, 5, samples);
    mCore->DispatchAudio(body.data(), static_cast<uint32_t>(body.size()));
    body = MediaBody(77, 5, samples);
    mCore->DispatchAudio(body.data(), static_cast<uint32_t>(body.size()));
    ASSERT_EQ(mAudio->mWrites.size(), 1u);
    EXPECT_EQ(mAudio->mWrites[0], samples);
    EXPECT_EQ(mTicks.TotalSlept(), 0u);
}

// Decodes with a copy of a window's decoder state, as its player will.
std::vector<unsigned char> ExpectedAdpcm(const std::vector<unsigned char>& payload,
                                         AdpcmState state) {
    const size_t blocks = payload.size() / 160;
    std::vector<short> samples(blocks * 320);
    if (blocks)
        DecodeImaAdpcm(payload.data(), static_cast<int>(blocks * 160), samples.data(), state);
    std::vector<unsigned char> bytes(samples.size() * 2);
    std::memcpy(bytes.data(), samples.data(), bytes.size());
    return bytes;
}

std::vector<unsigned char> NoisePayload(size_t size, unsigned seed) {
    std::vector<unsigned char> payload(size);
    for (size_t i = 0; i < size; ++i) payload[i] = static_cast<unsigned char>((i * 37 + seed) * 11);
    return payload;
}

TEST_F(DispatchTest, AdpcmDecodesWholeBlocksOfAnyPayload) {
    mCore->mAdpcmPackets = 0;
    // 500 bytes: three blocks, the last 20 bytes ignored.
    auto payload = NoisePayload(500, 1);
    auto expected = ExpectedAdpcm(payload, mCore->mAdpcmState);
    auto body = MediaBody(MEDIA_CODE_ADPCM, 10, payload);
    mCore->DispatchAudio(body.data(), static_cast<uint32_t>(body.size()));
    ASSERT_EQ(mAudio->mWrites.size(), 1u);
    EXPECT_EQ(mAudio->mWrites[0].size(), 1920u);
    EXPECT_EQ(mAudio->mWrites[0], expected);

    // Longer than four blocks (800 bytes and up) is decoded whole, never past a buffer.
    for (size_t size : {800u, 1600u, 16000u, 131056u}) {
        payload = NoisePayload(size, static_cast<unsigned>(size));
        expected = ExpectedAdpcm(payload, mCore->mAdpcmState);
        body = MediaBody(MEDIA_CODE_ADPCM, 10, payload);
        mCore->DispatchAudio(body.data(), static_cast<uint32_t>(body.size()));
        ASSERT_EQ(mAudio->mWrites.back().size(), size / 160 * 640) << size;
        EXPECT_EQ(mAudio->mWrites.back(), expected) << size;
    }

    // Under one block: no samples.
    payload = NoisePayload(159, 3);
    body = MediaBody(MEDIA_CODE_ADPCM, 10, payload);
    mCore->DispatchAudio(body.data(), static_cast<uint32_t>(body.size()));
    EXPECT_TRUE(mAudio->mWrites.back().empty());
}

TEST_F(DispatchTest, EveryThousandthAdpcmPacketIsPacedButNotPlayed) {
    mCore->mAdpcmPackets = 0;
    const auto body = MediaBody(MEDIA_CODE_ADPCM, 0, NoisePayload(160, 9));
    for (int i = 1; i <= 999; ++i) mCore->DispatchAudio(body.data(), uint32_t(body.size()));
    EXPECT_EQ(mAudio->mWrites.size(), 999u);
    // The 1000th: all codes 0, which walk the step index down from where the noise left it.
    const auto falling = MediaBody(MEDIA_CODE_ADPCM, 0, std::vector<unsigned char>(160, 0x00));
    AdpcmState expected = mCore->mAdpcmState;
    std::vector<short> scratch(320);
    DecodeImaAdpcm(falling.data() + kPacketHeadSize, 160, scratch.data(), expected);
    const AdpcmState before = mCore->mAdpcmState;
    mCore->DispatchAudio(falling.data(), uint32_t(falling.size()));
    EXPECT_EQ(mAudio->mWrites.size(), 999u);
    // ... but still decoded: the decoder's state moved on as decoding moves it.
    const AdpcmState after = mCore->mAdpcmState;
    EXPECT_NE(before.stepIndex, after.stepIndex);
    EXPECT_EQ(after.predictor, expected.predictor);
    EXPECT_EQ(after.stepIndex, expected.stepIndex);
    EXPECT_EQ(mCore->mAdpcmPackets.load(), 0);
    mCore->DispatchAudio(body.data(), uint32_t(body.size()));  // the 1001st
    EXPECT_EQ(mAudio->mWrites.size(), 1000u);
}

// Two windows' streams arriving interleaved decode as if each were alone: the decoder
// state and the packet count belong to the window.
TEST_F(DispatchTest, InterleavedAdpcmStreamsOfTwoWindowsDecodeIndependently) {
    auto otherAudio = std::make_shared<RecordingAudio>();
    auto other = std::make_shared<SessionCore>();
    other->SetTickSource(&mTicks);
    other->SetAudio(otherAudio);
    AdpcmState alone[2] = {{0, 0}, {0, 0}};
    for (int i = 0; i < 20; ++i) {
        const auto a = NoisePayload(320, 100 + static_cast<unsigned>(i));
        const auto b = NoisePayload(320, 500 + static_cast<unsigned>(i) * 7);
        const auto expectA = ExpectedAdpcm(a, alone[0]);
        const auto expectB = ExpectedAdpcm(b, alone[1]);
        std::vector<short> scratch(640);
        DecodeImaAdpcm(a.data(), 320, scratch.data(), alone[0]);
        DecodeImaAdpcm(b.data(), 320, scratch.data(), alone[1]);
        const auto bodyA = MediaBody(MEDIA_CODE_ADPCM, 0, a);
        const auto bodyB = MediaBody(MEDIA_CODE_ADPCM, 0, b);
        mCore->DispatchAudio(bodyA.data(), uint32_t(bodyA.size()));
        other->DispatchAudio(bodyB.data(), uint32_t(bodyB.size()));
        ASSERT_EQ(mAudio->mWrites.back(), expectA) << i;
        ASSERT_EQ(otherAudio->mWrites.back(), expectB) << i;
    }
    EXPECT_EQ(mCore->mAdpcmPackets.load(), 20);
    EXPECT_EQ(other->mAdpcmPackets.load(), 20);
}

TEST_F(DispatchTest, AdpcmIsPacedByItsOwnClock) {
    mCore->mAdpcmPackets = 0;
    const auto payload = NoisePayload(320, 4);
    auto first = MediaBody(MEDIA_CODE_ADPCM, 7000, payload);
    auto second = MediaBody(MEDIA_CODE_ADPCM, 7040, payload);
    mCore->DispatchAudio(first.data(), uint32_t(first.size()));
    mCore->DispatchAudio(second.data(), uint32_t(second.size()));
    EXPECT_EQ(mTicks.TotalSlept(), 40u);
    EXPECT_EQ(mCore->mAudioClock.baseStamp, 7000u);
    EXPECT_EQ(mCore->mVideoClock.baseStamp, 0u);
}

TEST(BitRate, KilobitsOfTheTwoSecondWindow) {
    DrivenTickSource ticks(5000);
    SessionCore core;
    core.SetTickSource(&ticks);
    SessionCore::RateWindow rate{256000, ticks.Now()};
    ticks.Advance(1999);
    core.UpdateBitRate(rate);
    EXPECT_EQ(core.mBitRate.load(), 0.0f);
    EXPECT_EQ(rate.bytes, 256000u);
    ticks.Advance(1);
    core.UpdateBitRate(rate);
    EXPECT_FLOAT_EQ(core.mBitRate.load(), 1000.0f);
    EXPECT_EQ(rate.bytes, 0u);
    EXPECT_EQ(rate.start, ticks.Now());
    // A long silence is in the divisor.
    rate.bytes = 1024;
    ticks.Advance(8000);
    core.UpdateBitRate(rate);
    EXPECT_FLOAT_EQ(core.mBitRate.load(), 1.0f);
    // Across the tick count's wrap.
    DrivenTickSource wrapping(0xFFFFFF00u);
    core.SetTickSource(&wrapping);
    rate = {256000, wrapping.Now()};
    wrapping.Advance(2000);
    core.UpdateBitRate(rate);
    EXPECT_FLOAT_EQ(core.mBitRate.load(), 1000.0f);
}

// Blocks every push until released, to hold a consumer inside a sink.
class BlockingVideo : public VideoPush {
public:
    int32_t PushVideo(int32_t, const unsigned char*, int32_t) override {
        mEntered = true;
        while (!mRelease.load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        return 0;
    }
    std::atomic<bool> mEntered{false};
    std::atomic<bool> mRelease{false};
};

TEST(StopHandshake, WaitsAreBoundedAndReleaseWaitsForTheSink) {
    auto core = std::make_shared<SessionCore>();
    auto video = std::make_shared<BlockingVideo>();
    core->SetLiveVideo(video);
    core->mWaitFirstFrame = 0;
    Queue(core->mVideoQueue, MediaBody(MEDIA_CODE_VIDEO, 0, {1}));
    core->mRunning = 1;
    ASSERT_TRUE(core->StartWorker(SessionCore::Worker::VideoConsumer));
    while (!video->mEntered.load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));

    // The consumer is stuck inside the live graph's push: the running flag is cleared,
    // the wait for the consumer gives up after its bound, and so does the gate, which
    // tells the owner not to release the graph.
    core->mRunning = 0;
    EXPECT_FALSE(core->WaitWorkersEnded({SessionCore::Worker::VideoConsumer}, 200));
    EXPECT_FALSE(core->mLiveGate.Close(core->Ticks(), 200));
    EXPECT_NE(core->mVideoThreadId.load(), 0u);

    // Once the push returns the consumer ends and the gate reports it safe.
    video->mRelease = true;
    EXPECT_TRUE(core->WaitWorkersEnded({SessionCore::Worker::VideoConsumer}, 10000));
    EXPECT_TRUE(core->mLiveGate.Close(core->Ticks(), 10000));
    // The closed gate keeps later pushes out until it is opened again.
    EXPECT_FALSE(core->mLiveGate.Enter());
    core->mLiveGate.Open();
    EXPECT_TRUE(core->mLiveGate.Enter());
    core->mLiveGate.Leave();
}

// On the system clock an idle consumer sleeps until its queue has work or the session
// stops: no polling wake-ups, a packet taken as soon as it is queued, an end at once.
TEST(StopHandshake, IdleConsumersWakeOnlyForPacketsAndTheStop) {
    using Clock = std::chrono::steady_clock;
    auto core = std::make_shared<SessionCore>();
    auto video = std::make_shared<RecordingVideo>(core->Ticks());
    core->SetLiveVideo(video);
    core->mWaitFirstFrame = 0;
    core->mRunning = 1;
    ASSERT_TRUE(core->StartWorker(SessionCore::Worker::VideoConsumer));
    ASSERT_TRUE(core->StartWorker(SessionCore::Worker::AudioConsumer));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const long videoBefore = VoluntaryContextSwitches("zevo-video");
    const long audioBefore = VoluntaryContextSwitches("zevo-audio");
    ASSERT_GE(videoBefore, 0);
    ASSERT_GE(audioBefore, 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(600));
    // Polling in 8 ms steps would be some 75 each; the idle bound allows 3.
    EXPECT_LE(VoluntaryContextSwitches("zevo-video") - videoBefore, 4);
    EXPECT_LE(VoluntaryContextSwitches("zevo-audio") - audioBefore, 4);

    const uint32_t queuedAt = core->Ticks().Now();
    Queue(core->mVideoQueue, MediaBody(MEDIA_CODE_VIDEO, 1000, {7}));
    for (int i = 0; i < 5000 && core->mFrameCount.load() == 0; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ASSERT_EQ(core->mFrameCount.load(), 1u);

    const auto stopAt = Clock::now();
    core->StopRunning();
    ASSERT_TRUE(core->WaitWorkersEnded(
        {SessionCore::Worker::VideoConsumer, SessionCore::Worker::AudioConsumer}, 5000));
    EXPECT_LT(Clock::now() - stopAt, std::chrono::milliseconds(150));
    // Read once the consumer has ended: it counts the frame before it pushes it.
    ASSERT_EQ(video->mTicksAt.size(), 1u);
    EXPECT_LT(video->mTicksAt[0] - queuedAt, 100u);
}

TEST(StopHandshake, WorkersHoldTheStateUntilTheyEnd) {
    auto core = std::make_shared<SessionCore>();
    std::weak_ptr<SessionCore> watch = core;
    auto video = std::make_shared<BlockingVideo>();
    core->SetLiveVideo(video);
    core->mWaitFirstFrame = 0;
    Queue(core->mVideoQueue, MediaBody(MEDIA_CODE_VIDEO, 0, {1}));
    core->mRunning = 1;
    ASSERT_TRUE(core->StartWorker(SessionCore::Worker::VideoConsumer));
    while (!video->mEntered.load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    core->mRunning = 0;
    core.reset();  // the window lets go while the consumer is still inside a push
    EXPECT_FALSE(watch.expired());
    video->mRelease = true;
    for (int i = 0; i < 10000 && !watch.expired(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    EXPECT_TRUE(watch.expired());
}

}  // namespace
}  // namespace zevo
