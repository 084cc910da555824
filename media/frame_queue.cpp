#include "media/frame_queue.h"

#include <cstdlib>
#include <cstring>
#include <new>

FrameQueue* CreateFrameQueue() {
    void* memory = std::calloc(1, sizeof(FrameQueue));
    if (memory == nullptr) return nullptr;
    FrameQueue* queue = new (memory) FrameQueue;
    queue->head = nullptr;
    queue->tailLink = &queue->head;
    queue->count.store(0, std::memory_order_relaxed);
    queue->totalBytes.store(0, std::memory_order_relaxed);
    return queue;
}

void DestroyFrameQueue(FrameQueue* queue) {
    if (queue == nullptr) return;
    ClearFrameQueue(queue);
    queue->~FrameQueue();
    std::free(queue);
}

void ClearFrameQueue(FrameQueue* queue) {
    if (queue == nullptr) return;
    FrameNode* detached = nullptr;
    {
        std::lock_guard<std::mutex> guard(queue->lock);
        if (queue->head != nullptr) {
            detached = queue->head;
            queue->head = nullptr;
            queue->tailLink = &queue->head;
            queue->count.store(0, std::memory_order_relaxed);
            queue->totalBytes.store(0, std::memory_order_relaxed);
        }
    }
    while (detached != nullptr) {
        FrameNode* next = detached->next;
        FreeFrameNode(detached);
        detached = next;
    }
}

int PushFrames(FrameQueue* queue, FrameNode* first) {
    if (queue == nullptr || first == nullptr) return 0;
    // The chain still belongs to the caller, so it is measured before taking the lock;
    // the lock then covers only the pointer and counter updates.
    int nodes = 1;
    uint64_t bytes = first->length;
    FrameNode* last = first;
    while (last->next != nullptr) {
        last = last->next;
        ++nodes;
        bytes += last->length;
    }
    int newCount;
    {
        std::lock_guard<std::mutex> guard(queue->lock);
        *queue->tailLink = first;
        queue->tailLink = &last->next;
        newCount = queue->count.load(std::memory_order_relaxed) + nodes;
        queue->count.store(newCount, std::memory_order_relaxed);
        queue->totalBytes.store(queue->totalBytes.load(std::memory_order_relaxed) + bytes,
                                std::memory_order_relaxed);
    }
    return newCount;
}

FrameNode* PopFrame(FrameQueue* queue) {
    if (queue == nullptr) return nullptr;
    // Consumers poll; an empty queue is answered without contending for the lock. A
    // stale zero only means the node is taken at the next poll.
    if (queue->count.load(std::memory_order_relaxed) == 0) return nullptr;
    FrameNode* node;
    {
        std::lock_guard<std::mutex> guard(queue->lock);
        node = queue->head;
        if (node == nullptr) return nullptr;
        queue->head = node->next;
        if (queue->head == nullptr) queue->tailLink = &queue->head;
        queue->count.store(queue->count.load(std::memory_order_relaxed) - 1,
                           std::memory_order_relaxed);
        queue->totalBytes.store(queue->totalBytes.load(std::memory_order_relaxed) - node->length,
                                std::memory_order_relaxed);
    }
    node->next = nullptr;
    return node;
}

int FrameCount(FrameQueue* queue) {
    if (queue == nullptr) return 0;
    return queue->count.load(std::memory_order_relaxed);
}

uint64_t FrameBytes(FrameQueue* queue) {
    if (queue == nullptr) return 0;
    return queue->totalBytes.load(std::memory_order_relaxed);
}

int FillFrameNode(FrameNode* node, const unsigned char* source, uint32_t size) {
    if (node == nullptr) return 0;
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
