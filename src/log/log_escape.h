// Escaping of control bytes in log messages, so that whatever a message
// carries (a peer's product name, a raw request line) it stays on its own
// line and cannot pass for another one.
//
// Bytes below 0x20 and 0x7f become "\n", "\r", "\t" or "\xNN" (two lowercase
// hex digits); every other byte, UTF-8 included, is kept as it is. A
// backslash is not escaped, so a text without control bytes is unchanged.
#pragma once

#include <stddef.h>

// Length of `text` (`len` bytes, NUL bytes included) once escaped; equal to
// `len` when it holds no control byte.
size_t log_escaped_length(const char *text, size_t len);

// Writes the escaped form of `text` into `out`, which has room for
// log_escaped_length(text, len) bytes (4 * len always suffices); no NUL is
// added. Returns the number of bytes written.
size_t log_escape(const char *text, size_t len, char *out);
