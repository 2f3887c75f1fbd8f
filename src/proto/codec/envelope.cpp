// Every helper either advances `p` over what it recognised and returns true,
// or returns false for "not sure"; none reads at or past `end`, which stands
// where cJSON would find the terminating NUL.
#include "proto/codec/envelope.h"

#include <cctype>
#include <clocale>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace {

using Byte = unsigned char;

// The longest number cJSON copies before calling strtod.
constexpr size_t kMaxNumberChars = 63;

enum Key { kUuid, kId, kType, kData, kKeyCount, kOther = kKeyCount };

bool IsSpace(Byte c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}
bool IsDigit(Byte c) {
    return c >= '0' && c <= '9';
}
// The characters cJSON copies into a number before strtod reads it.
bool IsNumberChar(Byte c) {
    return IsDigit(c) || c == '+' || c == '-' || c == 'e' || c == 'E' || c == '.';
}

void SkipSpace(const Byte *&p, const Byte *end) {
    while (p < end && IsSpace(*p)) ++p;
}

// Bytes that end a plain string, or make it one the subset leaves alone:
// the quote, the backslash and the control bytes.
struct StopTable {
    bool stop[256];
    constexpr StopTable() : stop() {
        for (unsigned c = 0; c < 256; ++c) stop[c] = c < 0x20 || c == '"' || c == '\\';
    }
};
constexpr StopTable kStops;

// A string without backslash or control byte; `p` at its opening quote.
bool ScanString(const Byte *&p, const Byte *end, const Byte *&begin, size_t &len) {
    begin = ++p;
    while (p < end && !kStops.stop[*p]) ++p;
    if (p == end || *p != '"') return false;
    len = static_cast<size_t>(p - begin);
    ++p;
    return true;
}

// Whether a key equals `name` as cJSON_GetObjectItem compares them: byte by
// byte through tolower, which only bytes that differ need.
bool SameKey(const Byte *key, size_t len, const char *name, size_t name_len) {
    if (len != name_len) return false;
    for (size_t i = 0; i < len; ++i) {
        const Byte n = static_cast<Byte>(name[i]);
        if (key[i] != n && std::tolower(key[i]) != std::tolower(n)) return false;
    }
    return true;
}

// Which envelope member a key names.
Key MatchKey(const Byte *key, size_t len) {
    if (SameKey(key, len, "uuid", 4)) return kUuid;
    if (SameKey(key, len, "id", 2)) return kId;
    if (SameKey(key, len, "type", 4)) return kType;
    if (SameKey(key, len, "data", 4)) return kData;
    return kOther;
}

// A number in the JSON grammar, read as cJSON reads it: the run of number
// characters is copied ('.' replaced by the locale's decimal point) and
// given to strtod. The subset makes that run the whole token, which strtod
// then takes whole.
bool ScanNumber(const Byte *&p, const Byte *end, double &value) {
    const Byte *begin = p;
    const Byte *q = p;
    if (q < end && *q == '-') ++q;
    if (q == end || !IsDigit(*q)) return false;
    if (*q == '0') {
        ++q;
    } else {
        while (q < end && IsDigit(*q)) ++q;
    }
    bool integer = true;
    if (q < end && *q == '.') {
        integer = false;
        ++q;
        if (q == end || !IsDigit(*q)) return false;
        while (q < end && IsDigit(*q)) ++q;
    }
    if (q < end && (*q == 'e' || *q == 'E')) {
        integer = false;
        ++q;
        if (q < end && (*q == '+' || *q == '-')) ++q;
        if (q == end || !IsDigit(*q)) return false;
        while (q < end && IsDigit(*q)) ++q;
    }
    const size_t len = static_cast<size_t>(q - begin);
    if (len > kMaxNumberChars || (q < end && IsNumberChar(*q))) return false;

    const bool negative = *begin == '-';
    const size_t digits = len - (negative ? 1 : 0);
    if (integer && digits <= 15) {
        // Below 2^53: the double strtod rounds to is the integer itself.
        unsigned long long n = 0;
        for (const Byte *d = begin + (negative ? 1 : 0); d < q; ++d) n = n * 10 + (*d - '0');
        value = static_cast<double>(n);
        if (negative) value = -value;
    } else {
        char copy[kMaxNumberChars + 1];
        const char point = *std::localeconv()->decimal_point;
        for (size_t i = 0; i < len; ++i) copy[i] = begin[i] == '.' ? point : begin[i];
        copy[len] = '\0';
        char *after = nullptr;
        value = std::strtod(copy, &after);
        if (after != copy + len) return false;
    }
    p = q;
    return true;
}

bool ScanLiteral(const Byte *&p, const Byte *end) {
    static constexpr const char *kWords[] = {"true", "false", "null"};
    for (const char *word : kWords) {
        const size_t n = std::strlen(word);
        if (static_cast<size_t>(end - p) >= n && std::memcmp(p, word, n) == 0) {
            p += n;
            return true;
        }
    }
    return false;
}

// From '{' to its matching bracket, strings skipped as cJSON skips them (a
// backslash takes the next byte with it). Whether the text is valid JSON
// is left to the caller's parser.
bool MatchBrackets(const Byte *&p, const Byte *end) {
    size_t depth = 0;
    for (const Byte *q = p; q < end; ++q) {
        switch (*q) {
            case '"':
                for (++q; q < end && *q != '"'; ++q)
                    if (*q == '\\' && ++q == end) return false;
                if (q == end) return false;
                break;
            case '{':
            case '[':
                ++depth;
                break;
            case '}':
            case ']':
                if (--depth == 0) {
                    p = q + 1;
                    return true;
                }
                break;
            default:
                break;
        }
    }
    return false;
}

bool IsHex(Byte c) {
    return IsDigit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// Four hexadecimal digits at `p`, as cJSON's \u escape reads them.
bool ScanHex4(const Byte *p, const Byte *end, unsigned &code) {
    if (end - p < 4) return false;
    code = 0;
    for (int i = 0; i < 4; ++i) {
        if (!IsHex(p[i])) return false;
        const unsigned digit = IsDigit(p[i]) ? p[i] - '0' : (p[i] | 0x20) - 'a' + 10;
        code = code * 16 + digit;
    }
    return true;
}

// A string in strict JSON that cJSON also takes: no control byte, the
// escapes of the grammar, a \u escape of a surrogate only as a high one
// followed by a low one (cJSON refuses any other). `p` at its opening quote.
bool SkipString(const Byte *&p, const Byte *end) {
    ++p;
    for (;;) {
        while (p < end && !kStops.stop[*p]) ++p;
        if (p == end || *p < 0x20) return false;
        if (*p == '"') {
            ++p;
            return true;
        }
        // A backslash and what it escapes.
        if (++p == end) return false;
        unsigned code = 0;
        switch (*p) {
            case '"':
            case '\\':
            case '/':
            case 'b':
            case 'f':
            case 'n':
            case 'r':
            case 't':
                break;
            case 'u':
                if (!ScanHex4(p + 1, end, code) || (code >= 0xDC00 && code <= 0xDFFF)) return false;
                p += 4;
                if (code < 0xD800 || code > 0xDBFF) break;
                if (end - p < 7 || p[1] != '\\' || p[2] != 'u' || !ScanHex4(p + 3, end, code) ||
                    code < 0xDC00 || code > 0xDFFF)
                    return false;
                p += 6;
                break;
            default:
                return false;
        }
        ++p;
    }
}

// A number in the JSON grammar that cJSON takes whole: at most
// kMaxNumberChars characters, not followed by one it would copy with it.
// Its value is not read.
bool SkipNumber(const Byte *&p, const Byte *end) {
    const Byte *q = p;
    if (*q == '-') ++q;
    if (q == end || !IsDigit(*q)) return false;
    if (*q == '0')
        ++q;
    else
        while (q < end && IsDigit(*q)) ++q;
    if (q < end && *q == '.') {
        if (++q == end || !IsDigit(*q)) return false;
        while (q < end && IsDigit(*q)) ++q;
    }
    if (q < end && (*q == 'e' || *q == 'E')) {
        ++q;
        if (q < end && (*q == '+' || *q == '-')) ++q;
        if (q == end || !IsDigit(*q)) return false;
        while (q < end && IsDigit(*q)) ++q;
    }
    if (static_cast<size_t>(q - p) > kMaxNumberChars || (q < end && IsNumberChar(*q))) return false;
    p = q;
    return true;
}

// One value, objects and arrays at most `levels` deep; the caller checks
// what follows it.
bool SkipValue(const Byte *&p, const Byte *end, int levels) {
    if (p == end) return false;
    const Byte open = *p;
    if (open == '"') return SkipString(p, end);
    if (open == '-' || IsDigit(open)) return SkipNumber(p, end);
    if (open != '{' && open != '[') return ScanLiteral(p, end);
    if (levels == 0) return false;
    const Byte close = open == '{' ? '}' : ']';
    ++p;
    SkipSpace(p, end);
    if (p < end && *p == close) {
        ++p;
        return true;
    }
    for (;;) {
        if (open == '{') {
            if (p == end || *p != '"' || !SkipString(p, end)) return false;
            SkipSpace(p, end);
            if (p == end || *p != ':') return false;
            ++p;
            SkipSpace(p, end);
        }
        if (!SkipValue(p, end, levels - 1)) return false;
        SkipSpace(p, end);
        if (p == end) return false;
        if (*p == close) {
            ++p;
            return true;
        }
        if (*p != ',') return false;
        ++p;
        SkipSpace(p, end);
    }
}

// Objects and arrays in members the envelope does not read are skipped
// this deep; deeper ones are left to cJSON.
constexpr int kSkipLevels = 32;

// One member's value; `key` says what the envelope expects of it.
bool ScanValue(const Byte *&p, const Byte *end, Key key, envelope_t *out) {
    if (p == end) return false;
    const Byte c = *p;
    if (key == kOther || (key == kData && c != '{')) return SkipValue(p, end, kSkipLevels);
    if (c == '"') {
        const Byte *begin = nullptr;
        size_t len = 0;
        if (key != kUuid || !ScanString(p, end, begin, len)) return false;
        out->uuid = reinterpret_cast<const char *>(begin);
        out->uuid_len = len;
        return true;
    }
    if (c == '-' || IsDigit(c)) {
        double value = 0;
        if (key == kUuid || !ScanNumber(p, end, value)) return false;
        if (key == kId) out->id = value;
        if (key == kType) out->type = value;
        return true;
    }
    if (c == '{' && key == kData) {
        const Byte *begin = p;
        if (!MatchBrackets(p, end)) return false;
        out->data = reinterpret_cast<const char *>(begin);
        out->data_len = static_cast<size_t>(p - begin);
        return true;
    }
    return false;
}

}  // namespace

int envelope_scan(const char *text, size_t len, envelope_t *out) {
    *out = envelope_t();
    const void *nul = std::memchr(text, '\0', len);
    const Byte *p = reinterpret_cast<const Byte *>(text);
    const Byte *end = nul != nullptr ? static_cast<const Byte *>(nul) : p + len;

    SkipSpace(p, end);
    if (p == end || *p != '{') return kEnvelopeNotSure;
    ++p;
    bool seen[kKeyCount] = {};
    for (;;) {
        SkipSpace(p, end);
        const Byte *key = nullptr;
        size_t key_len = 0;
        if (p == end || *p != '"' || !ScanString(p, end, key, key_len)) return kEnvelopeNotSure;
        const Key which = MatchKey(key, key_len);
        if (which != kOther) {
            if (seen[which]) return kEnvelopeNotSure;
            seen[which] = true;
        }
        SkipSpace(p, end);
        if (p == end || *p != ':') return kEnvelopeNotSure;
        ++p;
        SkipSpace(p, end);
        if (!ScanValue(p, end, which, out)) return kEnvelopeNotSure;
        SkipSpace(p, end);
        if (p == end) return kEnvelopeNotSure;
        if (*p == '}') break;
        if (*p != ',') return kEnvelopeNotSure;
        ++p;
    }
    return seen[kUuid] && seen[kId] && seen[kType] ? kEnvelopeFast : kEnvelopeNotSure;
}

bool envelope_value_ok(const char *text, size_t len, int max_levels) {
    const Byte *p = reinterpret_cast<const Byte *>(text);
    const Byte *end = p + len;
    return SkipValue(p, end, max_levels) && p == end;
}
