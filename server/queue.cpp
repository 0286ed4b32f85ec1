// Byte queue. The logical block (the bytes not yet consumed) lives at
// `head` inside an allocation of `capacity` bytes. Removing bytes from the
// front only moves `head`; appends compact or double the allocation, so
// appending and removing N bytes in pieces costs O(N) in total rather than
// one copy of the whole queue per piece.
#include "server/queue.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "log/log.h"

namespace {

// Smallest allocation: replies of a few dozen bytes should not reallocate
// on every line.
constexpr uint64_t QUEUE_MIN_CAPACITY = 256;
// Below this an allocation is never shrunk while bytes remain.
constexpr uint32_t QUEUE_SHRINK_FLOOR = 64 * 1024;

// Moves the live bytes to the front and resizes the allocation to
// newCapacity bytes. Large blocks are resized in place by the allocator
// (remapped, not copied), so growing a big queue touches no page twice.
// 1 on success; on failure the queue holds the same bytes as before.
int Reallocate(Queue* queue, uint64_t newCapacity) {
    if (queue->block && queue->head) {
        std::memmove(queue->block, queue->block + queue->head, queue->length);
        queue->head = 0;
    }
    uint8_t* resized = static_cast<uint8_t*>(std::realloc(queue->block, newCapacity));
    if (!resized) return 0;
    queue->block = resized;
    queue->capacity = static_cast<uint32_t>(newCapacity);
    return 1;
}

// After a removal: give memory back once the live bytes fill a quarter of a
// large allocation (halving keeps the cost amortised).
void MaybeShrink(Queue* queue) {
    if (queue->capacity <= QUEUE_SHRINK_FLOOR || queue->length > queue->capacity / 4) return;
    uint64_t target = static_cast<uint64_t>(queue->capacity) / 2;
    if (target < QUEUE_MIN_CAPACITY) target = QUEUE_MIN_CAPACITY;
    // A failed shrink keeps the larger block; the bytes stay correct.
    Reallocate(queue, target);
}

} // namespace

void QueueInit(Queue* queue) {
    queue->readPos = 0;
    queue->length = 0;
    queue->block = nullptr;
    queue->head = 0;
    queue->capacity = 0;
}

void QueueFree(Queue* queue) {
    if (!queue->block) return;
    std::free(queue->block);
    QueueInit(queue);
}

int AppendQueue(Queue* queue, const void* bytes, uint32_t size) {
    if (!queue->block) {
        QueueInit(queue);
        // Nothing to hold: an empty queue owns no memory.
        if (size == 0) return 1;
    }
    uint64_t needed = static_cast<uint64_t>(queue->length) + size;
    if (needed > UINT32_MAX) {
        // The length field cannot count more; the bytes already queued stay.
        LogPrintf(LOG_WARNING, "AppendQueue() error allocating data");
        return 0;
    }
    if (!queue->block || static_cast<uint64_t>(queue->head) + needed > queue->capacity) {
        if (queue->block && needed <= queue->capacity && queue->head >= queue->length) {
            // Enough dead space at the front, and compacting copies no more
            // bytes than were removed since the last copy.
            std::memmove(queue->block, queue->block + queue->head, queue->length);
            queue->head = 0;
        } else {
            uint64_t capacity = static_cast<uint64_t>(queue->capacity) * 2;
            if (capacity < needed) capacity = needed;
            if (capacity < QUEUE_MIN_CAPACITY) capacity = QUEUE_MIN_CAPACITY;
            if (capacity > UINT32_MAX) capacity = UINT32_MAX;
            if (!Reallocate(queue, capacity)) {
                // Unlike a plain resize, the old block is kept: nothing queued
                // is lost, only this append fails.
                LogPrintf(LOG_WARNING, "AppendQueue() error allocating data");
                return 0;
            }
        }
    }
    if (size) std::memcpy(queue->block + queue->head + queue->length, bytes, size);
    queue->length += size;
    return 1;
}

void QueueDiscard(Queue* queue, uint32_t count) {
    if (!queue->block) return;
    if (count > queue->length) count = queue->length;
    queue->length -= count;
    if (queue->length == 0) {
        QueueFree(queue);
        return;
    }
    queue->head += count;
    MaybeShrink(queue);
}

void QueueShrink(Queue* queue) {
    if (!queue->block || queue->readPos == 0) return;
    if (queue->readPos >= queue->length) {
        QueueFree(queue);
        return;
    }
    queue->head += queue->readPos;
    queue->length -= queue->readPos;
    queue->readPos = 0;
    MaybeShrink(queue);
}

int QueueVPrintf(Queue* queue, const char* format, va_list args) {
    // One buffer per thread, so that any thread may format without a lock.
    thread_local char buffer[QUEUE_PRINTF_MAX + 1];
    int n = std::vsnprintf(buffer, sizeof buffer, format, args);
    if (n < 0) {
        LogPrintf(LOG_WARNING, "QueueVPrintf: Formatting failed.");
        return 0;
    }
    if (n > QUEUE_PRINTF_MAX) {
        LogPrintf(LOG_TRACE0, "QueueVPrintf: Text of %d characters cut to %d.", n,
                  QUEUE_PRINTF_MAX);
        n = QUEUE_PRINTF_MAX;
    }
    if (n == 0) return 0;
    return AppendQueue(queue, buffer, static_cast<uint32_t>(n)) ? n : 0;
}

int QueuePrintf(Queue* queue, const char* format, ...) {
    va_list args;
    va_start(args, format);
    int n = QueueVPrintf(queue, format, args);
    va_end(args);
    return n;
}
