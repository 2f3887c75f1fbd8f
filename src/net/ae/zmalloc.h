// Thin allocation wrappers: the event loop and the connection records take
// their memory through these, so that allocation failure is always a null
// result and never an exception.
#pragma once

#include <cstddef>

void *zmalloc(size_t n);
// Zero-filled.
void *zcalloc(size_t n);
// zmalloc(n) when p is null.
void *zrealloc(void *p, size_t n);
// A copy of the string, or null.
char *zstrdup(const char *s);
// Does nothing for a null pointer.
void zfree(void *p);
