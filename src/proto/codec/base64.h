// Base64 as the daemon speaks it: the standard RFC 4648 encoder, the
// daemon's lenient request decoder and a strict decoder for peers that want
// to check what the daemon sent.
//
// Pure functions: bytes in, result out; no logging, no global state.
#pragma once

#include <cstddef>
#include <string>

constexpr const char kBase64Alphabet[] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// Length of the standard encoding of n bytes: 4 * ceil(n / 3).
size_t base64_encoded_length(size_t n);

// Standard alphabet, '=' padding, no line breaks.
std::string base64_encode(const void *data, size_t len);
// The same, appended to `out`.
void base64_encode_append(std::string &out, const void *data, size_t len);
inline std::string base64_encode(const std::string &data) {
    return base64_encode(data.data(), data.size());
}

// The request decoder. The expected length is floor(len * 3 / 4) minus the
// run of '=' at the end of the text; decoding stops at the first '=' or the
// end, characters outside the alphabet count as 255, a final group of two or
// three characters yields one or two bytes and a single leftover character
// none. Succeeds only when exactly the expected number of bytes came out;
// never produces more than that. On failure `out` is cleared.
bool base64_decode(const char *text, size_t len, std::string &out);
// The same decoder into the caller's buffer of `cap` bytes: false, with
// `out_len` 0, also when the result would not fit; nothing is written past
// the decoded bytes.
bool base64_decode_to(const char *text, size_t len, char *out, size_t cap, size_t &out_len);
// Bytes the request decoder yields at most from `len` characters.
constexpr size_t base64_max_decoded_length(size_t len) {
    return len / 4 * 3 + len % 4 * 3 / 4;
}

// Canonical RFC 4648 only: length a multiple of four, alphabet characters,
// at most two '=' and only at the end, unused bits zero.
bool base64_decode_strict(const char *text, size_t len, std::string &out);
