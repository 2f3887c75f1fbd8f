#include "net/ae/asbuffer.h"

#include "net/ae/ae_assert.h"
#include "net/ae/zmalloc.h"

asBuffer *asBufferCreate(size_t initSize) {
    AE_ASSERT(initSize > 0);
    auto *b = static_cast<asBuffer *>(zcalloc(sizeof(asBuffer)));
    if (b == nullptr) return nullptr;
    b->start = static_cast<char *>(zcalloc(initSize));
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
