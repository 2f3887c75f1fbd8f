// A small printf for log messages. Almost every message of the daemon uses
// only %s, %d and their long, unsigned and size_t forms; formatting those
// directly costs a fraction of vsnprintf, which sets up a stream for every
// call. Anything else is left to vsnprintf by the caller.
//
// Pure function: no allocation, no global state, no locale.
#pragma once

#include <stdarg.h>
#include <stddef.h>

// Formats `format` with `ap` into `out` (room for `size` bytes) exactly as
// vsnprintf would, for the conversions %s, %.*s, %c, %d, %i, %u, %ld, %li,
// %lu, %lld, %lli, %llu, %zu, %zd and %% without flags or width. Returns
// the length written (a NUL follows it), or -1 when the format holds any
// other conversion or the text does not fit, `out` then unspecified. `ap`
// is read through a copy, so the caller may format again from it.
int log_format(char *out, size_t size, const char *format, va_list ap);
