// The decoders never index past `len` and never append past their computed
// output size; the lenient one is sized once from the expected length.
#include "proto/codec/base64.h"

namespace {

// Value of a base64 character, 255 for anything outside the alphabet.
unsigned Base64Value(unsigned char c) {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return 255;
}

}  // namespace

size_t base64_encoded_length(size_t n) {
    return (n / 3 + (n % 3 != 0)) * 4;
}

std::string base64_encode(const void *data, size_t len) {
    const unsigned char *in = static_cast<const unsigned char *>(data);
    std::string out;
    out.reserve(base64_encoded_length(len));
    size_t i = 0;
    for (; i + 3 <= len; i += 3) {
        unsigned v = (unsigned(in[i]) << 16) | (unsigned(in[i + 1]) << 8) | in[i + 2];
        out.push_back(kBase64Alphabet[(v >> 18) & 63]);
        out.push_back(kBase64Alphabet[(v >> 12) & 63]);
        out.push_back(kBase64Alphabet[(v >> 6) & 63]);
        out.push_back(kBase64Alphabet[v & 63]);
    }
    if (len - i == 1) {
        unsigned v = unsigned(in[i]) << 16;
        out.push_back(kBase64Alphabet[(v >> 18) & 63]);
        out.push_back(kBase64Alphabet[(v >> 12) & 63]);
        out.append("==");
    } else if (len - i == 2) {
        unsigned v = (unsigned(in[i]) << 16) | (unsigned(in[i + 1]) << 8);
        out.push_back(kBase64Alphabet[(v >> 18) & 63]);
        out.push_back(kBase64Alphabet[(v >> 12) & 63]);
        out.push_back(kBase64Alphabet[(v >> 6) & 63]);
        out.push_back('=');
    }
    return out;
}

bool base64_decode(const char *text, size_t len, std::string &out) {
    out.clear();
    if (text == nullptr) return len == 0;

    size_t pad = 0;
    while (pad < len && text[len - 1 - pad] == '=') pad++;
    // floor(len * 6 / 8) without overflow.
    size_t full = (len / 4) * 3 + (len % 4) * 3 / 4;
    if (pad > full) return false;
    const size_t expected = full - pad;

    size_t end = 0;
    while (end < len && text[end] != '=') end++;

    out.reserve(expected);
    // Appends one byte unless that would pass the expected length.
    auto put = [&out, expected](unsigned byte) {
        if (out.size() >= expected) return false;
        out.push_back(static_cast<char>(byte & 0xFF));
        return true;
    };

    size_t i = 0;
    for (; i + 4 <= end; i += 4) {
        unsigned a = Base64Value(text[i]), b = Base64Value(text[i + 1]);
        unsigned c = Base64Value(text[i + 2]), d = Base64Value(text[i + 3]);
        if (!put((a << 2) + ((b >> 4) & 3)) || !put((b << 4) + ((c >> 2) & 15)) ||
            !put((c << 6) + d)) {
            out.clear();
            return false;
        }
    }
    size_t rest = end - i;
    if (rest >= 2) {
        unsigned a = Base64Value(text[i]), b = Base64Value(text[i + 1]);
        bool ok = put((a << 2) + ((b >> 4) & 3));
        if (ok && rest == 3) ok = put((b << 4) + ((Base64Value(text[i + 2]) >> 2) & 15));
        if (!ok) {
            out.clear();
            return false;
        }
    }
    if (out.size() != expected) {
        out.clear();
        return false;
    }
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
