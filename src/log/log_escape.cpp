#include "log/log_escape.h"

#include <stdint.h>
#include <string.h>

namespace {

constexpr uint64_t kOnes = 0x0101010101010101ull;
constexpr uint64_t kHighs = 0x8080808080808080ull;

// Whether any of the 8 bytes of `w` is a control byte (below 0x20, or
// 0x7f). Bytes of 0x80 and above never count: the high bit of each byte is
// masked with the byte's own inverse.
bool word_has_control(uint64_t w) {
    const uint64_t below_space = (w - kOnes * 0x20) & ~w & kHighs;
    const uint64_t x = w ^ (kOnes * 0x7f);
    const uint64_t del = (x - kOnes) & ~x & kHighs;
    return (below_space | del) != 0;
}

// Length of the run of bytes from the start of `text` that holds no control
// byte, found 8 bytes at a time: messages rarely carry any.
size_t plain_run(const char *text, size_t len) {
    size_t i = 0;
    for (; i + 8 <= len; i += 8) {
        uint64_t w;
        memcpy(&w, text + i, 8);
        if (word_has_control(w)) break;
    }
    return i;
}

bool is_control(unsigned char c) {
    return c < 0x20 || c == 0x7f;
}

// Short form of a control byte, or 0 when it takes the "\xNN" form.
char short_escape(unsigned char c) {
    switch (c) {
        case '\n':
            return 'n';
        case '\r':
            return 'r';
        case '\t':
            return 't';
        default:
            return 0;
    }
}

}  // namespace

size_t log_escaped_length(const char *text, size_t len) {
    size_t n = len;
    for (size_t i = plain_run(text, len); i < len; ++i) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        if (is_control(c)) n += short_escape(c) != 0 ? 1 : 3;
    }
    return n;
}

size_t log_escape(const char *text, size_t len, char *out) {
    char *const start = out;
    static const char kHex[] = "0123456789abcdef";
    const size_t plain = plain_run(text, len);
    memcpy(out, text, plain);
    out += plain;
    for (size_t i = plain; i < len; ++i) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        if (!is_control(c)) {
            *out++ = static_cast<char>(c);
            continue;
        }
        *out++ = '\\';
        char s = short_escape(c);
        if (s != 0) {
            *out++ = s;
        } else {
            *out++ = 'x';
            *out++ = kHex[c >> 4];
            *out++ = kHex[c & 0x0f];
        }
    }
    return static_cast<size_t>(out - start);
}
