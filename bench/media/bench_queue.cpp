// Frame queue and ADPCM decoder throughput, each next to a baseline run in the same
// process: a std::mutex + std::deque<std::vector<uint8_t>> queue doing the same packet
// copies, and the reference shift-and-add IMA decoder.
#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdint>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

#include "media/adpcm.h"
#include "media/frame_queue.h"

namespace {

class BaselineQueue {
public:
    void Push(std::vector<uint8_t> packet) {
        std::lock_guard<std::mutex> guard(mLock);
        mPackets.push_back(std::move(packet));
    }
    bool Pop(std::vector<uint8_t>& packet) {
        std::lock_guard<std::mutex> guard(mLock);
        if (mPackets.empty()) return false;
        packet = std::move(mPackets.front());
        mPackets.pop_front();
        return true;
    }

private:
    std::mutex mLock;
    std::deque<std::vector<uint8_t>> mPackets;
};

// One pair: copy a packet into a node, push it, pop it, free it. Nodes come from the
// queue's recycled blocks, as the media reader makes them.
void BM_FrameQueuePushPop(benchmark::State& state) {
    const auto size = static_cast<uint32_t>(state.range(0));
    std::vector<unsigned char> packet(size, 0x5A);
    FrameQueue* queue = CreateFrameQueue();
    for (auto _ : state) {
        PushFrames(queue, NewQueueFrameNode(queue, packet.data(), size));
        FrameNode* node = PopFrame(queue);
        benchmark::DoNotOptimize(node->data);
        FreeFrameNode(node);
    }
    DestroyFrameQueue(queue);
    state.SetItemsProcessed(state.iterations());
}

void BM_BaselinePushPop(benchmark::State& state) {
    const auto size = static_cast<size_t>(state.range(0));
    std::vector<uint8_t> packet(size, 0x5A);
    BaselineQueue queue;
    std::vector<uint8_t> out;
    for (auto _ : state) {
        queue.Push(std::vector<uint8_t>(packet.begin(), packet.end()));
        queue.Pop(out);
        benchmark::DoNotOptimize(out.data());
        out = std::vector<uint8_t>();  // the consumer frees the packet
    }
    state.SetItemsProcessed(state.iterations());
}

constexpr int kBatch = 20000;

// A producer thread copies and pushes a batch while this thread pops and frees it.
void BM_FrameQueueTwoThreads(benchmark::State& state) {
    const auto size = static_cast<uint32_t>(state.range(0));
    std::vector<unsigned char> packet(size, 0x5A);
    FrameQueue* queue = CreateFrameQueue();
    for (auto _ : state) {
        std::thread producer([&] {
            for (int i = 0; i < kBatch; ++i) {
                PushFrames(queue, NewQueueFrameNode(queue, packet.data(), size));
            }
        });
        for (int received = 0; received < kBatch;) {
            FrameNode* node = PopFrame(queue);
            if (node == nullptr) {
                std::this_thread::yield();  // both consumers give way when empty
                continue;
            }
            benchmark::DoNotOptimize(node->data);
            FreeFrameNode(node);
            ++received;
        }
        producer.join();
    }
    DestroyFrameQueue(queue);
    state.SetItemsProcessed(state.iterations() * kBatch);
}

void BM_BaselineTwoThreads(benchmark::State& state) {
    const auto size = static_cast<size_t>(state.range(0));
    std::vector<uint8_t> packet(size, 0x5A);
    BaselineQueue queue;
    for (auto _ : state) {
        std::thread producer([&] {
            for (int i = 0; i < kBatch; ++i) {
                queue.Push(std::vector<uint8_t>(packet.begin(), packet.end()));
            }
        });
        std::vector<uint8_t> out;
        for (int received = 0; received < kBatch;) {
            if (!queue.Pop(out)) {
                std::this_thread::yield();
                continue;
            }
            benchmark::DoNotOptimize(out.data());
            out = std::vector<uint8_t>();
            ++received;
        }
        producer.join();
    }
    state.SetItemsProcessed(state.iterations() * kBatch);
}

// Hand-over alone: the packets exist before the clock starts and are freed after it
// stops, so only PushFrames and PopFrame (or the baseline's push and pop) are timed.
void BM_FrameQueueHandOver(benchmark::State& state) {
    std::vector<unsigned char> packet(160, 0x5A);
    std::vector<FrameNode*> nodes(kBatch);
    FrameQueue* queue = CreateFrameQueue();
    for (auto _ : state) {
        state.PauseTiming();
        for (auto& node : nodes) node = NewFrameNode(packet.data(), 160);
        state.ResumeTiming();
        std::thread producer([&] {
            for (FrameNode* node : nodes) PushFrames(queue, node);
        });
        for (int received = 0; received < kBatch;) {
            FrameNode* node = PopFrame(queue);
            if (node == nullptr) {
                std::this_thread::yield();
                continue;
            }
            nodes[received++] = node;
        }
        producer.join();
        state.PauseTiming();
        for (FrameNode* node : nodes) FreeFrameNode(node);
        state.ResumeTiming();
    }
    DestroyFrameQueue(queue);
    state.SetItemsProcessed(state.iterations() * kBatch);
}

void BM_BaselineHandOver(benchmark::State& state) {
    std::vector<uint8_t> packet(160, 0x5A);
    std::vector<std::vector<uint8_t>> packets(kBatch);
    BaselineQueue queue;
    for (auto _ : state) {
        state.PauseTiming();
        for (auto& p : packets) p = packet;
        state.ResumeTiming();
        std::thread producer([&] {
            for (auto& p : packets) queue.Push(std::move(p));
        });
        std::vector<uint8_t> out;
        for (int received = 0; received < kBatch;) {
            if (!queue.Pop(out)) {
                std::this_thread::yield();
                continue;
            }
            packets[received++] = std::move(out);
        }
        producer.join();
        state.PauseTiming();
        for (auto& p : packets) p = std::vector<uint8_t>();
        state.ResumeTiming();
    }
    state.SetItemsProcessed(state.iterations() * kBatch);
}

BENCHMARK(BM_FrameQueuePushPop)->Arg(160)->Arg(8192);
BENCHMARK(BM_BaselinePushPop)->Arg(160)->Arg(8192);
BENCHMARK(BM_FrameQueueTwoThreads)->Arg(160)->Arg(8192)->UseRealTime();
BENCHMARK(BM_BaselineTwoThreads)->Arg(160)->Arg(8192)->UseRealTime();
BENCHMARK(BM_FrameQueueHandOver)->UseRealTime();
BENCHMARK(BM_BaselineHandOver)->UseRealTime();

// The reference IMA decoder (shift-and-add difference), same nibble order, as the
// yardstick for the decoder's cost per 160-byte block.
void ReferenceDecode(const unsigned char* input, int byteCount, short* output, AdpcmState& s) {
    static constexpr int kSteps[89] = {
        7,     8,     9,     10,    11,    12,    13,    14,    16,    17,    19,   21,    23,
        25,    28,    31,    34,    37,    41,    45,    50,    55,    60,    66,   73,    80,
        88,    97,    107,   118,   130,   143,   157,   173,   190,   209,   230,  253,   279,
        307,   337,   371,   408,   449,   494,   544,   598,   658,   724,   796,  876,   963,
        1060,  1166,  1282,  1411,  1552,  1707,  1878,  2066,  2272,  2499,  2749, 3024,  3327,
        3660,  4026,  4428,  4871,  5358,  5894,  6484,  7132,  7845,  8630,  9493, 10442, 11487,
        12635, 13899, 15289, 16818, 18500, 20350, 22385, 24623, 27086, 29794, 32767};
    static constexpr int kIndex[8] = {-1, -1, -1, -1, 2, 4, 6, 8};
    int predictor = s.predictor, index = s.stepIndex;
    for (int i = 0; i < byteCount * 2; ++i) {
        unsigned code = (i & 1) ? (input[i / 2] & 0x0F) : (input[i / 2] >> 4);
        int step = kSteps[index];
        int diff = step >> 3;
        if (code & 4) diff += step;
        if (code & 2) diff += step >> 1;
        if (code & 1) diff += step >> 2;
        predictor += (code & 8) ? -diff : diff;
        predictor = predictor < -32768 ? -32768 : (predictor > 32767 ? 32767 : predictor);
        output[i] = static_cast<short>(predictor);
        index += kIndex[code & 7];
        index = index < 0 ? 0 : (index > 88 ? 88 : index);
    }
    s.predictor = predictor;
    s.stepIndex = index;
}

std::vector<unsigned char> AudioBlock() {
    std::vector<unsigned char> block(160);
    for (size_t i = 0; i < block.size(); ++i) block[i] = static_cast<unsigned char>(i * 73 + 5);
    return block;
}

void BM_DecodeImaAdpcmBlock(benchmark::State& state) {
    std::vector<unsigned char> block = AudioBlock();
    short samples[320];
    for (auto _ : state) {
        DecodeImaAdpcm(block.data(), 160, samples);
        benchmark::DoNotOptimize(samples);
    }
    state.SetItemsProcessed(state.iterations());
    state.SetBytesProcessed(state.iterations() * 160);
}

void BM_ReferenceDecodeBlock(benchmark::State& state) {
    std::vector<unsigned char> block = AudioBlock();
    short samples[320];
    AdpcmState adpcm{0, 0};
    for (auto _ : state) {
        ReferenceDecode(block.data(), 160, samples, adpcm);
        benchmark::DoNotOptimize(samples);
    }
    state.SetItemsProcessed(state.iterations());
    state.SetBytesProcessed(state.iterations() * 160);
}

BENCHMARK(BM_DecodeImaAdpcmBlock);
BENCHMARK(BM_ReferenceDecodeBlock);

}  // namespace

BENCHMARK_MAIN();
