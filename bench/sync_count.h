// The sync calls of a process, counted by the sync_count library: preloaded
// into the daemon (LD_PRELOAD) it adds to a file that the benchmark maps;
// linked into the benchmark itself it counts the SQLite floor's calls.
#pragma once

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

struct vk_sync_counts {
    uint64_t fsync;
    uint64_t fdatasync;
    uint64_t sync_file_range;
    uint64_t syncfs;
};

// The environment variable naming the counts file: a regular file of at
// least sizeof(struct vk_sync_counts) bytes, created by the benchmark.
#define VK_SYNC_COUNT_ENV "VK_BENCH_SYNC_COUNTS"

// The counts of this process so far (the file's when one is mapped).
void vk_sync_counts_read(struct vk_sync_counts *out);

#ifdef __cplusplus
}
#endif
