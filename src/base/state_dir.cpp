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

bool writable_by_others(const struct stat &st) {
    return (st.st_mode & S_IWOTH) != 0 || ((st.st_mode & S_IWGRP) != 0 && st.st_gid != getegid());
}

std::string relocated_dir_problem(const struct stat &st, bool above_root) {
    if (S_ISLNK(st.st_mode)) return "a symbolic link";
    if (!S_ISDIR(st.st_mode)) return "not a directory";
    if (!owner_trusted(st.st_uid)) return "owned by uid " + std::to_string(st.st_uid);
    if (above_root && (st.st_mode & S_ISVTX) != 0) return "";
    if ((st.st_mode & S_IWOTH) != 0) return "writable by others (mode " + mode_text(st) + ")";
    if (writable_by_others(st))
        return "writable by group " + std::to_string(st.st_gid) + " (mode " + mode_text(st) + ")";
    return "";
}

std::string state_root_check() {
    const std::string root = vk_paths::Root();
    if (root.empty()) return "";
    if (root[0] != '/') return root + ": not an absolute path";
    // Each prefix of the root, from "/" down, judged without following a
    // link: a link anywhere would lead the daemon to a tree not checked.
    std::string d;
    size_t pos = 0;
    for (;;) {
        const std::string at = d.empty() ? "/" : d;
        struct stat st;
        if (lstat(at.c_str(), &st) != 0) return at + ": " + strerror(errno);
        const bool is_root = d.size() >= root.size();
        std::string why = relocated_dir_problem(st, !is_root);
        if (!why.empty()) return at + ": " + why;
        if (is_root) return "";
        while (pos < root.size() && root[pos] == '/') ++pos;
        size_t end = root.find('/', pos);
        if (end == std::string::npos) end = root.size();
        const std::string name = root.substr(pos, end - pos);
        if (name == "." || name == "..") return root + ": has a \"" + name + "\" component";
        d += "/" + name;
        pos = end;
        // The root as written, repeated slashes included, is the last.
        if (pos >= root.size()) d = root;
    }
}

std::string state_dir_check(const std::string &dir) {
    const std::string root = vk_paths::Root();
    const bool relocated = !root.empty() && dir.compare(0, root.size(), root) == 0 &&
                           (dir.size() == root.size() || dir[root.size()] == '/');
    std::string d = dir;
    while (!d.empty()) {
        if (relocated && d.size() <= root.size()) return state_root_check();
        struct stat st;
        // Under the root nothing is followed; the system's own paths
        // follow their links (/var/run is one to /run).
        const int rc = relocated ? lstat(d.c_str(), &st) : stat(d.c_str(), &st);
        if (rc == 0 && (S_ISDIR(st.st_mode) || S_ISLNK(st.st_mode))) {
            std::string why = relocated ? relocated_dir_problem(st, false) : state_dir_problem(st);
            if (!why.empty()) return d + ": " + why;
        }
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
