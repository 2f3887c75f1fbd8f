#include "proto/codec/number.h"

#include <cmath>

int32_t json_number_to_int32(double v) {
    if (std::isnan(v)) return 0;
    if (v >= 2147483647.0) return INT32_MAX;
    if (v <= -2147483648.0) return INT32_MIN;
    return static_cast<int32_t>(v);
}

uint64_t json_number_to_uint64(double v) {
    constexpr double kTwo64 = 18446744073709551616.0;
    if (std::isnan(v)) return 0;
    if (v >= kTwo64) return UINT64_MAX;
    if (v <= -kTwo64) return 0;
    // Every magnitude left is below 2^64 and so fits uint64_t once
    // truncated; a negative value is negated in unsigned arithmetic, which
    // wraps modulo 2^64.
    if (v >= 0) return static_cast<uint64_t>(v);
    return uint64_t(0) - static_cast<uint64_t>(-v);
}
