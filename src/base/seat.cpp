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
    struct stat st;
    if (stat(vk_paths::File(kSeatDir).c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return owner;
    owner.state = kSeatNobody;
    int fd =
        open(vk_paths::File(kSeat0File).c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0) return owner;
    // logind's file is a few hundred bytes; a longer one is not its.
    char text[4096];
    size_t got = 0;
    ssize_t n;
    while (got < sizeof(text) - 1 && (n = read(fd, text + got, sizeof(text) - 1 - got)) > 0)
        got += static_cast<size_t>(n);
    close(fd);
    text[got] = '\0';
    if (active_uid(text, &owner.uid)) owner.state = kSeatActive;
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
