// Fatal assertions for programming errors in the event-loop modules (null
// records, negative descriptors). Unlike assert() they stay active in
// release builds: nothing a peer sends can reach them, so when one fires
// the process is in a state it must not go on from.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <cstring>

[[noreturn]] inline void aeAssertFail(const char *expr, const char *file, int line) {
    // Report the file relative to the source tree ("net/ae/asbuffer.cpp").
    const char *rel = file;
    for (const char *p = strstr(file, "src/"); p != nullptr; p = strstr(p + 1, "src/")) rel = p + 4;
    fprintf(stderr, "%s:%d: fatal assertion failed: %s\n", rel, line, expr);
    abort();
}

#define AE_ASSERT(expr) ((expr) ? (void)0 : aeAssertFail(#expr, __FILE__, __LINE__))
