// PID files and the instance locks beside them.
//
// Whether an instance runs is decided by an exclusive flock on a lock file
// (veskkorvaned.lock beside veskkorvaned.pid): mode 0600, owned by this
// process's user, so that no other user can open it, let alone hold its
// lock. The PID file stays readable by all (the process id in decimal, no
// newline) and is locked by the instance as well, for tools that tell a
// running daemon from its lock; it is created anew by the holder of the
// instance lock, locked before anyone else may open it. A PID file is
// removed only by a process that holds its lock.
#pragma once

#include <sys/types.h>

#include <string>

// Who holds a lock: pid 0 when /proc/locks does not say (another pid
// namespace), exe "" when /proc/<pid>/exe cannot be read.
struct lock_holder_t {
    pid_t pid = 0;
    std::string exe;
};

class CPidFile {
public:
    // Takes the instance lock at `path` (created 0600 when missing; a
    // regular file with a wider mode or another owner is replaced). The
    // locked, close-on-exec descriptor, or -1 with errno set: EWOULDBLOCK
    // when another process holds the lock (`holder`, when given, names it),
    // ELOOP for a symbolic link at `path` (never followed), EISDIR or
    // EINVAL for something other than a regular file there, or the error
    // of open.
    static int take_instance_lock(const char *path, lock_holder_t *holder);
    // True when `holder` runs the same program as this process (the path
    // of its executable, or its name, may differ only by a " (deleted)"
    // left by an upgrade).
    static bool holder_is_us(const lock_holder_t &holder);
    // "pid 123 (/usr/bin/flock)", "an unknown process"...
    static std::string describe(const lock_holder_t &holder);

    // Called while holding the instance lock: replaces the regular file at
    // `path` (whoever holds a lock on the old one) by a new one that holds
    // this process's id, locked, mode 0644. The locked, close-on-exec
    // descriptor, or -1 with errno set: ELOOP for a symbolic link at
    // `path` (left alone), EISDIR or EINVAL for something other than a
    // regular file there, or the error of open.
    static int write_pid_file(const char *path);
    // Removes `path` only while holding its lock: through `fd`, the
    // descriptor write_pid_file returned, or, with `fd` -1, by taking the
    // lock of the file found there (a file nobody holds is stale). 0 when
    // removed or absent; 1 when left alone because another process holds
    // it or `path` names another file than `fd`; -1 on failure (errno).
    static int remove_pid_file(const char *path, int fd);
};
