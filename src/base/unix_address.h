// The address of a Unix socket name, built one way for the listener, the
// client library, readiness reports and the journal.
//
// "@name" is the abstract name "name": the address is a zero byte followed
// by exactly the name's bytes (any bytes, a zero byte too), with no
// terminator; its length is offsetof(sockaddr_un, sun_path) + 1 + n, and n
// is at most sizeof(sun_path) - 1 = 107. Anything else is a file path: its
// bytes and a terminating zero byte, so at most 107 bytes and none of them
// zero; its length is offsetof(sun_path) + n + 1. An empty name and "@"
// alone are refused. A name that does not fit is refused, never cut.
#pragma once

#include <stddef.h>
#include <sys/socket.h>
#include <sys/un.h>

// The longest abstract name after the '@', and the longest file path.
constexpr size_t kUnixNameMax = sizeof(sockaddr_un::sun_path) - 1;

enum unix_address_result_t {
    kUnixAddressOk = 0,
    kUnixAddressEmpty = -1,     // "socket name missing", "abstract socket name empty"
    kUnixAddressTooLong = -2,   // "socket name too long: <name>"
    kUnixAddressZeroByte = -3,  // "socket path holds a zero byte: <name up to it>"
};

// Fills `sa` (zeroed first) and `*len` for the `n` bytes of `name` (null
// with n 0 is the empty name). On failure `*len` is 0 and, when `err` is
// non-null, the reason (cut to fit, always terminated) is written into the
// `errlen` bytes of `err`.
unix_address_result_t unix_address_fill(const char *name, size_t n, struct sockaddr_un *sa,
                                        socklen_t *len, char *err, size_t errlen);
