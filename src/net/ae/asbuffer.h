// A fixed-capacity byte buffer: start <= pos <= last <= end, where
// [pos, last) holds the bytes not yet consumed. The capacity never changes; a
// buffer that must grow is replaced by a larger one.
#pragma once

#include <cstddef>

struct asBuffer {
    char *start;  // first byte of the storage
    char *end;    // start + capacity
    char *pos;    // first byte not yet consumed
    char *last;   // one past the last stored byte
};

// Zero-filled storage of initSize (> 0) bytes, or null when out of memory.
asBuffer *asBufferCreate(size_t initSize);
// Empties the buffer; the storage keeps its old bytes.
void asBufferReset(asBuffer *b);
void asBufferDestroy(asBuffer *b);
