#include "media/frame_queue.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

FrameNode* MakeNode(uint32_t size, unsigned char fill) {
    std::vector<unsigned char> bytes(size, fill);
    FrameNode* node = NewFrameNode(bytes.data(), size);
    EXPECT_NE(node, nullptr);
    return node;
}

struct QueueDeleter {
    void operator()(FrameQueue* queue) const { DestroyFrameQueue(queue); }
};
using QueuePtr = std::unique_ptr<FrameQueue, QueueDeleter>;

void ExpectEmpty(FrameQueue* queue) {
    EXPECT_EQ(queue->head, nullptr);
    EXPECT_EQ(queue->tailLink, &queue->head);
    EXPECT_EQ(FrameCount(queue), 0);
    EXPECT_EQ(FrameBytes(queue), 0u);
}

}  // namespace

TEST(FrameQueue, NullQueueAndNullNodeDoNothing) {
    EXPECT_EQ(FrameCount(nullptr), 0);
    EXPECT_EQ(FrameBytes(nullptr), 0u);
    EXPECT_EQ(PopFrame(nullptr), nullptr);
    ClearFrameQueue(nullptr);
    DestroyFrameQueue(nullptr);
    FreeFrameNode(nullptr);

    FrameNode* node = MakeNode(8, 1);
    EXPECT_EQ(PushFrames(nullptr, node), 0);  // the node stays the caller's
    FreeFrameNode(node);

    QueuePtr queue(CreateFrameQueue());
    ASSERT_NE(queue, nullptr);
    EXPECT_EQ(PushFrames(queue.get(), nullptr), 0);
    ExpectEmpty(queue.get());
}

TEST(FrameQueue, PopOnEmptyKeepsTailAtHeadAndNextPushLandsAtHead) {
    QueuePtr queue(CreateFrameQueue());
    ASSERT_NE(queue, nullptr);
    ExpectEmpty(queue.get());
    EXPECT_EQ(PopFrame(queue.get()), nullptr);
    ExpectEmpty(queue.get());

    EXPECT_EQ(PushFrames(queue.get(), MakeNode(10, 1)), 1);
    EXPECT_EQ(PushFrames(queue.get(), MakeNode(20, 2)), 2);
    FreeFrameNode(PopFrame(queue.get()));
    FreeFrameNode(PopFrame(queue.get()));
    ExpectEmpty(queue.get());  // popping the last node resets the empty state
    EXPECT_EQ(PopFrame(queue.get()), nullptr);

    FrameNode* again = MakeNode(5, 3);
    EXPECT_EQ(PushFrames(queue.get(), again), 1);
    EXPECT_EQ(queue->head, again);
    EXPECT_EQ(queue->tailLink, &again->next);
    EXPECT_EQ(FrameBytes(queue.get()), 5u);
}

TEST(FrameQueue, ChainIsAppendedInOneStepAndPoppedInOrder) {
    QueuePtr queue(CreateFrameQueue());
    ASSERT_NE(queue, nullptr);
    EXPECT_EQ(PushFrames(queue.get(), MakeNode(7, 0xEE)), 1);

    FrameNode* a = MakeNode(100, 0xA);
    FrameNode* b = MakeNode(200, 0xB);
    FrameNode* c = MakeNode(300, 0xC);
    a->next = b;
    b->next = c;
    EXPECT_EQ(PushFrames(queue.get(), a), 4);
    EXPECT_EQ(FrameCount(queue.get()), 4);
    EXPECT_EQ(FrameBytes(queue.get()), 607u);
    EXPECT_EQ(queue->tailLink, &c->next);

    FrameNode* first = PopFrame(queue.get());
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(first->length, 7u);
    EXPECT_EQ(first->next, nullptr);
    FreeFrameNode(first);

    const struct {
        unsigned char fill;
        uint32_t length;
    } expected[] = {{0xA, 100}, {0xB, 200}, {0xC, 300}};
    for (auto [fill, length] : expected) {
        FrameNode* node = PopFrame(queue.get());
        ASSERT_NE(node, nullptr);
        EXPECT_EQ(node->next, nullptr);  // detached from the rest of the chain
        EXPECT_EQ(node->length, length);
        EXPECT_EQ(node->data[0], fill);
        EXPECT_EQ(node->data[node->length - 1], fill);
        FreeFrameNode(node);
    }
    ExpectEmpty(queue.get());
}

TEST(FrameQueue, ClearFreesEverythingAndLeavesAUsableQueue) {
    QueuePtr queue(CreateFrameQueue());
    ASSERT_NE(queue, nullptr);
    ClearFrameQueue(queue.get());  // empty: nothing to do
    for (int i = 0; i < 50; ++i)
        PushFrames(queue.get(), MakeNode(64, static_cast<unsigned char>(i)));
    EXPECT_EQ(FrameBytes(queue.get()), 50u * 64u);
    ClearFrameQueue(queue.get());  // the leak checker of the sanitizer build sees the frees
    ExpectEmpty(queue.get());

    EXPECT_EQ(PushFrames(queue.get(), MakeNode(3, 9)), 1);
    FrameNode* node = PopFrame(queue.get());
    ASSERT_NE(node, nullptr);
    EXPECT_EQ(node->data[2], 9);
    FreeFrameNode(node);

    // Destroying a queue that still holds packets frees them too.
    for (int i = 0; i < 5; ++i) PushFrames(queue.get(), MakeNode(16, 1));
}

// The consumer takes everything pushed at its first pop and pops the rest without the
// producer's lock; what it took still counts as queued, stays in order ahead of later
// pushes and is freed by a clear.
TEST(FrameQueue, NodesTheConsumerTookStillCountAndClearFreesThem) {
    QueuePtr queue(CreateFrameQueue());
    ASSERT_NE(queue, nullptr);
    FrameQueue* q = queue.get();
    for (unsigned char i = 1; i <= 3; ++i) PushFrames(q, MakeNode(10u * i, i));
    FrameNode* first = PopFrame(q);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(first->data[0], 1);
    FreeFrameNode(first);
    EXPECT_EQ(FrameCount(q), 2);
    EXPECT_EQ(FrameBytes(q), 50u);
    EXPECT_EQ(PushFrames(q, MakeNode(40, 4)), 3);
    EXPECT_EQ(FrameBytes(q), 90u);
    for (unsigned char i = 2; i <= 3; ++i) {
        FrameNode* node = PopFrame(q);
        ASSERT_NE(node, nullptr);
        EXPECT_EQ(node->data[0], i);
        EXPECT_EQ(node->length, 10u * i);
        FreeFrameNode(node);
    }
    EXPECT_EQ(PushFrames(q, MakeNode(50, 5)), 2);

    // Taken and still-pushed nodes alike are freed (the sanitizer build's leak check).
    FreeFrameNode(PopFrame(q));
    EXPECT_EQ(PushFrames(q, MakeNode(60, 6)), 2);
    ClearFrameQueue(q);
    ExpectEmpty(q);
    EXPECT_EQ(PopFrame(q), nullptr);
    EXPECT_EQ(PushFrames(q, MakeNode(7, 7)), 1);
    FrameNode* last = PopFrame(q);
    ASSERT_NE(last, nullptr);
    EXPECT_EQ(last->data[0], 7);
    FreeFrameNode(last);
    ExpectEmpty(q);
}

TEST(FrameQueue, FillCopiesTheSourceAndRefusesEmptyPackets) {
    unsigned char source[32];
    for (int i = 0; i < 32; ++i) source[i] = static_cast<unsigned char>(i * 3);

    auto* node = static_cast<FrameNode*>(std::malloc(sizeof(FrameNode)));
    ASSERT_NE(node, nullptr);
    std::memset(node, 0xCD, sizeof(FrameNode));  // as a fresh allocation might look
    EXPECT_EQ(FillFrameNode(node, source, 0), 0);
    EXPECT_EQ(node->data, nullptr);  // nothing allocated, and safe to free
    EXPECT_EQ(node->length, 0u);
    EXPECT_EQ(FillFrameNode(node, nullptr, 4), 0);
    EXPECT_EQ(node->data, nullptr);

    ASSERT_EQ(FillFrameNode(node, source, sizeof source), 1);
    EXPECT_EQ(node->next, nullptr);
    EXPECT_EQ(node->length, sizeof source);
    std::memset(source, 0, sizeof source);  // the reader reuses its buffer
    EXPECT_EQ(node->data[31], 93);
    FreeFrameNode(node);

    // A node from NewFrameNode carries its copy in the same block; refilling it gives
    // it a separate one, and either way FreeFrameNode releases exactly what is there.
    FrameNode* packed = NewFrameNode(source, 8);
    ASSERT_NE(packed, nullptr);
    EXPECT_EQ(packed->length, 8u);
    ASSERT_EQ(FillFrameNode(packed, source, 16), 1);
    EXPECT_EQ(packed->length, 16u);
    FreeFrameNode(packed);

    EXPECT_EQ(FillFrameNode(nullptr, source, 4), 0);
    EXPECT_EQ(NewFrameNode(source, 0), nullptr);
    EXPECT_EQ(NewFrameNode(nullptr, 10), nullptr);
}

// Nodes from the queue's blocks: the producer gets back what the consumer freed, a packet
// that does not fit gets a bigger block, and every kind of node can be freed at any time,
// also after the queue is gone (the sanitizer build's leak checker sees every block).
TEST(FrameQueue, RecycledNodesReuseFreedBlocksAndOutliveTheirQueue) {
    QueuePtr queue(CreateFrameQueue());
    ASSERT_NE(queue, nullptr);
    FrameQueue* q = queue.get();
    EXPECT_EQ(NewQueueFrameNode(nullptr, reinterpret_cast<const unsigned char*>("x"), 1), nullptr);
    EXPECT_EQ(NewQueueFrameNode(q, nullptr, 1), nullptr);
    EXPECT_EQ(NewQueueFrameNode(q, reinterpret_cast<const unsigned char*>("x"), 0), nullptr);

    std::vector<unsigned char> packet(4000);
    const struct {
        uint32_t size;
        bool sameBlock;  // expected to land in the block the previous packet left
    } steps[] = {{100, false}, {400, true}, {300, true}, {3000, false}, {2000, true}, {4000, true}};
    FrameNode* previous = nullptr;
    for (const auto& step : steps) {
        SCOPED_TRACE(step.size);
        for (uint32_t i = 0; i < step.size; ++i) {
            packet[i] = static_cast<unsigned char>(i * 7 + step.size);
        }
        FrameNode* node = NewQueueFrameNode(q, packet.data(), step.size);
        ASSERT_NE(node, nullptr);
        if (previous) {
            EXPECT_EQ(node == previous, step.sameBlock);
        }
        packet.assign(packet.size(), 0);  // the reader reuses its buffer
        ASSERT_EQ(PushFrames(q, node), 1);
        // Freed on another thread, as the consumer does.
        std::thread([&] {
            FrameNode* popped = PopFrame(q);
            ASSERT_EQ(popped, node);
            EXPECT_EQ(popped->length, step.size);
            EXPECT_EQ(popped->data[step.size - 1],
                      static_cast<unsigned char>((step.size - 1) * 7 + step.size));
            FreeFrameNode(popped);
        }).join();
        previous = node;
    }

    // Nodes still queued, held by a consumer, or refilled into ordinary nodes when the
    // queue goes: all are released, whichever is freed last.
    std::vector<FrameNode*> held;
    for (int i = 0; i < 40; ++i) {
        FrameNode* node = NewQueueFrameNode(q, packet.data(), 64);
        ASSERT_NE(node, nullptr);
        if (i % 2 == 0) {
            PushFrames(q, node);
        } else {
            held.push_back(node);
        }
    }
    ASSERT_EQ(FillFrameNode(held[0], packet.data(), 16), 1);
    EXPECT_EQ(held[0]->length, 16u);
    for (size_t i = 1; i < 10; ++i) FreeFrameNode(held[i]);
    queue.reset();
    for (size_t i = 10; i < held.size(); ++i) FreeFrameNode(held[i]);
    FreeFrameNode(held[0]);
}

// One producer and one consumer as the media reader and a consumer thread use it:
// every packet arrives once, in order, intact, and the counters end at zero.
TEST(FrameQueue, ProducerAndConsumerThreadsKeepOrderCountsAndBytes) {
    long packets = 1000000;
    if (const char* scale = std::getenv("ZEVO_QUEUE_STRESS_PACKETS")) {
        packets = std::strtol(scale, nullptr, 10);
    }
    ASSERT_GT(packets, 0);

    QueuePtr queue(CreateFrameQueue());
    ASSERT_NE(queue, nullptr);
    FrameQueue* q = queue.get();

    // Packet i holds its sequence number and a length of 9 + i % 56 bytes (a tail byte after the
    // number), pushed one at a time and now and then as a chain of three.
    auto lengthOf = [](long i) { return static_cast<uint32_t>(9 + i % 56); };
    uint64_t producedBytes = 0;
    std::thread producer([&] {
        unsigned char buffer[64];
        long i = 0;
        while (i < packets) {
            while (FrameCount(q) > 4096) std::this_thread::yield();  // bounded backlog
            int chain = (i % 7 == 0) ? 3 : 1;
            FrameNode* first = nullptr;
            FrameNode** link = &first;
            for (int k = 0; k < chain && i < packets; ++k, ++i) {
                uint32_t length = lengthOf(i);
                std::memcpy(buffer, &i, sizeof i);
                std::memset(buffer + sizeof i, static_cast<int>(i & 0xFF), length - sizeof i);
                // Recycled and plain nodes mixed, as tests and the reader make them.
                FrameNode* node = (i % 3 == 0) ? NewFrameNode(buffer, length)
                                               : NewQueueFrameNode(q, buffer, length);
                ASSERT_NE(node, nullptr);
                producedBytes += length;
                *link = node;
                link = &node->next;
            }
            ASSERT_GT(PushFrames(q, first), 0);
        }
    });

    long expected = 0;
    uint64_t consumedBytes = 0;
    long mismatches = 0;
    while (expected < packets) {
        FrameNode* node = PopFrame(q);
        if (node == nullptr) {
            std::this_thread::yield();
            continue;
        }
        long sequence;
        std::memcpy(&sequence, node->data, sizeof sequence);
        if (sequence != expected || node->length != lengthOf(expected) ||
            node->data[node->length - 1] != static_cast<unsigned char>(expected & 0xFF) ||
            node->next != nullptr) {
            ++mismatches;
        }
        consumedBytes += node->length;
        FreeFrameNode(node);
        ++expected;
    }
    producer.join();

    EXPECT_EQ(mismatches, 0);
    EXPECT_EQ(consumedBytes, producedBytes);
    EXPECT_EQ(PopFrame(q), nullptr);
    ExpectEmpty(q);
}

// The consumer's wait ends on the push that brings the count it waits for, or at its
// timeout, never earlier; pushes below the count leave it waiting.
TEST(FrameQueue, WaitEndsOnThePushThatReachesTheCountOrAtTheTimeout) {
    using Clock = std::chrono::steady_clock;
    EXPECT_EQ(WaitForFrames(nullptr, 1, 1000), 0);
    QueuePtr queue(CreateFrameQueue());
    ASSERT_NE(queue, nullptr);
    FrameQueue* q = queue.get();

    // Empty: a full timeout, as the sleep it replaces.
    auto start = Clock::now();
    EXPECT_EQ(WaitForFrames(q, 1, 30), 0);
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(30));
    EXPECT_EQ(q->wantCount.load(), 0);

    const struct {
        int waitFor;   // count the consumer waits for
        int before;    // nodes queued before it waits
        int pushes;    // single pushes from the producer thread while it waits
    } cases[] = {{1, 0, 1}, {3, 0, 3}, {3, 2, 1}, {1, 1, 0}, {0, 0, 1}};
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "wait for " << c.waitFor << " with " << c.before
                                        << " queued, " << c.pushes << " pushed");
        for (int i = 0; i < c.before; ++i) PushFrames(q, MakeNode(8, 1));
        std::atomic<int> pushed{0};
        std::atomic<bool> done{false};
        std::thread producer([&] {
            for (int i = 0; i < c.pushes; ++i) {
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
                // Still waiting while the count is short of what it waits for.
                if (c.before + i < c.waitFor) {
                    EXPECT_FALSE(done.load());
                }
                pushed.fetch_add(1);
                PushFrames(q, MakeNode(8, 2));
            }
        });
        start = Clock::now();
        const int count = WaitForFrames(q, c.waitFor, 20000);
        done.store(true);
        const int seenWhenDone = pushed.load();
        const auto waited = Clock::now() - start;
        producer.join();
        EXPECT_GE(count, std::max(c.waitFor, 1));
        EXPECT_GE(c.before + seenWhenDone, std::max(c.waitFor, 1));
        // Ended by the push, far from the 20 s timeout.
        EXPECT_LT(waited, std::chrono::seconds(10));
        EXPECT_EQ(q->wantCount.load(), 0);
        ClearFrameQueue(q);
    }
}
