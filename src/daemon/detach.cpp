#include "daemon/detach.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

// Closes every descriptor from 0 up: one system call where the kernel has
// it, otherwise one close per possible descriptor.
static void close_all_descriptors() {
#ifdef SYS_close_range
    if (syscall(SYS_close_range, 0U, ~0U, 0) == 0) return;
#endif
    long n = sysconf(_SC_OPEN_MAX);
    if (n == -1) n = 4096;
    for (long fd = 0; fd < n; ++fd) close(static_cast<int>(fd));
}

// Forks and ends the parent at once (no cleanup): 0 in the child, -1 when
// the fork failed.
static int fork_and_leave() {
    pid_t pid = fork();
    if (pid > 0) _exit(0);
    return pid < 0 ? -1 : 0;
}

int becomeDeamon(const char *dir) {
    if (fork_and_leave() == -1) return -1;
    if (setsid() == -1) return -1;
    if (fork_and_leave() == -1) return -1;
    umask(0);
    if (dir != nullptr && chdir(dir) != 0) {
        // An unusable directory leaves the inherited one; nothing depends on it.
    }
    close_all_descriptors();
    if (open("/dev/null", O_RDWR) != 0) return -1;
    if (dup2(0, 1) != 1) return -1;
    return dup2(0, 2) == 2 ? 0 : -1;
}
