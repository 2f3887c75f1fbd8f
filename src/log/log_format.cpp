#include "log/log_format.h"

#include <string.h>
#include <sys/types.h>

#include <charconv>

namespace {

struct Out {
    char *at;
    char *end;  // one before the last byte: room is always kept for the NUL

    bool put(const char *text, size_t n) {
        if (static_cast<size_t>(end - at) < n) return false;
        memcpy(at, text, n);
        at += n;
        return true;
    }
    template <typename T>
    bool number(T value) {
        auto r = std::to_chars(at, end, value);
        if (r.ec != std::errc()) return false;
        at = r.ptr;
        return true;
    }
};

enum class Length { kNone, kLong, kLongLong, kSize };

// One conversion after its '%': true when written; `conv` is advanced
// past it.
bool convert(Out &o, const char *&conv, va_list *ap) {
    const char *p = conv;
    if (*p == '%') {
        conv = p + 1;
        return o.put("%", 1);
    }
    int precision = -1;
    if (p[0] == '.' && p[1] == '*' && p[2] == 's') {
        precision = va_arg(*ap, int);
        p += 2;
    }
    Length length = Length::kNone;
    if (p[0] == 'l' && p[1] == 'l') {
        length = Length::kLongLong;
        p += 2;
    } else if (p[0] == 'l') {
        length = Length::kLong;
        p += 1;
    } else if (p[0] == 'z') {
        length = Length::kSize;
        p += 1;
    }
    const char c = *p;
    conv = p + 1;
    if (c == 's' && length == Length::kNone) {
        const char *s = va_arg(*ap, const char *);
        // glibc's text for a null string, whole or not at all as it does.
        if (s == nullptr) return precision < 0 || precision >= 6 ? o.put("(null)", 6) : true;
        size_t n = precision < 0 ? strlen(s) : strnlen(s, static_cast<size_t>(precision));
        return o.put(s, n);
    }
    if (precision >= 0) return false;
    if (c == 'c' && length == Length::kNone) {
        char ch = static_cast<char>(va_arg(*ap, int));
        return o.put(&ch, 1);
    }
    if (c == 'd' || c == 'i') {
        switch (length) {
            case Length::kNone:
                return o.number(va_arg(*ap, int));
            case Length::kLong:
                return o.number(va_arg(*ap, long));
            case Length::kLongLong:
                return o.number(va_arg(*ap, long long));
            case Length::kSize:
                return o.number(va_arg(*ap, ssize_t));
        }
    }
    if (c == 'u') {
        switch (length) {
            case Length::kNone:
                return o.number(va_arg(*ap, unsigned));
            case Length::kLong:
                return o.number(va_arg(*ap, unsigned long));
            case Length::kLongLong:
                return o.number(va_arg(*ap, unsigned long long));
            case Length::kSize:
                return o.number(va_arg(*ap, size_t));
        }
    }
    return false;
}

}  // namespace

int log_format(char *out, size_t size, const char *format, va_list ap) {
    if (size == 0) return -1;
    // Read through a copy passed by address: the conversions share it.
    va_list args;
    va_copy(args, ap);
    Out o{out, out + size - 1};
    bool ok = true;
    for (const char *p = format; ok && *p != '\0';) {
        const char *pct = strchr(p, '%');
        const size_t literal = pct == nullptr ? strlen(p) : static_cast<size_t>(pct - p);
        ok = o.put(p, literal);
        if (pct == nullptr) break;
        p = pct + 1;
        ok = ok && convert(o, p, &args);
    }
    int n = -1;
    if (ok) {
        *o.at = '\0';
        n = static_cast<int>(o.at - out);
    }
    va_end(args);
    return n;
}
