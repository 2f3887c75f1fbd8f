// Deadlines of the client's waits, on the monotonic clock in milliseconds.
// Internal: not installed with the library's headers.
#pragma once

#include <time.h>

namespace korvane {
namespace timing {

inline long long NowMs() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000LL + ts.tv_nsec / 1000000;
}

// The deadline of a wait of timeout_ms (negative: none, -1).
inline long long After(int timeout_ms) {
    return timeout_ms < 0 ? -1 : NowMs() + timeout_ms;
}

// Milliseconds left until `deadline` for poll: -1 when there is none, 0
// once it has passed.
inline int Remaining(long long deadline) {
    if (deadline < 0) return -1;
    long long left = deadline - NowMs();
    return left > 0 ? static_cast<int>(left) : 0;
}

}  // namespace timing
}  // namespace korvane
