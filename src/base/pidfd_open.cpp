#include "base/pidfd_open.h"

#include <errno.h>
#include <sys/syscall.h>
#include <unistd.h>

#ifndef SYS_pidfd_open
#define SYS_pidfd_open 434
#endif

int vk_pidfd_open(int pid) {
    if (pid <= 0) {
        errno = EINVAL;
        return -1;
    }
    return static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
}
