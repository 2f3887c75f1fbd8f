// pidfd_open(2) through its system call: Debian 12's C library has no
// wrapper for it.
#pragma once

// A pidfd of `pid` (close-on-exec), or -1 with errno: ESRCH when no such
// process, EINVAL for pid <= 0, ENOSYS on a kernel without pidfds.
int vk_pidfd_open(int pid);
