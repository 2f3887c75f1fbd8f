#include "proto/codec/utf8.h"

size_t utf8_sequence_length(const std::string &s, size_t i) {
    // Past the end reads as 0x100, which is in no range below.
    auto byte = [&s](size_t at) -> unsigned {
        return at < s.size() ? static_cast<unsigned char>(s[at]) : 0x100;
    };
    auto in = [](unsigned b, unsigned lo, unsigned hi) { return b >= lo && b <= hi; };
    const unsigned b0 = byte(i), b1 = byte(i + 1), b2 = byte(i + 2), b3 = byte(i + 3);
    if (b0 < 0x80) return 1;
    if (in(b0, 0xC2, 0xDF)) return in(b1, 0x80, 0xBF) ? 2 : 0;
    if (in(b0, 0xE0, 0xEF)) {
        const unsigned lo = b0 == 0xE0 ? 0xA0 : 0x80, hi = b0 == 0xED ? 0x9F : 0xBF;
        return in(b1, lo, hi) && in(b2, 0x80, 0xBF) ? 3 : 0;
    }
    if (in(b0, 0xF0, 0xF4)) {
        const unsigned lo = b0 == 0xF0 ? 0x90 : 0x80, hi = b0 == 0xF4 ? 0x8F : 0xBF;
        return in(b1, lo, hi) && in(b2, 0x80, 0xBF) && in(b3, 0x80, 0xBF) ? 4 : 0;
    }
    return 0;
}
