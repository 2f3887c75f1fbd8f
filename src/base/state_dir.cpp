// Checks of state directories and files: only fstat of a descriptor (or,
// for the directories above one, stat of a directory nobody else may
// change) decides; a path is never checked and then opened again.
#include "base/state_dir.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include "base/paths.h"

namespace {

std::string mode_text(const struct stat &st) {
    char buf[16];
    snprintf(buf, sizeof(buf), "%04o", static_cast<unsigned>(st.st_mode & 07777));
    return buf;
}

bool owner_trusted(uid_t uid) {
    return uid == 0 || uid == geteuid();
}

void close_keeping_errno(int fd) {
    int saved = errno;
    close(fd);
    errno = saved;
}

}  // namespace

std::string path_dir(const std::string &path) {
    size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string path_base(const std::string &path) {
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string state_dir_problem(const struct stat &st) {
    if (!S_ISDIR(st.st_mode)) return "not a directory";
    if (!owner_trusted(st.st_uid)) return "owned by uid " + std::to_string(st.st_uid);
    if ((st.st_mode & S_IWOTH) != 0) return "writable by others (mode " + mode_text(st) + ")";
    return "";
}

std::string state_dir_check(const std::string &dir) {
    const std::string root = vk_paths::Root();
    std::string d = dir;
    while (!d.empty()) {
        // Under a relocation root only what lies below the root is the
        // daemon's: a root in /tmp sits in a directory all may write.
        if (!root.empty() && (d.size() <= root.size() || d.compare(0, root.size(), root) != 0 ||
                              d[root.size()] != '/'))
            break;
        // What is missing or no directory is left to the open that follows,
        // which fails with its own error.
        struct stat st;
        if (stat(d.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) break;
        std::string why = state_dir_problem(st);
        if (!why.empty()) return d + ": " + why;
        if (d == "/" || d == ".") break;
        d = path_dir(d);
    }
    return "";
}

int state_dir_open(const std::string &dir, std::string *why) {
    int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        *why = dir + ": " + strerror(errno);
        return -1;
    }
    struct stat st;
    if (fstat(fd, &st) != 0) {
        *why = dir + ": " + strerror(errno);
        close_keeping_errno(fd);
        return -1;
    }
    std::string problem = state_dir_problem(st);
    if (!problem.empty()) {
        *why = dir + ": " + problem;
        close(fd);
        errno = EPERM;
        return -1;
    }
    return fd;
}

int state_file_open(int dirfd, const char *name, int flags, mode_t mode, std::string *why) {
    int fd = openat(dirfd, name, flags | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK, mode);
    if (fd < 0) {
        *why = errno == ELOOP ? "a symbolic link (not followed)" : strerror(errno);
        return -1;
    }
    struct stat st;
    if (fstat(fd, &st) != 0) {
        *why = strerror(errno);
        close_keeping_errno(fd);
        return -1;
    }
    int err = 0;
    if (!S_ISREG(st.st_mode)) {
        *why = S_ISDIR(st.st_mode) ? "a directory" : "not a regular file";
        err = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
    } else if (st.st_uid != geteuid()) {
        *why = "owned by uid " + std::to_string(st.st_uid);
        err = EPERM;
    } else if (st.st_nlink != 1) {
        // A hard link may name a file of root's elsewhere.
        *why = "has " + std::to_string(st.st_nlink) + " links";
        err = EPERM;
    }
    if (err != 0) {
        close(fd);
        errno = err;
        return -1;
    }
    return fd;
}

bool fd_read_all(int fd, size_t max, std::string *out) {
    out->clear();
    char buf[4096];
    for (;;) {
        ssize_t n = read(fd, buf, sizeof(buf));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return false;
        if (n == 0) return true;
        if (out->size() + static_cast<size_t>(n) > max) {
            errno = EFBIG;
            return false;
        }
        out->append(buf, static_cast<size_t>(n));
    }
}
