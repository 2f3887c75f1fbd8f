#include "daemon/pidfile.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#include "base/state_dir.h"

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

// Opens `path` without following a symbolic link and without waiting on
// whatever else was planted there (O_NONBLOCK): the descriptor of a regular
// file with its fstat in `*st`, or -1 (EINVAL for anything but a regular
// file).
static int open_regular(const char *path, int flags, mode_t mode, struct stat *st) {
    int fd = open(path, flags | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, mode);
    if (fd < 0) return -1;
    if (fstat(fd, st) != 0) {
        close_quietly(fd);
        return -1;
    }
    if (!S_ISREG(st->st_mode)) {
        close(fd);
        errno = EINVAL;
        return -1;
    }
    return fd;
}

// Opens the file at `path` without following a symbolic link and takes its
// lock without waiting. The descriptor, or -1.
static int open_locked(const char *path) {
    struct stat st;
    int fd = open_regular(path, O_RDONLY, 0, &st);
    if (fd < 0) return -1;
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        close_quietly(fd);
        return -1;
    }
    return fd;
}

// The executable of `pid`, "" when it cannot be read.
static std::string exe_of(const std::string &pid) {
    char buf[4096];
    ssize_t n = readlink(("/proc/" + pid + "/exe").c_str(), buf, sizeof(buf) - 1);
    return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
}

static std::string without_deleted(std::string exe) {
    const std::string mark = " (deleted)";
    if (exe.size() > mark.size() && exe.compare(exe.size() - mark.size(), mark.size(), mark) == 0)
        exe.erase(exe.size() - mark.size());
    return exe;
}

// The process /proc/locks names as holding a flock lock on the file open on
// `fd`: its inode on its device or, where the kernel's device number is not
// the one fstat shows (btrfs, overlayfs), its inode alone.
static lock_holder_t find_holder(int fd) {
    lock_holder_t holder;
    struct stat st;
    std::ifstream in("/proc/locks");
    if (fstat(fd, &st) != 0 || !in) return holder;
    char want[64];
    snprintf(want, sizeof(want), "%02x:%02x:%llu", major(st.st_dev), minor(st.st_dev),
             static_cast<unsigned long long>(st.st_ino));
    const std::string ino = ":" + std::to_string(st.st_ino);
    std::string line, exact, by_inode;
    while (std::getline(in, line)) {
        // "1: FLOCK  ADVISORY  WRITE 1234 00:2b:567 0 EOF"; waiters carry "->".
        std::istringstream fields(line);
        std::string id, kind, mode, access, pid, where;
        if (!(fields >> id >> kind >> mode >> access >> pid >> where) || kind != "FLOCK") continue;
        if (where == want && exact.empty()) exact = pid;
        if (where.size() > ino.size() &&
            where.compare(where.size() - ino.size(), ino.size(), ino) == 0 && by_inode.empty())
            by_inode = pid;
    }
    std::string pid = exact.empty() ? by_inode : exact;
    holder.pid = static_cast<pid_t>(atol(pid.c_str()));
    if (holder.pid > 0) holder.exe = exe_of(pid);
    return holder;
}

int CPidFile::take_instance_lock(const char *path, lock_holder_t *holder) {
    if (path == nullptr) {
        errno = EINVAL;
        return -1;
    }
    for (int attempt = 0; attempt < 8; ++attempt) {
        struct stat st;
        int fd = open_regular(path, O_RDWR | O_CREAT, 0600, &st);
        if (fd < 0) return -1;
        // Anyone who could ever open it may hold it open still: such a file
        // is replaced, never narrowed.
        if (st.st_uid != geteuid() || (st.st_mode & 077) != 0 || st.st_nlink != 1) {
            close(fd);
            if (unlink(path) != 0 && errno != ENOENT) return -1;
            continue;
        }
        if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
            if (errno == EWOULDBLOCK && holder != nullptr) *holder = find_holder(fd);
            close_quietly(fd);
            return -1;
        }
        // Removed by hand between our open and our lock: take the new one.
        if (names_file(path, fd) == 1) return fd;
        close(fd);
    }
    errno = EAGAIN;
    return -1;
}

bool CPidFile::holder_is_us(const lock_holder_t &holder) {
    if (holder.exe.empty()) return false;
    std::string theirs = without_deleted(holder.exe);
    std::string ours = without_deleted(exe_of("self"));
    return !ours.empty() && (theirs == ours || path_base(theirs) == path_base(ours));
}

std::string CPidFile::describe(const lock_holder_t &holder) {
    if (holder.pid <= 0) return "a process /proc/locks does not name";
    return "pid " + std::to_string(holder.pid) + " (" +
           (holder.exe.empty() ? std::string("executable unknown") : holder.exe) + ")";
}

int CPidFile::write_pid_file(const char *path) {
    if (path == nullptr) {
        errno = EINVAL;
        return -1;
    }
    struct stat st;
    if (lstat(path, &st) == 0) {
        if (S_ISLNK(st.st_mode) || !S_ISREG(st.st_mode)) {
            errno = S_ISLNK(st.st_mode) ? ELOOP : S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
            return -1;
        }
        // Whoever opened the old file may hold its lock: it goes, and the
        // new one is locked before anyone else may open it.
        if (unlink(path) != 0 && errno != ENOENT) return -1;
    } else if (errno != ENOENT) {
        return -1;
    }
    int fd = open(path, O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) return -1;
    char buf[64] = {0};
    snprintf(buf, sizeof(buf), "%ld", static_cast<long>(getpid()));
    if (flock(fd, LOCK_EX | LOCK_NB) != 0 || write(fd, buf, strlen(buf)) < 0 ||
        fchmod(fd, 0644) != 0) {
        close_quietly(fd);
        unlink(path);
        return -1;
    }
    return fd;
}

int CPidFile::remove_pid_file(const char *path, int fd) {
    if (path == nullptr) {
        errno = EINVAL;
        return -1;
    }
    int held = fd;
    if (held < 0) {
        held = open_locked(path);
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
