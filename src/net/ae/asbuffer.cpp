#include "net/ae/asbuffer.h"

#include "net/ae/ae_assert.h"
#include "net/ae/zmalloc.h"

asBuffer *asBufferCreate(size_t initSize) {
    AE_ASSERT(initSize > 0);
    auto *b = static_cast<asBuffer *>(zcalloc(sizeof(asBuffer)));
    if (b == nullptr) return nullptr;
    // Not cleared: only bytes that were written are ever read, and clearing
    // would make every page of a large buffer resident at once.
    b->start = static_cast<char *>(zmalloc(initSize));
    if (b->start == nullptr) {
        zfree(b);
        return nullptr;
    }
    b->pos = b->last = b->start;
    b->end = b->start + initSize;
    return b;
}

void asBufferReset(asBuffer *b) {
    AE_ASSERT(b != NULL && b->pos != NULL);
    b->pos = b->last = b->start;
}

void asBufferDestroy(asBuffer *b) {
    AE_ASSERT(b != NULL && b->start != NULL);
    zfree(b->start);
    zfree(b);
}

int asBufferGrow(asBuffer *b, size_t newSize) {
    AE_ASSERT(b != NULL && b->start != NULL);
    size_t cap = static_cast<size_t>(b->end - b->start);
    if (newSize < cap) return -1;
    if (newSize == cap) return 0;
    size_t pos = static_cast<size_t>(b->pos - b->start);
    size_t last = static_cast<size_t>(b->last - b->start);
    char *p = static_cast<char *>(zrealloc(b->start, newSize));
    if (p == nullptr) return -1;
    b->start = p;
    b->pos = p + pos;
    b->last = p + last;
    b->end = p + newSize;
    return 0;
}

size_t asBufferCapacity(const asBuffer *b) {
    return static_cast<size_t>(b->end - b->start);
}
