// PID files: the process id in decimal, no newline, held under an exclusive
// flock for as long as the returned descriptor stays open. A PID file is
// removed only by a process that holds its lock: a file locked by a live
// instance is never another process's to remove.
#pragma once

class CPidFile {
public:
    // The locked, close-on-exec descriptor, or -1 with errno set: EAGAIN
    // when another process holds the file (which is then left untouched),
    // ELOOP for a symbolic link at `path` (never followed), EINVAL for
    // anything but a regular file there, or the error of open.
    static int write_pid_file(const char *path);
    // Removes `path` only while holding its lock: through `fd`, the
    // descriptor write_pid_file returned, or, with `fd` -1, by taking the
    // lock of the file found there (a file nobody holds is stale). 0 when
    // removed or absent; 1 when left alone because another process holds
    // it or `path` names another file than `fd`; -1 on failure (errno).
    static int remove_pid_file(const char *path, int fd);
};
