#include "bench_sync.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

namespace vk_bench {

uint64_t SyncTotal(const vk_sync_counts &c) {
    return c.fsync + c.fdatasync + c.sync_file_range + c.syncfs;
}

vk_sync_counts SyncDelta(const vk_sync_counts &a, const vk_sync_counts &b) {
    return {a.fsync - b.fsync, a.fdatasync - b.fdatasync, a.sync_file_range - b.sync_file_range,
            a.syncfs - b.syncfs};
}

vk_sync_counts LocalSyncs() {
    vk_sync_counts c;
    vk_sync_counts_read(&c);
    return c;
}

SyncFile::SyncFile(const std::string &path) : m_path(path) {
    int fd = open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) return;
    if (ftruncate(fd, 4096) == 0) {
        void *m = mmap(nullptr, sizeof(vk_sync_counts), PROT_READ, MAP_SHARED, fd, 0);
        if (m != MAP_FAILED) m_counts = static_cast<vk_sync_counts *>(m);
    }
    close(fd);
}

SyncFile::~SyncFile() {
    if (m_counts != nullptr) munmap(m_counts, sizeof(vk_sync_counts));
}

vk_sync_counts SyncFile::Read() const {
    vk_sync_counts c = {};
    if (m_counts == nullptr) return c;
    c.fsync = __atomic_load_n(&m_counts->fsync, __ATOMIC_RELAXED);
    c.fdatasync = __atomic_load_n(&m_counts->fdatasync, __ATOMIC_RELAXED);
    c.sync_file_range = __atomic_load_n(&m_counts->sync_file_range, __ATOMIC_RELAXED);
    c.syncfs = __atomic_load_n(&m_counts->syncfs, __ATOMIC_RELAXED);
    return c;
}

}  // namespace vk_bench
