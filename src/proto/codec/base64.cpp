// The decoders never index past `len` and never append past their computed
// output size; the lenient one is sized once from the expected length.
#include "proto/codec/base64.h"

#include <cstring>

namespace {

// Value of a base64 character, 255 for anything outside the alphabet.
constexpr unsigned Base64Value(unsigned c) {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return 255;
}

struct ValueTable {
    unsigned char v[256];
    constexpr ValueTable() : v() {
        for (unsigned c = 0; c < 256; ++c) v[c] = static_cast<unsigned char>(Base64Value(c));
    }
    constexpr unsigned operator[](unsigned char c) const { return v[c]; }
};
constexpr ValueTable kValues;

}  // namespace

size_t base64_encoded_length(size_t n) {
    return (n / 3 + (n % 3 != 0)) * 4;
}

std::string base64_encode(const void *data, size_t len) {
    std::string out;
    base64_encode_append(out, data, len);
    return out;
}

namespace {

// The two characters of each 12-bit value: a group of three bytes becomes
// two lookups instead of four.
struct PairTable {
    char v[4096][2];
    constexpr PairTable() : v() {
        for (unsigned i = 0; i < 4096; ++i) {
            v[i][0] = kBase64Alphabet[i >> 6];
            v[i][1] = kBase64Alphabet[i & 63];
        }
    }
};
constexpr PairTable kPairs;

}  // namespace

void base64_encode_append(std::string &out, const void *data, size_t len) {
    const unsigned char *in = static_cast<const unsigned char *>(data);
    const size_t at = out.size();
    out.resize(at + base64_encoded_length(len));
    char *o = &out[at];
    size_t i = 0;
    for (; i + 3 <= len; i += 3) {
        unsigned v = (unsigned(in[i]) << 16) | (unsigned(in[i + 1]) << 8) | in[i + 2];
        memcpy(o, kPairs.v[v >> 12], 2);
        memcpy(o + 2, kPairs.v[v & 4095], 2);
        o += 4;
    }
    if (len - i == 1) {
        unsigned v = unsigned(in[i]) << 16;
        o[0] = kBase64Alphabet[(v >> 18) & 63];
        o[1] = kBase64Alphabet[(v >> 12) & 63];
        o[2] = '=';
        o[3] = '=';
    } else if (len - i == 2) {
        unsigned v = (unsigned(in[i]) << 16) | (unsigned(in[i + 1]) << 8);
        o[0] = kBase64Alphabet[(v >> 18) & 63];
        o[1] = kBase64Alphabet[(v >> 12) & 63];
        o[2] = kBase64Alphabet[(v >> 6) & 63];
        o[3] = '=';
    }
}

namespace {

// Checks the text against the lenient decoder's rules: false when it does
// not decode, else the number of bytes it yields and where its data ends
// (the first '=' or the end).
bool DecodedLength(const char *text, size_t len, size_t &expected, size_t &end) {
    size_t pad = 0;
    while (pad < len && text[len - 1 - pad] == '=') pad++;
    // floor(len * 6 / 8) without overflow.
    size_t full = (len / 4) * 3 + (len % 4) * 3 / 4;
    if (pad > full) return false;
    expected = full - pad;

    const void *first_pad = std::memchr(text, '=', len);
    end = first_pad != nullptr ? static_cast<size_t>(static_cast<const char *>(first_pad) - text)
                               : len;

    // What decoding up to `end` yields: three bytes per group of four, one or
    // two for a final group of two or three, none for a single leftover. Any
    // other count than the expected one fails, so the output is sized once.
    const size_t rest = end % 4;
    const size_t produced = (end / 4) * 3 + (rest >= 2 ? rest - 1 : 0);
    return produced == expected;
}

// Decodes text[0, end) into exactly the bytes DecodedLength counted.
void DecodeGroups(const char *text, size_t end, unsigned char *o) {
    const unsigned char *t = reinterpret_cast<const unsigned char *>(text);
    const size_t rest = end % 4;
    size_t i = 0;
    for (; i + 4 <= end; i += 4) {
        unsigned a = kValues[t[i]], b = kValues[t[i + 1]];
        unsigned c = kValues[t[i + 2]], d = kValues[t[i + 3]];
        o[0] = static_cast<unsigned char>((a << 2) + ((b >> 4) & 3));
        o[1] = static_cast<unsigned char>((b << 4) + ((c >> 2) & 15));
        o[2] = static_cast<unsigned char>((c << 6) + d);
        o += 3;
    }
    if (rest >= 2) {
        unsigned a = kValues[t[i]], b = kValues[t[i + 1]];
        o[0] = static_cast<unsigned char>((a << 2) + ((b >> 4) & 3));
        if (rest == 3)
            o[1] = static_cast<unsigned char>((b << 4) + ((kValues[t[i + 2]] >> 2) & 15));
    }
}

}  // namespace

bool base64_decode(const char *text, size_t len, std::string &out) {
    out.clear();
    if (text == nullptr) return len == 0;
    size_t expected = 0, end = 0;
    if (!DecodedLength(text, len, expected, end)) return false;
    out.resize(expected);
    DecodeGroups(text, end, reinterpret_cast<unsigned char *>(&out[0]));
    return true;
}

bool base64_decode_to(const char *text, size_t len, char *out, size_t cap, size_t &out_len) {
    out_len = 0;
    if (text == nullptr) return len == 0;
    size_t expected = 0, end = 0;
    if (!DecodedLength(text, len, expected, end) || expected > cap) return false;
    DecodeGroups(text, end, reinterpret_cast<unsigned char *>(out));
    out_len = expected;
    return true;
}

bool base64_decode_strict(const char *text, size_t len, std::string &out) {
    out.clear();
    if (len % 4 != 0 || (text == nullptr && len != 0)) return false;
    size_t pad = 0;
    if (len > 0 && text[len - 1] == '=') pad++;
    if (len > 1 && text[len - 2] == '=') pad++;
    const size_t data_len = len - pad;
    for (size_t i = 0; i < data_len; i++) {
        if (Base64Value(text[i]) == 255) return false;
    }
    // Unused low bits of the last character must be zero.
    if (pad == 1 && (Base64Value(text[data_len - 1]) & 3) != 0) return false;
    if (pad == 2 && (Base64Value(text[data_len - 1]) & 15) != 0) return false;
    if (!base64_decode(text, len, out)) return false;
    return true;
}
