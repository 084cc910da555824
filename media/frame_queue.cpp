#include "media/frame_queue.h"

#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <chrono>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <new>
#include <thread>
#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

void FrameQueueLock::Pause() {
#if defined(__x86_64__) || defined(__i386__)
    _mm_pause();
#endif
}

void FrameQueueLock::Yield() {
    std::this_thread::yield();
}

namespace {

// A recycled block: the node, this trailer, then room for `capacity` bytes of packet.
struct PoolTrailer {
    FramePool* pool;
    uint32_t capacity;
};

constexpr size_t kPooledHeader = sizeof(FrameNode) + sizeof(PoolTrailer);
// A pooled node's data pointer can then never be a heap block of its own, which is how
// FreeFrameNode tells the kinds of node apart.
static_assert(kPooledHeader % alignof(std::max_align_t) != 0);

// Bytes of free blocks kept for the producer; beyond that they go back to the heap, so a
// long backlog that has drained does not stay allocated. Enough for a burst of a few
// thousand audio packets or a dozen of the largest video frames.
constexpr size_t kSpareBytes = 2u << 20;
constexpr uint32_t kSmallestBlock = 512;

// Stands in the returned list once the queue is gone: blocks freed later go to the heap.
FrameNode* const kPoolClosed = reinterpret_cast<FrameNode*>(alignof(FrameNode));

PoolTrailer* TrailerOf(FrameNode* node) {
    return reinterpret_cast<PoolTrailer*>(node + 1);
}

unsigned char* PooledData(FrameNode* node) {
    return reinterpret_cast<unsigned char*>(node) + kPooledHeader;
}

}  // namespace

struct FramePool {
    // Blocks freed by consumers, pushed from any thread; the producer takes them all at
    // once, so no block is ever popped singly and no ABA can arise.
    alignas(64) std::atomic<FrameNode*> returned{nullptr};
    // One for the queue and one for every block that exists, wherever it is.
    alignas(64) std::atomic<size_t> refs{1};
    // The producer's own free blocks, linked through next.
    FrameNode* spare = nullptr;
    size_t spareBytes = 0;
};

namespace {

void ReleasePool(FramePool* pool) {
    if (pool->refs.fetch_sub(1, std::memory_order_acq_rel) == 1) delete pool;
}

void FreePooledBlock(FrameNode* block) {
    FramePool* pool = TrailerOf(block)->pool;
    std::free(block);
    ReleasePool(pool);
}

void ReturnBlock(FrameNode* block) {
    FramePool* pool = TrailerOf(block)->pool;
    FrameNode* head = pool->returned.load(std::memory_order_relaxed);
    do {
        if (head == kPoolClosed) {
            FreePooledBlock(block);
            return;
        }
        block->next = head;
    } while (!pool->returned.compare_exchange_weak(head, block, std::memory_order_release,
                                                   std::memory_order_relaxed));
}

void FreeBlockList(FrameNode* list) {
    while (list != nullptr) {
        FrameNode* next = list->next;
        FreePooledBlock(list);
        list = next;
    }
}

// Moves what consumers returned to the producer's spares, up to the limit.
void TakeReturned(FramePool* pool) {
    FrameNode* list = pool->returned.exchange(nullptr, std::memory_order_acquire);
    while (list != nullptr) {
        FrameNode* next = list->next;
        const uint32_t capacity = TrailerOf(list)->capacity;
        if (pool->spareBytes + capacity <= kSpareBytes) {
            list->next = pool->spare;
            pool->spare = list;
            pool->spareBytes += capacity;
        } else {
            FreePooledBlock(list);
        }
        list = next;
    }
}

void ClosePool(FramePool* pool) {
    FreeBlockList(pool->returned.exchange(kPoolClosed, std::memory_order_acq_rel));
    FreeBlockList(pool->spare);
    pool->spare = nullptr;
    pool->spareBytes = 0;
    ReleasePool(pool);
}

uint32_t BlockCapacity(uint32_t size) {
    uint32_t capacity = kSmallestBlock;
    while (capacity < size && capacity < (1u << 31)) capacity <<= 1;
    return capacity < size ? size : capacity;
}

}  // namespace

FrameQueue* CreateFrameQueue() {
    void* memory = std::calloc(1, sizeof(FrameQueue));
    if (memory == nullptr) return nullptr;
    auto* pool = new (std::nothrow) FramePool;
    if (pool == nullptr) {
        std::free(memory);
        return nullptr;
    }
    FrameQueue* queue = new (memory) FrameQueue;
    queue->pool = pool;
    queue->head = nullptr;
    queue->tailLink = &queue->head;
    queue->pushedNodes.store(0, std::memory_order_relaxed);
    queue->pushedBytes.store(0, std::memory_order_relaxed);
    queue->taken = nullptr;
    queue->poppedNodes.store(0, std::memory_order_relaxed);
    queue->poppedBytes.store(0, std::memory_order_relaxed);
    queue->wantCount.store(0, std::memory_order_relaxed);
    queue->wakeSequence.store(0, std::memory_order_relaxed);
    return queue;
}

void DestroyFrameQueue(FrameQueue* queue) {
    if (queue == nullptr) return;
    ClearFrameQueue(queue);
    ClosePool(queue->pool);
    queue->~FrameQueue();
    std::free(queue);
}

void ClearFrameQueue(FrameQueue* queue) {
    if (queue == nullptr) return;
    FrameNode* detached;
    {
        std::lock_guard<FrameQueueLock> taking(queue->takeLock);
        detached = queue->taken;
        queue->taken = nullptr;
        std::lock_guard<FrameQueueLock> guard(queue->lock);
        // The producer's chain continues the taken one.
        FrameNode** link = &detached;
        while (*link != nullptr) link = &(*link)->next;
        *link = queue->head;
        queue->head = nullptr;
        queue->tailLink = &queue->head;
        queue->poppedNodes.store(queue->pushedNodes.load(std::memory_order_relaxed),
                                 std::memory_order_release);
        queue->poppedBytes.store(queue->pushedBytes.load(std::memory_order_relaxed),
                                 std::memory_order_release);
    }
    while (detached != nullptr) {
        FrameNode* next = detached->next;
        FreeFrameNode(detached);
        detached = next;
    }
}

namespace {

// Ends the consumer's futex wait, or the one it is about to start.
void BumpAndWake(FrameQueue* queue) {
    queue->wakeSequence.fetch_add(1, std::memory_order_seq_cst);
    syscall(SYS_futex, &queue->wakeSequence, FUTEX_WAKE_PRIVATE, 1, nullptr, nullptr, 0);
}

// The wake-up pairs a store and a load on each side, all sequentially consistent (the
// consumer: wantCount, then the pushed total; the producer: the pushed total, then
// wantCount), so at least one side sees the other's store: the consumer does not start
// to wait for a push it missed, or the producer wakes it.
void WakeConsumer(FrameQueue* queue, int newCount) {
    int want = queue->wantCount.load(std::memory_order_seq_cst);
    if (want <= 0 || newCount < want) return;
    // Cleared here, so pushes that follow before the consumer runs make no system call.
    if (!queue->wantCount.compare_exchange_strong(want, 0, std::memory_order_relaxed)) return;
    BumpAndWake(queue);
}

}  // namespace

int WaitForFrames(FrameQueue* queue, int count, uint32_t timeoutMs,
                  const std::atomic<uint8_t>* running) {
    if (queue == nullptr) return 0;
    if (count < 1) count = 1;
    using Clock = std::chrono::steady_clock;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    static_assert(sizeof(std::atomic<uint32_t>) == sizeof(uint32_t));
    for (;;) {
        // Sequence first, running flag after it (InterruptFrameWait stores them the other
        // way round): a stop this thread does not see bumps the sequence it waits on.
        const uint32_t sequence = queue->wakeSequence.load(std::memory_order_seq_cst);
        queue->wantCount.store(count, std::memory_order_seq_cst);
        // The popped total is this thread's own.
        const uint64_t queued = queue->pushedNodes.load(std::memory_order_seq_cst) -
                                queue->poppedNodes.load(std::memory_order_relaxed);
        if (queued >= static_cast<uint64_t>(count)) break;
        if (running && running->load(std::memory_order_seq_cst) == 0) break;
        const auto left =
            std::chrono::duration_cast<std::chrono::nanoseconds>(deadline - Clock::now()).count();
        if (left <= 0) break;
        timespec wait{static_cast<time_t>(left / 1000000000), static_cast<long>(left % 1000000000)};
        // Returns at once when a push has bumped the sequence since it was read.
        syscall(SYS_futex, &queue->wakeSequence, FUTEX_WAIT_PRIVATE, sequence, &wait, nullptr, 0);
    }
    queue->wantCount.store(0, std::memory_order_relaxed);
    return FrameCount(queue);
}

void InterruptFrameWait(FrameQueue* queue) {
    if (queue != nullptr) BumpAndWake(queue);
}

int PushFrames(FrameQueue* queue, FrameNode* first) {
    if (queue == nullptr || first == nullptr) return 0;
    // The chain still belongs to the caller, so it is measured before taking the lock;
    // the lock then covers only the pointer and counter updates.
    uint64_t nodes = 1;
    uint64_t bytes = first->length;
    FrameNode* last = first;
    while (last->next != nullptr) {
        last = last->next;
        ++nodes;
        bytes += last->length;
    }
    int newCount;
    {
        std::lock_guard<FrameQueueLock> guard(queue->lock);
        *queue->tailLink = first;
        queue->tailLink = &last->next;
        const uint64_t pushed = queue->pushedNodes.load(std::memory_order_relaxed) + nodes;
        // Sequentially consistent for the wake-up (WakeConsumer).
        queue->pushedNodes.store(pushed, std::memory_order_seq_cst);
        queue->pushedBytes.store(queue->pushedBytes.load(std::memory_order_relaxed) + bytes,
                                 std::memory_order_release);
        // Read under the lock, while the consumer cannot take this chain yet: the count
        // includes it. Popped never passes pushed: it counts only nodes pushed before.
        newCount = static_cast<int>(pushed - queue->poppedNodes.load(std::memory_order_acquire));
    }
    WakeConsumer(queue, newCount);
    return newCount;
}

FrameNode* PopFrame(FrameQueue* queue) {
    if (queue == nullptr) return nullptr;
    std::lock_guard<FrameQueueLock> taking(queue->takeLock);
    FrameNode* node = queue->taken;
    if (node == nullptr) {
        // Consumers poll; an empty queue is answered without contending for the
        // producer's lock. A stale total only means the node is taken at the next poll.
        if (queue->pushedNodes.load(std::memory_order_relaxed) ==
            queue->poppedNodes.load(std::memory_order_relaxed)) {
            return nullptr;
        }
        // Everything pushed so far, in one step: the pops that follow need no lock the
        // producer takes.
        std::lock_guard<FrameQueueLock> guard(queue->lock);
        node = queue->head;
        if (node == nullptr) return nullptr;
        queue->head = nullptr;
        queue->tailLink = &queue->head;
    }
    queue->taken = node->next;
    queue->poppedNodes.store(queue->poppedNodes.load(std::memory_order_relaxed) + 1,
                             std::memory_order_release);
    queue->poppedBytes.store(queue->poppedBytes.load(std::memory_order_relaxed) + node->length,
                             std::memory_order_release);
    node->next = nullptr;
    return node;
}

int FrameCount(FrameQueue* queue) {
    if (queue == nullptr) return 0;
    // Popped first: it never passes the pushed total read after it.
    const uint64_t popped = queue->poppedNodes.load(std::memory_order_acquire);
    const uint64_t pushed = queue->pushedNodes.load(std::memory_order_acquire);
    return pushed > popped ? static_cast<int>(pushed - popped) : 0;
}

uint64_t FrameBytes(FrameQueue* queue) {
    if (queue == nullptr) return 0;
    const uint64_t popped = queue->poppedBytes.load(std::memory_order_acquire);
    const uint64_t pushed = queue->pushedBytes.load(std::memory_order_acquire);
    return pushed > popped ? pushed - popped : 0;
}

int FillFrameNode(FrameNode* node, const unsigned char* source, uint32_t size) {
    if (node == nullptr) return 0;
    if (node->data != nullptr && node->data == PooledData(node)) {
        // Refilled, the block becomes an ordinary node and leaves its pool.
        FramePool* pool = TrailerOf(node)->pool;
        TrailerOf(node)->pool = nullptr;
        if (pool != nullptr) ReleasePool(pool);
    }
    node->next = nullptr;
    node->length = 0;
    node->data = nullptr;
    if (size == 0 || source == nullptr) return 0;
    auto* data = static_cast<unsigned char*>(std::malloc(size));
    if (data == nullptr) return 0;
    std::memcpy(data, source, size);
    node->data = data;
    node->length = size;
    return 1;
}

namespace {
// NewFrameNode keeps the packet right behind the node in one heap block, halving the
// allocations that cross from the reader thread to the consumer.
unsigned char* InlineData(FrameNode* node) {
    return reinterpret_cast<unsigned char*>(node + 1);
}
}  // namespace

void FreeFrameNode(FrameNode* node) {
    if (node == nullptr) return;
    if (node->data != nullptr && node->data == PooledData(node) && TrailerOf(node)->pool) {
        ReturnBlock(node);
        return;
    }
    if (node->data != nullptr) {
        if (node->data != InlineData(node)) std::free(node->data);
        node->data = nullptr;
        node->length = 0;
    }
    std::free(node);
}

FrameNode* NewFrameNode(const unsigned char* source, uint32_t size) {
    if (source == nullptr || size == 0) return nullptr;
    if constexpr (sizeof(size_t) <= sizeof(uint32_t)) {
        // Only a 32-bit size_t can overflow when the node header is added.
        if (size > SIZE_MAX - sizeof(FrameNode)) return nullptr;
    }
    auto* node = static_cast<FrameNode*>(std::malloc(sizeof(FrameNode) + size));
    if (node == nullptr) return nullptr;
    node->next = nullptr;
    node->length = size;
    node->data = InlineData(node);
    std::memcpy(node->data, source, size);
    return node;
}

FrameNode* NewQueueFrameNode(FrameQueue* queue, const unsigned char* source, uint32_t size) {
    if (queue == nullptr || source == nullptr || size == 0) return nullptr;
    FramePool* pool = queue->pool;
    // Read first: an empty list is left alone rather than pulled away from the consumer.
    if (pool->spare == nullptr && pool->returned.load(std::memory_order_relaxed) != nullptr) {
        TakeReturned(pool);
    }
    FrameNode* block = pool->spare;
    if (block != nullptr) {
        pool->spare = block->next;
        pool->spareBytes -= TrailerOf(block)->capacity;
        if (TrailerOf(block)->capacity < size) {
            // Too small for this packet: make room for a bigger one.
            FreePooledBlock(block);
            block = nullptr;
        }
    }
    if (block == nullptr) {
        const uint32_t capacity = BlockCapacity(size);
        if (static_cast<size_t>(capacity) > SIZE_MAX - kPooledHeader) return nullptr;
        block = static_cast<FrameNode*>(std::malloc(kPooledHeader + capacity));
        if (block == nullptr) return nullptr;
        TrailerOf(block)->pool = pool;
        TrailerOf(block)->capacity = capacity;
        pool->refs.fetch_add(1, std::memory_order_relaxed);
    }
    block->next = nullptr;
    block->length = size;
    block->data = PooledData(block);
    std::memcpy(block->data, source, size);
    return block;
}
