// The monotonic clock, or a fake one that a test moves by hand. The fake
// time is one atomic in an anonymous shared mapping, set up by
// vk_clock_fake and kept for the life of the process.
#include "base/vk_clock.h"

#include <errno.h>
#include <sys/mman.h>
#include <time.h>

#include <atomic>
#include <new>

namespace {

// Shared between processes: it must never need a lock.
static_assert(std::atomic<long long>::is_always_lock_free, "a fake clock needs a lock-free atomic");

std::atomic<long long> *g_fake = nullptr;  // null: the real clock
std::atomic<long long> *g_shared = nullptr;

}  // namespace

long long vk_clock_now_ms() {
    if (g_fake != nullptr) return g_fake->load();
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

long long vk_clock_real_us() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

void vk_clock_sleep_ms(long long ms) {
    if (ms <= 0) return;
    if (g_fake != nullptr) {
        g_fake->fetch_add(ms);
        return;
    }
    struct timespec left = {static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

int vk_clock_fake(long long start_ms) {
    if (g_shared == nullptr) {
        void *page = mmap(nullptr, sizeof(std::atomic<long long>), PROT_READ | PROT_WRITE,
                          MAP_SHARED | MAP_ANONYMOUS, -1, 0);
        if (page == MAP_FAILED) return -1;
        g_shared = new (page) std::atomic<long long>(0);
    }
    g_shared->store(start_ms);
    g_fake = g_shared;
    return 0;
}

void vk_clock_advance_ms(long long ms) {
    if (g_fake != nullptr && ms > 0) g_fake->fetch_add(ms);
}

void vk_clock_real() {
    g_fake = nullptr;
}
