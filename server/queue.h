// Byte queue: a growable block holding the bytes not yet consumed, with a read
// position for consumers that take bytes from the front (input queues).
//
// Storage grows and shrinks amortised: the logical block starts at `head`
// inside the allocation, so removing bytes from the front moves nothing until
// the dead space is worth compacting, and appends double the capacity. Every
// result is as if the block were exactly `length` bytes long.
#pragma once

#include <cstdarg>
#include <cstdint>

struct Queue {
    uint32_t readPos;  // first unconsumed byte (input side), relative to the block's start
    uint32_t length;   // bytes held, counted from the block's start
    uint8_t* block;    // storage; nullptr = empty, owns no memory
    uint32_t head;     // offset of the block's start inside the allocation
    uint32_t capacity; // bytes allocated
};

// Largest formatted append; longer text is cut (with a trace record).
constexpr int QUEUE_PRINTF_MAX = 2048;

void QueueInit(Queue* queue);
void QueueFree(Queue* queue);
int AppendQueue(Queue* queue, const void* bytes, uint32_t size);
void QueueDiscard(Queue* queue, uint32_t count);
void QueueShrink(Queue* queue);
int QueueVPrintf(Queue* queue, const char* format, va_list args);
int QueuePrintf(Queue* queue, const char* format, ...) __attribute__((format(printf, 2, 3)));

// The block's first byte (offset 0), or nullptr when the queue is empty.
inline uint8_t* QueueBytes(Queue* queue) {
    return queue->block ? queue->block + queue->head : nullptr;
}
// Bytes between readPos and length.
inline uint32_t QueueUnread(const Queue* queue) {
    return queue->block && queue->length > queue->readPos ? queue->length - queue->readPos : 0;
}
