// Conversions of JSON numbers (doubles) to the envelope's integer fields.
// Defined for every double, including infinities and NaN: no conversion
// here ever casts a value outside the target's range.
#pragma once

#include <cstdint>

// Truncated toward zero and clamped to [INT32_MIN, INT32_MAX]; NaN gives 0.
// This is the same value cJSON keeps as an item's integer view.
int32_t json_number_to_int32(double v);

// Truncated toward zero. Negative values wrap modulo 2^64 (-1 gives
// 2^64 - 1); magnitudes of 2^64 and beyond clamp to the range (UINT64_MAX
// above, 0 below); NaN gives 0.
uint64_t json_number_to_uint64(double v);
