// A byte buffer: start <= pos <= last <= end, where [pos, last) holds the
// bytes not yet consumed. Its capacity changes only through asBufferGrow.
#pragma once

#include <cstddef>

struct asBuffer {
    char *start;  // first byte of the storage
    char *end;    // start + capacity
    char *pos;    // first byte not yet consumed
    char *last;   // one past the last stored byte
};

// Storage of initSize (> 0) bytes, not cleared, or null when out of memory.
asBuffer *asBufferCreate(size_t initSize);
// Empties the buffer; the storage keeps its old bytes. Part of the buffer's
// interface, not called by the daemon itself.
void asBufferReset(asBuffer *b);
void asBufferDestroy(asBuffer *b);
// Raises the capacity to newSize, keeping the stored bytes and their
// positions: 0, or -1 (buffer unchanged) when out of memory or when newSize
// is below the capacity.
int asBufferGrow(asBuffer *b, size_t newSize);
// Bytes of storage.
size_t asBufferCapacity(const asBuffer *b);
