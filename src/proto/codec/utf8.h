// Well-formed UTF-8 as Unicode's table 3-7 defines it: no overlong forms,
// no surrogates, nothing above U+10FFFF. For the texts that go where only
// valid UTF-8 may (the bus's strings, Prometheus's label values).
#pragma once

#include <cstddef>
#include <string>

// The length (1 to 4) of the well-formed sequence that starts at s[i]; 0
// when the byte there starts none, or i is past the end. A zero byte is a
// sequence of 1.
size_t utf8_sequence_length(const std::string &s, size_t i);
