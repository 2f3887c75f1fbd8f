#include "log/log_escape.h"

namespace {

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
    for (size_t i = 0; i < len; ++i) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        if (is_control(c)) n += short_escape(c) != 0 ? 1 : 3;
    }
    return n;
}

void log_escape(const char *text, size_t len, char *out) {
    static const char kHex[] = "0123456789abcdef";
    for (size_t i = 0; i < len; ++i) {
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
}
