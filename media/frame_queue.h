#pragma once
// FIFO of decrypted media packets between the media reader and a consumer thread.
// Count and bytes are kept on every change; the packets queued are those pushed and not
// yet popped, whether still on the producer's chain or already taken by the consumer.
// A plain structure handled by free functions; every operation accepts a null queue
// (and a null node where it takes one) and then does nothing and returns 0 or null.
// Nodes and their data blocks live on the C heap and are allocated and freed outside
// the queue's locks, which are the innermost locks of the system (the consumer's is taken
// before the producer's, never the other way).
#include <atomic>
#include <cstdint>

// One queued packet: `data` holds `length` bytes (packet head followed by payload).
// `next` comes first so the queue's tail link can point at either `head` or a `next`.
struct FrameNode {
    FrameNode* next;
    uint32_t length;
    unsigned char* data;
};

struct FramePool;

// The queue's locks. Each is held for a few pointer updates only, so a thread that finds
// it taken spins for a moment and then yields, instead of going to sleep in the kernel
// and needing a system call to be woken.
class FrameQueueLock {
public:
    void lock() {
        for (int spins = 0; mTaken.exchange(true, std::memory_order_acquire); ++spins) {
            while (mTaken.load(std::memory_order_relaxed)) {
                if (++spins < kSpins) {
                    Pause();
                } else {
                    Yield();
                }
            }
        }
    }
    void unlock() { mTaken.store(false, std::memory_order_release); }

private:
    static constexpr int kSpins = 200;
    static void Pause();
    static void Yield();
    std::atomic<bool> mTaken{false};
};

struct FrameQueue {
    // Producer side. `lock` guards head and tailLink: the chain pushed and not yet taken
    // by the consumer. The consumer takes the whole chain in one step and pops from it
    // without this lock, so the two threads meet on it once per batch, not per packet.
    FrameQueueLock lock;
    FrameNode* head;
    FrameNode** tailLink;  // link the next push writes: &head when empty
    // Nodes and bytes ever pushed, written under `lock`, readable without it.
    std::atomic<uint64_t> pushedNodes;
    std::atomic<uint64_t> pushedBytes;
    // Blocks of nodes the consumer has freed, handed back to the producer for its next
    // packets: the hand-over costs no heap call on either side once the stream runs.
    FramePool* pool;

    // Consumer side, on a cache line of its own. `takeLock` guards `taken` (the chain
    // the consumer took, oldest first) and the writes of the popped totals; ClearFrameQueue
    // takes it, then `lock`. The count and bytes queued are pushed minus popped.
    alignas(64) FrameQueueLock takeLock;
    FrameNode* taken;
    std::atomic<uint64_t> poppedNodes;
    std::atomic<uint64_t> poppedBytes;
    // The consumer's wake-up: while it waits for `wantCount` nodes (0 when it does not
    // wait), the push that reaches that many bumps `wakeSequence` and wakes it. A push
    // nobody waits for costs one read of wantCount and no system call.
    std::atomic<int> wantCount;
    std::atomic<uint32_t> wakeSequence;
};

// A new empty queue, or null when the allocation fails.
FrameQueue* CreateFrameQueue();
// Frees what is still queued and the queue. No other thread may use it any more.
void DestroyFrameQueue(FrameQueue* queue);
// Detaches everything queued and frees it after leaving the lock.
void ClearFrameQueue(FrameQueue* queue);
// Appends the chain starting at `first` (ending in a null `next`) in one step and
// returns the new count; 0 for a null queue or node.
int PushFrames(FrameQueue* queue, FrameNode* first);
// Takes the oldest node (its `next` cleared), or null when empty. The caller frees it
// with FreeFrameNode.
FrameNode* PopFrame(FrameQueue* queue);
// Blocks the queue's consumer until at least `count` nodes are queued (1 when count is
// less), `*running` (when given) reads 0, or timeoutMs milliseconds have passed, and
// returns FrameCount then; 0 at once for a null queue. Only the queue's one consumer
// thread waits on it.
int WaitForFrames(FrameQueue* queue, int count, uint32_t timeoutMs,
                  const std::atomic<uint8_t>* running = nullptr);
// Wakes the queue's consumer out of WaitForFrames to look at its running flag again:
// call it after clearing that flag.
void InterruptFrameWait(FrameQueue* queue);
// Number of queued nodes, read without the lock; 0 for a null queue.
int FrameCount(FrameQueue* queue);
// Sum of the queued nodes' lengths, read without the lock; 0 for a null queue.
uint64_t FrameBytes(FrameQueue* queue);

// Gives a caller-allocated node a private copy of `size` bytes of `source`. Returns 1,
// or 0 (node left with no data) for a null node or source, a size of 0 or a failed
// allocation.
int FillFrameNode(FrameNode* node, const unsigned char* source, uint32_t size);
// Frees the node's data block, then the node. Does not follow `next`.
void FreeFrameNode(FrameNode* node);
// Allocates and fills a node from a buffer, the copy in the same heap block as the node
// (FreeFrameNode knows it); null when the packet must be dropped.
FrameNode* NewFrameNode(const unsigned char* source, uint32_t size);
// As NewFrameNode, from the blocks that nodes of this queue left behind when they were
// freed (on whatever thread); a new heap block only when none is free or big enough.
// Only the queue's producer calls it, one thread at a time. A node made here is freed
// with FreeFrameNode like any other, also after the queue has been destroyed; null for
// a null queue, a null source or a size of 0.
FrameNode* NewQueueFrameNode(FrameQueue* queue, const unsigned char* source, uint32_t size);
