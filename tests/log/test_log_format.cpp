// The log's own printf must write exactly what vsnprintf writes for every
// conversion it takes on, and hand back everything else.
#include <gtest/gtest.h>
#include <stdarg.h>

#include <climits>
#include <cstdint>
#include <string>

#include "log/log_format.h"

namespace {

struct Formatted {
    int fast;          // log_format's result
    std::string text;  // its text when it formatted
    std::string reference;
};

__attribute__((format(printf, 2, 3))) Formatted Both(size_t size, const char *format, ...) {
    char fast[256];
    char reference[256];
    va_list ap;
    va_start(ap, format);
    Formatted f;
    f.fast = log_format(fast, size, format, ap);
    if (f.fast >= 0) f.text.assign(fast, static_cast<size_t>(f.fast));
    // log_format reads a copy: the same list still formats the reference.
    vsnprintf(reference, sizeof(reference), format, ap);
    va_end(ap);
    f.reference = reference;
    return f;
}

#define EXPECT_SAME(...)                                                       \
    do {                                                                       \
        Formatted f = Both(256, __VA_ARGS__);                                  \
        EXPECT_GE(f.fast, 0) << #__VA_ARGS__;                                  \
        EXPECT_EQ(f.text, f.reference) << #__VA_ARGS__;                        \
        EXPECT_EQ(static_cast<size_t>(f.fast), f.text.size()) << #__VA_ARGS__; \
    } while (0)

#define EXPECT_HANDED_BACK(...)                \
    do {                                       \
        Formatted f = Both(256, __VA_ARGS__);  \
        EXPECT_EQ(f.fast, -1) << #__VA_ARGS__; \
    } while (0)

TEST(LogFormat, SameTextAsVsnprintf) {
    // Read through a volatile, so the compiler does not warn about the
    // null it is meant to carry.
    const char *volatile null_source = nullptr;
    const char *null_text = null_source;
    EXPECT_SAME("init log successfully");
    EXPECT_SAME("%s", "");
    EXPECT_SAME("try to handle client: %s from listener: %s,fd: %d", "unix:", "secsoft", 13);
    EXPECT_SAME("%d %d %d %i", 0, -1, INT_MIN, INT_MAX);
    EXPECT_SAME("%u %u", 0u, UINT_MAX);
    EXPECT_SAME("%ld %ld %li", LONG_MIN, LONG_MAX, -7L);
    EXPECT_SAME("%lu %llu %lld %lli", ULONG_MAX, ULLONG_MAX, LLONG_MIN, LLONG_MAX);
    EXPECT_SAME("%zu %zd", SIZE_MAX, static_cast<ssize_t>(-3));
    EXPECT_SAME("100%% done, %c%c", 'o', 'k');
    EXPECT_SAME("%s|%s", null_text, "after a null");
    EXPECT_SAME("[%.*s]", 3, "abcdef");
    EXPECT_SAME("[%.*s]", 0, "abcdef");
    EXPECT_SAME("[%.*s]", 10, "abc");
    EXPECT_SAME("[%.*s]", -1, "whole when negative");
    EXPECT_SAME("[%.*s]", 5, null_text);
    EXPECT_SAME("[%.*s]", 6, null_text);
    EXPECT_SAME("[%.*s]", -1, null_text);
    EXPECT_SAME("%s", "UTF-8 终端 and \x01 control bytes pass as they are");
}

TEST(LogFormat, OtherConversionsAreHandedBack) {
    EXPECT_HANDED_BACK("%04o", 0600u);
    EXPECT_HANDED_BACK("%-5d|", 42);
    EXPECT_HANDED_BACK("%1.15g", 0.5);
    EXPECT_HANDED_BACK("%x", 255u);
    EXPECT_HANDED_BACK("%p", static_cast<void *>(nullptr));
    EXPECT_HANDED_BACK("%m");
    EXPECT_HANDED_BACK("%5s", "a");
    EXPECT_HANDED_BACK("%.3s", "abcdef");
    EXPECT_HANDED_BACK("%.*d", 3, 7);
    EXPECT_HANDED_BACK("%hd", 1);
    EXPECT_HANDED_BACK("%ls", L"wide");
    EXPECT_HANDED_BACK("%s then %f", "text", 1.0);
}

// Formats without the compiler's checks, for formats it would refuse.
int Unchecked(char *out, size_t size, const char *format, ...) {
    va_list ap;
    va_start(ap, format);
    int n = log_format(out, size, format, ap);
    va_end(ap);
    return n;
}

TEST(LogFormat, ALoneTrailingPercentIsHandedBack) {
    char out[64];
    EXPECT_EQ(Unchecked(out, sizeof(out), "ends with a lone %"), -1);
}

// What does not fit (its NUL included) is handed back whole, never cut.
TEST(LogFormat, TextThatDoesNotFitIsHandedBack) {
    struct Case {
        size_t size;
        int expect;
    };
    for (Case c : {Case{0, -1}, Case{1, -1}, Case{11, -1}, Case{12, 11}, Case{64, 11}}) {
        char out[64];
        EXPECT_EQ(Unchecked(out, c.size, "%s %d", "hello", 12345), c.expect) << c.size;
        if (c.expect >= 0) {
            EXPECT_STREQ(out, "hello 12345");
        }
    }
}

}  // namespace
