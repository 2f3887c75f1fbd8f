#include "daemon/pidfile.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

// Closes `fd` keeping errno.
static void close_quietly(int fd) {
    int saved = errno;
    close(fd);
    errno = saved;
}

// 1 when `path` names the file open on `fd`, 0 when it names another
// file, -1 on failure (ENOENT: nothing there).
static int names_file(const char *path, int fd) {
    struct stat held, at;
    if (fstat(fd, &held) != 0 || lstat(path, &at) != 0) return -1;
    return held.st_dev == at.st_dev && held.st_ino == at.st_ino ? 1 : 0;
}

// Opens the file at `path` (created when `create`) without following a
// symbolic link and takes its lock without waiting. The descriptor, or -1.
static int open_locked(const char *path, bool create) {
    // O_NONBLOCK: opening whatever else was planted there must not wait.
    int flags = (create ? O_RDWR | O_CREAT : O_RDONLY) | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK;
    int fd = open(path, flags, 0644);
    if (fd < 0) return -1;
    struct stat st;
    if (fstat(fd, &st) != 0) {
        close_quietly(fd);
        return -1;
    }
    if (!S_ISREG(st.st_mode)) {
        close(fd);
        errno = EINVAL;
        return -1;
    }
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        close_quietly(fd);
        return -1;
    }
    return fd;
}

int CPidFile::write_pid_file(const char *path) {
    if (path == nullptr) {
        errno = EINVAL;
        return -1;
    }
    char buf[64] = {0};
    snprintf(buf, sizeof(buf), "%ld", static_cast<long>(getpid()));

    // The lock counts only while the file is still the one at `path`: its
    // holder may have removed it between our open and our lock, and a lock
    // on a removed file would let a later start lock a new one beside us.
    for (int attempt = 0; attempt < 8; ++attempt) {
        int fd = open_locked(path, true);
        if (fd < 0) return -1;
        int same = names_file(path, fd);
        if (same == 1) {
            if (ftruncate(fd, 0) != 0) { /* result deliberately ignored */
            }
            if (write(fd, buf, strlen(buf)) < 0) { /* result deliberately ignored */
            }
            return fd;
        }
        close_quietly(fd);
        if (same < 0 && errno != ENOENT) return -1;
    }
    errno = EAGAIN;
    return -1;
}

int CPidFile::remove_pid_file(const char *path, int fd) {
    if (path == nullptr) {
        errno = EINVAL;
        return -1;
    }
    int held = fd;
    if (held < 0) {
        held = open_locked(path, false);
        if (held < 0) {
            if (errno == ENOENT) return 0;
            return errno == EWOULDBLOCK ? 1 : -1;
        }
    }
    int rc = names_file(path, held);
    if (rc == 1)
        rc = unlink(path) == 0 || errno == ENOENT ? 0 : -1;
    else if (rc == 0)
        rc = 1;  // another file took its place: not ours
    else if (errno == ENOENT)
        rc = 0;
    if (fd < 0) close_quietly(held);
    return rc;
}
