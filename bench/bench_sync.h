// The daemon's sync calls as the benchmark sees them: a counts file that the
// preloaded sync_count library (sync_count.c) adds to, mapped here so the
// counts can be read at any moment, and the benchmark's own calls (the
// SQLite floor's), counted by the same library linked into it.
#pragma once

#include <cstdint>
#include <string>

#include "sync_count.h"

namespace vk_bench {

// Every sync call of one kind or another.
uint64_t SyncTotal(const vk_sync_counts &c);
vk_sync_counts SyncDelta(const vk_sync_counts &after, const vk_sync_counts &before);

// The benchmark's own sync calls so far.
vk_sync_counts LocalSyncs();

// The counts file of a daemon; removed with the daemon's root.
class SyncFile {
public:
    // Creates `path`, zeroed; ok() tells whether it could be mapped.
    explicit SyncFile(const std::string &path);
    ~SyncFile();
    SyncFile(const SyncFile &) = delete;
    SyncFile &operator=(const SyncFile &) = delete;

    bool ok() const { return m_counts != nullptr; }
    const std::string &path() const { return m_path; }
    vk_sync_counts Read() const;

private:
    std::string m_path;
    vk_sync_counts *m_counts = nullptr;
};

}  // namespace vk_bench
