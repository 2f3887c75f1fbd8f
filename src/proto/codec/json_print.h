// JSON text written straight into a caller's buffer, byte for byte as
// cJSON 1.7 prints it, for messages whose layout is fixed and that are too
// frequent to build as a tree first.
//
// Pure functions, no global state; only json_print_nested allocates.
#pragma once

#include <cstddef>
#include <string>

struct cJSON;

// Most bytes json_print_string writes for `len` bytes of text: every byte
// escaped as \u00xx, and the two quotes.
constexpr size_t json_print_string_max(size_t len) {
    return 6 * len + 2;
}

// Writes the `len` bytes at `s` (none of them NUL, as in any cJSON string)
// as cJSON prints a string: quoted; '"' and '\\' escaped with a backslash;
// \b \f \n \r \t as such; the other bytes below 0x20 as \u00xx in lowercase
// hex; every other byte, 0x7f, UTF-8 and invalid UTF-8 alike, copied as it
// is. Returns the end of what it wrote.
char *json_print_string(char *out, const char *s, size_t len);

// Appends `value` printed by cJSON_Print as it appears nested `depth` levels
// inside an object: cJSON breaks lines only between the members of an
// object (a line feed inside a string is escaped) and follows each break
// with one tab per level, so `depth` tabs follow every line feed. False when
// printing fails (out of memory); `out` may then hold part of the text.
bool json_print_nested(const cJSON *value, size_t depth, std::string &out);
