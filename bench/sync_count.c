// Counts fsync, fdatasync, sync_file_range and syncfs, then calls the C
// library's own. Preloaded (LD_PRELOAD) into a process it counts without
// changing the program; with VK_BENCH_SYNC_COUNTS naming a file, the counts
// live in that file, mapped shared, so the benchmark reads them while the
// process runs and children forked or started with the same environment
// add to them. Without it they stay in this process.
//
// Invariants: one atomic increment per call and nothing else; the real
// call is made whatever happens to the counting.
#define _GNU_SOURCE
#include "sync_count.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <unistd.h>

static struct vk_sync_counts local_counts;
static struct vk_sync_counts *counts = &local_counts;

__attribute__((constructor)) static void vk_sync_count_init(void) {
    const char *path = getenv(VK_SYNC_COUNT_ENV);
    if (path == NULL || *path == '\0') return;
    int fd = open(path, O_RDWR | O_CLOEXEC);
    if (fd < 0) return;
    void *m = mmap(NULL, sizeof(struct vk_sync_counts), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    close(fd);
    if (m != MAP_FAILED) counts = (struct vk_sync_counts *)m;
}

static void *next_symbol(const char *name) {
    return dlsym(RTLD_NEXT, name);
}

void vk_sync_counts_read(struct vk_sync_counts *out) {
    out->fsync = __atomic_load_n(&counts->fsync, __ATOMIC_RELAXED);
    out->fdatasync = __atomic_load_n(&counts->fdatasync, __ATOMIC_RELAXED);
    out->sync_file_range = __atomic_load_n(&counts->sync_file_range, __ATOMIC_RELAXED);
    out->syncfs = __atomic_load_n(&counts->syncfs, __ATOMIC_RELAXED);
}

int fsync(int fd) {
    static int (*real)(int);
    if (real == NULL) real = (int (*)(int))next_symbol("fsync");
    __atomic_add_fetch(&counts->fsync, 1, __ATOMIC_RELAXED);
    return real(fd);
}

int fdatasync(int fd) {
    static int (*real)(int);
    if (real == NULL) real = (int (*)(int))next_symbol("fdatasync");
    __atomic_add_fetch(&counts->fdatasync, 1, __ATOMIC_RELAXED);
    return real(fd);
}

int sync_file_range(int fd, off64_t offset, off64_t nbytes, unsigned int flags) {
    static int (*real)(int, off64_t, off64_t, unsigned int);
    if (real == NULL)
        real = (int (*)(int, off64_t, off64_t, unsigned int))next_symbol("sync_file_range");
    __atomic_add_fetch(&counts->sync_file_range, 1, __ATOMIC_RELAXED);
    return real(fd, offset, nbytes, flags);
}

int syncfs(int fd) {
    static int (*real)(int);
    if (real == NULL) real = (int (*)(int))next_symbol("syncfs");
    __atomic_add_fetch(&counts->syncfs, 1, __ATOMIC_RELAXED);
    return real(fd);
}
