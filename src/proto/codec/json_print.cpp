#include "proto/codec/json_print.h"

#include <cjson/cJSON.h>

#include <cstring>

#include "proto/codec/json.h"

namespace {

// For each byte: 0 when copied as it is, the letter after the backslash for
// a two-byte escape, 'u' for \u00xx.
struct EscapeTable {
    char v[256];
    constexpr EscapeTable() : v() {
        for (unsigned c = 0; c < 0x20; ++c) v[c] = 'u';
        set('"', '"');
        set('\\', '\\');
        set('\b', 'b');
        set('\f', 'f');
        set('\n', 'n');
        set('\r', 'r');
        set('\t', 't');
    }
    constexpr void set(char c, char escape) { v[static_cast<unsigned char>(c)] = escape; }
};
constexpr EscapeTable kEscape;

constexpr char kHex[] = "0123456789abcdef";

}  // namespace

char *json_print_string(char *out, const char *s, size_t len) {
    *out++ = '"';
    const unsigned char *in = reinterpret_cast<const unsigned char *>(s);
    size_t i = 0;
    while (i < len) {
        // A run of bytes copied as they are, then one escaped.
        const size_t start = i;
        while (i < len && kEscape.v[in[i]] == 0) ++i;
        memcpy(out, s + start, i - start);
        out += i - start;
        if (i == len) break;
        const unsigned char c = in[i++];
        const char e = kEscape.v[c];
        *out++ = '\\';
        *out++ = e;
        if (e == 'u') {
            *out++ = '0';
            *out++ = '0';
            *out++ = kHex[c >> 4];
            *out++ = kHex[c & 15];
        }
    }
    *out++ = '"';
    return out;
}

bool json_print_nested(const cJSON *value, size_t depth, std::string &out) {
    JsonText printed(cJSON_Print(value));
    if (printed == nullptr) return false;
    for (const char *p = printed.get(); *p != '\0'; ++p) {
        out.push_back(*p);
        if (*p == '\n') out.append(depth, '\t');
    }
    return true;
}
