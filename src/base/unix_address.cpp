#include "base/unix_address.h"

#include <stdio.h>
#include <string.h>

namespace {

// Writes "<what>" or, with a name, "<what>: <name>" (the name as far as it
// is text: an abstract name may hold zero bytes) into err.
unix_address_result_t unix_address_fail(unix_address_result_t code, const char *what,
                                        const char *name, size_t n, char *err, size_t errlen) {
    if (err == nullptr || errlen == 0) return code;
    if (name == nullptr) {
        snprintf(err, errlen, "%s", what);
        return code;
    }
    const size_t shown = strnlen(name, n < errlen ? n : errlen);
    snprintf(err, errlen, "%s: %.*s", what, static_cast<int>(shown), name);
    return code;
}

}  // namespace

unix_address_result_t unix_address_fill(const char *name, size_t n, struct sockaddr_un *sa,
                                        socklen_t *len, char *err, size_t errlen) {
    memset(sa, 0, sizeof(*sa));
    sa->sun_family = AF_UNIX;
    *len = 0;
    if (name == nullptr || n == 0)
        return unix_address_fail(kUnixAddressEmpty, "socket name missing", nullptr, 0, err, errlen);
    if (name[0] == '@') {
        // Abstract: a leading zero byte, then exactly the name's bytes.
        const size_t body = n - 1;
        if (body == 0)
            return unix_address_fail(kUnixAddressEmpty, "abstract socket name empty", nullptr, 0,
                                     err, errlen);
        if (body > kUnixNameMax)
            return unix_address_fail(kUnixAddressTooLong, "socket name too long", name, n, err,
                                     errlen);
        memcpy(sa->sun_path + 1, name + 1, body);
        *len = static_cast<socklen_t>(offsetof(struct sockaddr_un, sun_path) + 1 + body);
        return kUnixAddressOk;
    }
    // A file path: its bytes and the terminator the zeroed address holds.
    if (n > kUnixNameMax)
        return unix_address_fail(kUnixAddressTooLong, "socket name too long", name, n, err, errlen);
    if (memchr(name, '\0', n) != nullptr)
        return unix_address_fail(kUnixAddressZeroByte, "socket path holds a zero byte", name, n,
                                 err, errlen);
    memcpy(sa->sun_path, name, n);
    *len = static_cast<socklen_t>(offsetof(struct sockaddr_un, sun_path) + n + 1);
    return kUnixAddressOk;
}
