// The clock that timing decisions read: how long a product's program has
// been gone, how long the supervisor's worker lived and how long it waits
// before a restart. CLOCK_MONOTONIC, so setting the system time moves
// nothing; a test may put a fake clock in its place.
//
// Invariants: vk_clock_now_ms never goes back. While a fake clock is set,
// only vk_clock_advance_ms and vk_clock_sleep_ms move it, and the fake time
// lives in memory shared with the processes forked after it was set, so a
// test that forks the code under test still moves its clock. A program
// started anew (exec) reads the real clock: nothing but a call in the
// process itself sets a fake one.
#pragma once

// Milliseconds of the clock.
long long vk_clock_now_ms();

// Microseconds of CLOCK_MONOTONIC, never the fake clock: for how long a
// piece of work has taken, which a test's clock must not stop.
long long vk_clock_real_us();

// Waits `ms` milliseconds of the clock, signals or not: nanosleep, or at
// once with a fake clock, moved forward by `ms`.
void vk_clock_sleep_ms(long long ms);

// For tests. From now on the clock reads `start_ms` until it is moved: 0,
// or -1 when the shared memory cannot be had (the clock stays as it was).
int vk_clock_fake(long long start_ms);
// Moves the fake clock forward by `ms` (>= 0); nothing on the real clock.
void vk_clock_advance_ms(long long ms);
// Back to CLOCK_MONOTONIC.
void vk_clock_real();
