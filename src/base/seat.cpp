// Invariants: s_kept is the last answer of seat_read_owner and s_read_ms the
// monotonic time it was read (-1: never); both only under s_lock.
#include "base/seat.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

#include "base/paths.h"
#include "base/state_dir.h"

namespace {

std::mutex s_lock;
seat_owner_t s_kept;
long long s_read_ms = -1;

long long mono_ms() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// The value of ACTIVE_UID in `text`, when it is a plain decimal uid.
bool active_uid(const char *text, uid_t *uid) {
    static const char kKey[] = "ACTIVE_UID=";
    for (const char *line = text; *line != '\0';) {
        const char *end = strchr(line, '\n');
        if (end == nullptr) end = line + strlen(line);
        if (strncmp(line, kKey, sizeof(kKey) - 1) == 0) {
            const char *v = line + sizeof(kKey) - 1;
            if (v == end || *v < '0' || *v > '9') return false;
            char *stop = nullptr;
            errno = 0;
            unsigned long n = strtoul(v, &stop, 10);
            if (errno != 0 || stop != end ||
                n >= static_cast<unsigned long>(static_cast<uid_t>(-1)))
                return false;
            *uid = static_cast<uid_t>(n);
            return true;
        }
        line = *end == '\n' ? end + 1 : end;
    }
    return false;
}

}  // namespace

seat_owner_t seat_read_owner() {
    seat_owner_t owner;
    const std::string dir = vk_paths::File(kSeatDir);
    struct stat st;
    if (stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return owner;
    owner.state = kSeatNobody;
    // A state file that another user could have put there names no one:
    // the directories up to "/" (or the relocation root) and the file must
    // be root's (or the daemon's own user's) alone.
    if (!state_dir_check(dir).empty()) return owner;
    std::string why;
    int dirfd = state_dir_open(dir, &why);
    if (dirfd < 0) return owner;
    int fd = state_file_open(dirfd, path_base(kSeat0File).c_str(), O_RDONLY, 0, &why);
    close(dirfd);
    if (fd < 0) return owner;
    if (fstat(fd, &st) != 0 || writable_by_others(st)) {
        close(fd);
        return owner;
    }
    // logind's file is a few hundred bytes; a longer one is not its.
    std::string text;
    const bool whole = fd_read_all(fd, 4095, &text);
    close(fd);
    if (whole && active_uid(text.c_str(), &owner.uid)) owner.state = kSeatActive;
    return owner;
}

seat_owner_t seat_active_owner() {
    std::lock_guard<std::mutex> guard(s_lock);
    const long long now = mono_ms();
    if (s_read_ms < 0 || now - s_read_ms >= kSeatRefreshMs) {
        s_kept = seat_read_owner();
        s_read_ms = now;
    }
    return s_kept;
}

void seat_forget() {
    std::lock_guard<std::mutex> guard(s_lock);
    s_read_ms = -1;
}

bool seat_owned_by(const seat_owner_t &owner, long uid) {
    if (owner.state == kSeatNoLogind) return true;
    return owner.state == kSeatActive && uid >= 0 && static_cast<uid_t>(uid) == owner.uid;
}
