// Race of the fallback: a pid is reused only once its process has exited,
// so a process that pidfd_open finds under the peer's pid and that started
// after the accept cannot be the one that connected, and is refused. What
// the check cannot tell apart is a process that took the pid between the
// connect and the accept (or within the same clock tick after it): the one
// that connected must have exited and the pid space turned over in those
// milliseconds. With SO_PEERPIDFD there is no window at all.
#include "peer/pidfd.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include "base/pidfd_open.h"

#ifndef SO_PEERPIDFD
#define SO_PEERPIDFD 77
#endif

long long net_peer_clock_ns() {
    struct timespec ts;
    if (clock_gettime(CLOCK_BOOTTIME, &ts) != 0) return -1;
    return static_cast<long long>(ts.tv_sec) * 1000000000LL + ts.tv_nsec;
}

// A pidfd turns readable once its process has exited (a zombie included).
static bool has_exited(int pidfd) {
    struct pollfd p = {pidfd, POLLIN, 0};
    return poll(&p, 1, 0) != 0;
}

long long net_peer_start_ns(const char *procdir, int pid) {
    char path[4096];
    snprintf(path, sizeof(path), "%s/%d/stat", procdir, pid);
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return -1;
    char buf[1024];
    ssize_t n = read(fd, buf, sizeof(buf) - 1);
    int saved = errno;
    close(fd);
    if (n <= 0) {
        errno = n < 0 ? saved : EIO;
        return -1;
    }
    buf[n] = '\0';
    // The name in parentheses may hold anything: the fields start after
    // the last ')'. The start time is the 22nd field, the 20th after it.
    const char *p = strrchr(buf, ')');
    for (int field = 2; p != nullptr && field < 22; ++field) p = strchr(p + 1, ' ');
    char *end = nullptr;
    const unsigned long long ticks = p != nullptr ? strtoull(p + 1, &end, 10) : 0;
    const long hz = sysconf(_SC_CLK_TCK);
    if (p == nullptr || end == p + 1 || hz <= 0) {
        errno = EIO;
        return -1;
    }
    return static_cast<long long>(ticks / hz) * 1000000000LL +
           static_cast<long long>(ticks % hz) * (1000000000LL / hz);
}

int net_peer_pidfd_by_pid(const net_peer_t &peer, const char *procdir, int *why) {
    if (peer.sock < 0 || peer.pid <= 0) {
        *why = EBADF;
        return -1;
    }
    int fd = vk_pidfd_open(peer.pid);
    if (fd < 0) {
        *why = errno;
        return -1;
    }
    // Read while the pidfd's process lives (checked after), so the stat is
    // that process's: its pid cannot have been handed on meanwhile.
    const long long start = net_peer_start_ns(procdir, peer.pid);
    const int read_errno = errno;
    if (has_exited(fd) || (start >= 0 && start > peer.accepted_ns)) {
        close(fd);
        *why = ESRCH;
        return -1;
    }
    // Alive but not to be read (another pid namespace's /proc, hidepid).
    if (start < 0) {
        close(fd);
        *why = read_errno;
        return -1;
    }
    return fd;
}

int net_peer_pidfd(const net_peer_t &peer, int *why) {
    if (peer.sock < 0 || peer.pid <= 0) {
        *why = EBADF;
        return -1;
    }
    int fd = -1;
    socklen_t len = sizeof(fd);
    if (getsockopt(peer.sock, SOL_SOCKET, SO_PEERPIDFD, &fd, &len) == 0 && fd >= 0) {
        // Newer kernels hand out a pidfd of a process that has exited.
        if (!has_exited(fd)) return fd;
        close(fd);
        *why = ESRCH;
        return -1;
    }
    const int e = errno;
    if (e == ESRCH || e == EMFILE || e == ENFILE || e == ENOMEM) {
        *why = e;
        return -1;
    }
    // ENOPROTOOPT: a kernel without SO_PEERPIDFD. EINVAL: one that has it
    // but no longer finds the process, which the fallback tells as well.
    return net_peer_pidfd_by_pid(peer, "/proc", why);
}
