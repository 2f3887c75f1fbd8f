#include "net/ae/zmalloc.h"

#include <cstdlib>

void *zmalloc(size_t n) {
    return malloc(n);
}

void *zcalloc(size_t n) {
    return calloc(1, n);
}

void *zrealloc(void *p, size_t n) {
    if (p == nullptr) return zmalloc(n);
    return realloc(p, n);
}

void zfree(void *p) {
    if (p != nullptr) free(p);
}
