#include "net/ae/zmalloc.h"

#include <cstdlib>
#include <cstring>

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

char *zstrdup(const char *s) {
    return s != nullptr ? strdup(s) : nullptr;
}

void zfree(void *p) {
    if (p != nullptr) free(p);
}
