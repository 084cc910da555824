// The media path's cost per packet, from the reader's transport reads to the video
// dispatcher's push: read prefix and body, unprotect, queue a copy, pop, pace, count,
// push, free. The transport is a memory stream of protected packets, so the figure is
// the viewer's own work and not the network's. Baseline in the same run: one memcpy of
// the packet (what any reader must at least do to get it out of the transport).
#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "session/aes.h"
#include "session/session_core.h"

namespace zevo {
namespace {

const unsigned char kSessionKey[16] = {9, 8, 7, 6, 5, 4, 3, 2, 1, 0, 11, 12, 13, 14, 15, 16};

// One video packet as the device sends it: plain prefix, encrypted head, XORed payload.
std::vector<unsigned char> ProtectedVideoPacket(size_t payloadSize, uint8_t xorKey) {
    std::vector<unsigned char> payload(payloadSize);
    for (size_t i = 0; i < payloadSize; ++i) payload[i] = static_cast<unsigned char>(i * 13);
    PacketHead head;
    head.SetMediaCode(MEDIA_CODE_VIDEO);
    head.SetFrameKind(0);
    head.SetTimestamp(1000);  // all equal: the packets are never early, nothing sleeps
    std::vector<unsigned char> packet =
        BuildMediaPacket(head, payload.data(), payload.size(), PACKET_CLASS_VIDEO);
    unsigned char* body = packet.data() + kPacketPrefixSize;
    body[4] = xorKey;
    XorBytes(body + kPacketHeadSize, payloadSize, xorKey);
    unsigned char cipher[16];
    AesEncryptBlock(128, body, 16, kSessionKey, 16, cipher);
    std::memcpy(body, cipher, 16);
    return packet;
}

// Serves the same packet over and over on channel 1, as a transport read would.
class MemoryStream final : public Transport {
public:
    explicit MemoryStream(std::vector<unsigned char> packet) : mPacket(std::move(packet)) {}
    int32_t Initialize(const char*) override { return 0; }
    int32_t DeInitialize() override { return 0; }
    int32_t Connect(const char*, char, uint32_t) override { return 0; }
    int32_t Check(int32_t, SessionInfo*) override { return 0; }
    int32_t Read(int32_t, unsigned char, char* buffer, int32_t* size, int32_t) override {
        size_t left = static_cast<size_t>(*size);
        char* out = buffer;
        while (left > 0) {
            const size_t n = std::min(left, mPacket.size() - mOffset);
            std::memcpy(out, mPacket.data() + mOffset, n);
            out += n;
            left -= n;
            mOffset = (mOffset + n) % mPacket.size();
        }
        return 0;
    }
    int32_t Write(int32_t, unsigned char, const char*, int32_t size) override { return size; }
    int32_t Close(int32_t) override { return 0; }

private:
    std::vector<unsigned char> mPacket;
    size_t mOffset = 0;
};

class DiscardVideo final : public VideoPush {
public:
    int32_t PushVideo(int32_t, const unsigned char* data, int32_t length) override {
        benchmark::DoNotOptimize(data);
        return length;
    }
};

void BM_MediaPath(benchmark::State& state) {
    const auto payloadSize = static_cast<size_t>(state.range(0));
    MemoryStream stream(ProtectedVideoPacket(payloadSize, 0x3C));
    auto core = std::make_shared<SessionCore>();
    core->SetTransport(&stream);
    core->SetLiveVideo(std::make_shared<DiscardVideo>());
    core->mProtection.SetSessionKey(kSessionKey);
    core->mSession = 0;
    core->mRunning = 1;
    std::vector<unsigned char> buffer(kMediaBufferSize);
    SessionCore::RateWindow rate{0, core->Ticks().Now()};
    for (auto _ : state) {
        core->ReadMediaPacket(buffer.data(), rate, 1);
        core->VideoConsumerStep();
    }
    if (core->mFrameCount.load() != state.iterations()) state.SkipWithError("packets were lost");
    state.SetItemsProcessed(state.iterations());
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(payloadSize + 20));
}

void BM_MemcpyBaseline(benchmark::State& state) {
    const auto size = static_cast<size_t>(state.range(0)) + 20;
    std::vector<unsigned char> source(size, 0x5A);
    std::vector<unsigned char> target(size);
    for (auto _ : state) {
        std::memcpy(target.data(), source.data(), size);
        benchmark::DoNotOptimize(target.data());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations());
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(size));
}

// Time from the reader's push to the video dispatcher's push into the graph, with a real
// consumer thread on the system clock and one packet in flight at a time (a live stream
// at its own rate: the queue is empty whenever a packet comes). Counter: latency_us.
class SignalVideo final : public VideoPush {
public:
    int32_t PushVideo(int32_t, const unsigned char*, int32_t length) override {
        mShown.store(std::chrono::steady_clock::now().time_since_epoch().count(),
                     std::memory_order_release);
        return length;
    }
    std::atomic<int64_t> mShown{0};
};

constexpr std::chrono::milliseconds kPacketGap{3};

void BM_ConsumerHandOver(benchmark::State& state) {
    auto core = std::make_shared<SessionCore>();
    auto sink = std::make_shared<SignalVideo>();
    core->SetLiveVideo(sink);
    core->mRunning = 1;
    core->mWaitFirstFrame = 0;
    std::thread consumer([core] {
        while (core->mRunning.load() != 0) core->VideoConsumerStep();
    });
    PacketHead head;
    head.SetMediaCode(MEDIA_CODE_VIDEO);
    head.SetTimestamp(1000);  // never early: pacing does not sleep
    head.SetPayloadLength(1024);
    std::vector<unsigned char> packet(kPacketHeadSize + 1024, 0x5A);
    head.Write(packet.data());
    double total = 0;
    for (auto _ : state) {
        state.PauseTiming();
        std::this_thread::sleep_for(kPacketGap);  // the consumer is idle when it comes
        state.ResumeTiming();
        sink->mShown.store(0);
        const auto sent = std::chrono::steady_clock::now();
        PushFrames(core->mVideoQueue,
                   NewQueueFrameNode(core->mVideoQueue, packet.data(),
                                     static_cast<uint32_t>(packet.size())));
        int64_t shown;
        while ((shown = sink->mShown.load(std::memory_order_acquire)) == 0) {
            std::this_thread::yield();
        }
        total += static_cast<double>(shown - sent.time_since_epoch().count()) / 1000.0;
    }
    core->mRunning = 0;
    consumer.join();
    state.counters["latency_us"] = total / static_cast<double>(state.iterations());
}

// Baseline: the same hand-over to a thread waiting on a condition variable, the least a
// sleeping consumer can cost to wake.
void BM_ConditionVariableHandOver(benchmark::State& state) {
    std::mutex lock;
    std::condition_variable ready;
    bool running = true;
    int pending = 0;
    std::atomic<int64_t> shown{0};
    std::thread consumer([&] {
        std::unique_lock<std::mutex> hold(lock);
        while (running) {
            ready.wait(hold, [&] { return pending > 0 || !running; });
            if (pending > 0) {
                --pending;
                shown.store(std::chrono::steady_clock::now().time_since_epoch().count(),
                            std::memory_order_release);
            }
        }
    });
    double total = 0;
    for (auto _ : state) {
        state.PauseTiming();
        std::this_thread::sleep_for(kPacketGap);
        state.ResumeTiming();
        shown.store(0);
        const auto sent = std::chrono::steady_clock::now();
        {
            std::lock_guard<std::mutex> hold(lock);
            ++pending;
        }
        ready.notify_one();
        int64_t at;
        while ((at = shown.load(std::memory_order_acquire)) == 0) std::this_thread::yield();
        total += static_cast<double>(at - sent.time_since_epoch().count()) / 1000.0;
    }
    {
        std::lock_guard<std::mutex> hold(lock);
        running = false;
    }
    ready.notify_one();
    consumer.join();
    state.counters["latency_us"] = total / static_cast<double>(state.iterations());
}

BENCHMARK(BM_ConditionVariableHandOver)->Iterations(300)->UseRealTime();
BENCHMARK(BM_ConsumerHandOver)->Iterations(300)->UseRealTime();

// 1 KiB (audio-sized), 16 KiB (a typical P-frame), 128 KiB - 16 (the largest body).
BENCHMARK(BM_MemcpyBaseline)->Arg(1024)->Arg(16384)->Arg(kMediaBufferSize - 16);
BENCHMARK(BM_MediaPath)->Arg(1024)->Arg(16384)->Arg(kMediaBufferSize - 16);

}  // namespace
}  // namespace zevo

BENCHMARK_MAIN();
