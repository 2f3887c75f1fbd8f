#include "base/proc_scan.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr char kDeleted[] = " (deleted)";
constexpr size_t kDeletedLen = sizeof(kDeleted) - 1;
// Bytes of a process's arguments looked at for a script's path, and of its
// status (a Groups line of 65536 groups is under 720 KiB).
constexpr size_t kCmdlineCap = 64 * 1024;
constexpr size_t kStatusCap = 1024 * 1024;
// Longest decimal pid, with room for "/cwd/" or "/cmdline" after it.
constexpr size_t kPidRel = 32;

// The process has ended (or its directory never was one).
bool Gone(int e) {
    return e == ENOENT || e == ESRCH;
}
// A process of another user, seen without the right to look inside.
bool OutOfReach(int e) {
    return e == EACCES || e == EPERM;
}

void SetError(std::string &error, const char *syscall, const char *procdir, const char *pid,
              const char *file, int e) {
    error = syscall;
    error += ' ';
    error += procdir;
    error += '/';
    error += pid;
    if (*file) {
        error += '/';
        error += file;
    }
    error += ": ";
    error += strerror(e);
}

// "<pid>/<file>" into `buf` (kPidRel bytes at least): false when it does not fit.
bool PidRel(char *buf, size_t size, const char *pid, const char *file) {
    size_t a = strlen(pid), b = strlen(file);
    if (a + 1 + b + 1 > size) return false;
    memcpy(buf, pid, a);
    buf[a] = '/';
    memcpy(buf + a + 1, file, b + 1);
    return true;
}

// Index of the program whose path is `link` (or `link` less a trailing
// " (deleted)"), or -1.
long MatchPath(const std::vector<proc_program_t> &programs, const char *link, size_t len) {
    for (size_t i = 0; i < programs.size(); ++i)
        if (programs[i].path.size() == len && memcmp(programs[i].path.data(), link, len) == 0)
            return static_cast<long>(i);
    if (len > kDeletedLen && memcmp(link + len - kDeletedLen, kDeleted, kDeletedLen) == 0) {
        len -= kDeletedLen;
        for (size_t i = 0; i < programs.size(); ++i)
            if (programs[i].path.size() == len && memcmp(programs[i].path.data(), link, len) == 0)
                return static_cast<long>(i);
    }
    return -1;
}

// The first argument after argv[0] that does not start with '-', read from
// the process's cmdline descriptor into `cand` (PATH_MAX bytes, NUL-ended).
// 1 when there is one that fits, 0 when there is none (empty, truncated,
// too long, or past kCmdlineCap), -1 with errno on a read error.
int ScriptArgument(int fd, char *cand) {
    enum { kArg0, kStart, kOption, kCand } state = kArg0;
    char buf[4096];
    size_t len = 0, total = 0;
    while (total < kCmdlineCap) {
        ssize_t n = read(fd, buf, sizeof(buf));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return -1;
        if (n == 0) break;
        total += static_cast<size_t>(n);
        const char *p = buf, *end = buf + n;
        while (p < end) {
            if (state == kArg0 || state == kOption) {
                const char *nul = static_cast<const char *>(memchr(p, '\0', end - p));
                if (nul == nullptr) break;
                p = nul + 1;
                state = kStart;
                continue;
            }
            char c = *p++;
            if (state == kStart) {
                if (c == '\0') return 0;  // an empty argument
                if (c == '-') {
                    state = kOption;
                    continue;
                }
                state = kCand;
            } else if (c == '\0') {
                cand[len] = '\0';
                return 1;
            }
            if (len + 1 >= PATH_MAX) return 0;
            cand[len++] = c;
        }
    }
    // The last argument may lack its NUL (a process that rewrote its
    // arguments); what was read past the cap is not trusted.
    if (state != kCand || total >= kCmdlineCap) return 0;
    cand[len] = '\0';
    return 1;
}

// What the scan reads of /proc/<pid>/status.
struct Status {
    char state = 0;
    bool has_uid = false, has_gid = false;
    uid_t uid = 0;
    gid_t gid = 0;
};

// Reads State, the effective Uid and Gid and, when `groups` is given, the
// Groups line from a status descriptor, in bounded pieces (a Groups line can
// be far longer than any buffer here), and stops once it has them all. 0, or
// -1 with errno on a read error.
int ReadStatus(int fd, Status &st, std::vector<gid_t> *groups) {
    enum { kKey, kSkip, kState, kNums } mode = kKey;
    enum { kUid, kGid, kGroups } which = kUid;
    char key[8];
    size_t klen = 0;
    int field = 0;
    uint64_t num = 0;
    bool innum = false, groups_done = groups == nullptr;
    auto emit = [&]() {
        if (num > UINT32_MAX) return;  // not an id
        if (which == kUid && field == 1) {
            st.uid = static_cast<uid_t>(num);
            st.has_uid = true;
        } else if (which == kGid && field == 1) {
            st.gid = static_cast<gid_t>(num);
            st.has_gid = true;
        } else if (which == kGroups && groups) {
            groups->push_back(static_cast<gid_t>(num));
        }
    };
    char buf[4096];
    size_t total = 0;
    while (total < kStatusCap) {
        ssize_t n = read(fd, buf, sizeof(buf));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return -1;
        if (n == 0) break;
        total += static_cast<size_t>(n);
        const char *p = buf, *end = buf + n;
        while (p < end) {
            if (mode == kSkip) {
                const char *nl = static_cast<const char *>(memchr(p, '\n', end - p));
                if (nl == nullptr) break;
                p = nl + 1;
                mode = kKey;
                klen = 0;
                continue;
            }
            char c = *p++;
            switch (mode) {
                case kKey:
                    if (c == ':') {
                        mode = kSkip;
                        field = 0;
                        num = 0;
                        innum = false;
                        if (klen == 5 && memcmp(key, "State", 5) == 0) {
                            mode = kState;
                        } else if (klen == 3 && memcmp(key, "Uid", 3) == 0) {
                            mode = kNums;
                            which = kUid;
                        } else if (klen == 3 && memcmp(key, "Gid", 3) == 0) {
                            mode = kNums;
                            which = kGid;
                        } else if (klen == 6 && memcmp(key, "Groups", 6) == 0) {
                            mode = kNums;
                            which = kGroups;
                            if (groups) groups->clear();
                        }
                    } else if (c == '\n') {
                        klen = 0;
                    } else if (klen < sizeof(key)) {
                        key[klen++] = c;
                    } else {
                        mode = kSkip;  // no key of ours is that long
                    }
                    break;
                case kState:
                    if (c == '\n') {
                        mode = kKey;
                        klen = 0;
                    } else if (c != ' ' && c != '\t') {
                        st.state = c;
                        mode = kSkip;
                    }
                    break;
                case kNums:
                    if (c >= '0' && c <= '9') {
                        if (num <= UINT32_MAX) num = num * 10 + static_cast<uint64_t>(c - '0');
                        innum = true;
                        break;
                    }
                    if (innum) {
                        emit();
                        ++field;
                        num = 0;
                        innum = false;
                    }
                    if (c == '\n') {
                        if (which == kGroups) groups_done = true;
                        if (st.state && st.has_uid && st.has_gid && groups_done) return 0;
                        mode = kKey;
                        klen = 0;
                    }
                    break;
                case kSkip:
                    break;
            }
        }
    }
    if (mode == kNums && innum) emit();
    return 0;
}

bool Exited(char state) {
    return state == 'Z' || state == 'X' || state == 'x';
}

// A path made absolute and plain by its text alone: `rel` taken from `cwd`
// when it is relative, "." and empty steps dropped, ".." taking the step
// before it back. No file is looked at: a process's arguments must not make
// the scan wait on a slow or hostile filesystem.
std::string Lexical(const char *cwd, const char *rel) {
    std::string joined = rel[0] == '/' ? std::string(rel) : std::string(cwd) + "/" + rel;
    std::vector<std::string> steps;
    size_t at = 0;
    while (at <= joined.size()) {
        size_t end = joined.find('/', at);
        if (end == std::string::npos) end = joined.size();
        std::string step = joined.substr(at, end - at);
        if (step == "..") {
            if (!steps.empty()) steps.pop_back();
        } else if (!step.empty() && step != ".") {
            steps.push_back(std::move(step));
        }
        at = end + 1;
    }
    std::string out;
    for (const std::string &step : steps) out += "/" + step;
    return out.empty() ? "/" : out;
}

class Scanner {
public:
    Scanner(const char *procdir, int procfd, const std::vector<proc_program_t> &programs,
            std::vector<proc_match_t> &out, std::string &error, const proc_filter_t &filter)
        : m_procdir(procdir),
          m_procfd(procfd),
          m_programs(programs),
          m_out(out),
          m_error(error),
          m_filter(filter) {
        for (const proc_program_t &p : programs)
            if (p.script) m_any_script = true;
    }

    // One process directory: false on an error that fails the scan.
    bool Examine(const char *pid) {
        char rel[kPidRel];
        if (!PidRel(rel, sizeof(rel), pid, "exe")) return true;
        char link[PATH_MAX + kDeletedLen + 1];
        ssize_t n = readlinkat(m_procfd, rel, link, sizeof(link));
        if (n < 0) {
            // Kernel threads and zombies have no exe: ENOENT.
            if (Gone(errno) || OutOfReach(errno)) return true;
            SetError(m_error, "readlinkat", m_procdir, pid, "exe", errno);
            return false;
        }
        if (static_cast<size_t>(n) == sizeof(link)) return true;  // longer than any program
        long program = MatchPath(m_programs, link, static_cast<size_t>(n));
        if (program < 0 && !m_any_script) return true;
        return Confirm(pid);
    }

private:
    // 0 when `e` means the process is gone or out of reach, else -1 with the
    // error set.
    int Skip(const char *pid, const char *syscall, const char *file, int e) {
        if (Gone(e) || OutOfReach(e)) return 0;
        SetError(m_error, syscall, m_procdir, pid, file, e);
        return -1;
    }

    // A candidate, seen through paths that a reused pid could have changed
    // under us: its status, then its exe and arguments again, all read
    // through one descriptor of its directory (which refers to that process
    // alone; every read fails once it has ended). Appends the match.
    bool Confirm(const char *pid) {
        int dfd = openat(m_procfd, pid, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (dfd < 0) return Skip(pid, "openat", "", errno) == 0;
        bool ok = ConfirmIn(dfd, pid);
        close(dfd);
        return ok;
    }

    bool ConfirmIn(int dfd, const char *pid) {
        proc_match_t m;
        int fd = openat(dfd, "status", O_RDONLY | O_CLOEXEC);
        if (fd < 0) return Skip(pid, "openat", "status", errno) == 0;
        Status st;
        int r = ReadStatus(fd, st, &m.groups);
        int e = errno;
        close(fd);
        if (r < 0) return Skip(pid, "read", "status", e) == 0;
        if (st.state == 0 || Exited(st.state) || !st.has_uid || !st.has_gid) return true;

        char link[PATH_MAX + kDeletedLen + 1];
        ssize_t n = readlinkat(dfd, "exe", link, sizeof(link));
        if (n < 0) return Skip(pid, "readlinkat", "exe", errno) == 0;
        if (static_cast<size_t>(n) == sizeof(link)) return true;
        long program = MatchPath(m_programs, link, static_cast<size_t>(n));
        if (program < 0 && !m_any_script) return true;
        m.pid = atoi(pid);
        m.uid = st.uid;
        m.gid = st.gid;
        m.exe.assign(link, static_cast<size_t>(n));
        // Judged by its ids before its arguments are read: reading them
        // waits for the process's memory map, which a process can hold.
        if (m_filter && !m_filter(m)) return true;
        if (program < 0) {
            int s = ScriptProgramIn(dfd, pid, program);
            if (s < 0) return false;
            if (s == 0) return true;
        }
        m.program = static_cast<size_t>(program);
        m_out.push_back(std::move(m));
        return true;
    }

    // The script program the process's argument names (by its text, taken
    // from the process's cwd when relative), into `program`: 1 found, 0 none,
    // -1 on an error that fails the scan.
    int ScriptProgramIn(int dfd, const char *pid, long &program) {
        int fd = openat(dfd, "cmdline", O_RDONLY | O_CLOEXEC);
        if (fd < 0) return Skip(pid, "openat", "cmdline", errno);
        char cand[PATH_MAX];
        int r = ScriptArgument(fd, cand);
        int e = errno;
        close(fd);
        if (r < 0) return Skip(pid, "read", "cmdline", e);
        if (r == 0) return 0;
        char cwd[PATH_MAX] = "";
        if (cand[0] != '/') {
            // The cwd of that very process, as the kernel names it.
            ssize_t len = readlinkat(dfd, "cwd", cwd, sizeof(cwd) - 1);
            if (len < 0) return Skip(pid, "readlinkat", "cwd", errno);
            cwd[len] = '\0';
            if (cwd[0] != '/') return 0;
        }
        const std::string named = Lexical(cwd, cand);
        for (size_t i = 0; i < m_programs.size(); ++i) {
            const proc_program_t &p = m_programs[i];
            if (p.script && (p.path == named || (!p.declared.empty() && p.declared == named))) {
                program = static_cast<long>(i);
                return 1;
            }
        }
        return 0;
    }

    const char *m_procdir;
    int m_procfd;
    const std::vector<proc_program_t> &m_programs;
    std::vector<proc_match_t> &m_out;
    std::string &m_error;
    const proc_filter_t &m_filter;
    bool m_any_script = false;
};

// A pid: 1 to 10 digits, nothing else.
bool IsPid(const char *name) {
    size_t i = 0;
    for (; name[i]; ++i)
        if (name[i] < '0' || name[i] > '9' || i >= 10) return false;
    return i > 0 && name[0] != '0';
}

}  // namespace

int proc_resolve_program(const std::string &exec, proc_program_t &out, std::string &error) {
    if (exec.empty() || exec[0] != '/') {
        error = "not an absolute path";
        return -1;
    }
    if (exec.find('\0') != std::string::npos) {
        error = std::string("realpath: ") + strerror(EINVAL);
        return -1;
    }
    char resolved[PATH_MAX];
    if (realpath(exec.c_str(), resolved) == nullptr) {
        error = std::string("realpath: ") + strerror(errno);
        return -1;
    }
    struct stat st;
    if (stat(resolved, &st) != 0) {
        error = std::string("stat: ") + strerror(errno);
        return -1;
    }
    if (S_ISDIR(st.st_mode)) {
        error = std::string("stat: ") + strerror(EISDIR);
        return -1;
    }
    if (!S_ISREG(st.st_mode)) {
        error = "stat: not a regular file";
        return -1;
    }
    // O_NONBLOCK: should the file have become a FIFO since, open does not wait.
    int fd = open(resolved, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) {
        error = std::string("open: ") + strerror(errno);
        return -1;
    }
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        error = "stat: not a regular file";
        return -1;
    }
    char head[2];
    size_t got = 0;
    while (got < sizeof(head)) {
        ssize_t n = read(fd, head + got, sizeof(head) - got);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            int e = errno;
            close(fd);
            error = std::string("read: ") + strerror(e);
            return -1;
        }
        if (n == 0) break;
        got += static_cast<size_t>(n);
    }
    close(fd);
    out.path = resolved;
    out.declared = Lexical("/", exec.c_str());
    if (out.declared == out.path) out.declared.clear();
    out.script = got == 2 && head[0] == '#' && head[1] == '!';
    return 0;
}

int proc_scan(const char *procdir, const std::vector<proc_program_t> &programs,
              std::vector<proc_match_t> &out, size_t max_procs, std::string &error,
              const proc_filter_t &filter) {
    int fd = open(procdir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DIR *dir = fd < 0 ? nullptr : fdopendir(fd);
    if (dir == nullptr) {
        int e = errno;
        if (fd >= 0) close(fd);
        error = std::string("opendir ") + procdir + ": " + strerror(e);
        return -1;
    }
    size_t limit = max_procs < static_cast<size_t>(INT_MAX) ? max_procs : INT_MAX;
    size_t examined = 0;
    int result = 0;
    if (limit > 0 && !programs.empty()) {
        Scanner scanner(procdir, fd, programs, out, error, filter);
        while (examined < limit) {
            errno = 0;
            struct dirent *d = readdir(dir);
            if (d == nullptr) {
                if (errno != 0) {
                    error = std::string("readdir ") + procdir + ": " + strerror(errno);
                    result = -1;
                }
                break;
            }
            if ((d->d_type != DT_DIR && d->d_type != DT_UNKNOWN) || !IsPid(d->d_name)) continue;
            ++examined;
            if (!scanner.Examine(d->d_name)) {
                result = -1;
                break;
            }
        }
    } else if (limit > 0) {
        // Nothing to look for: the directories are only counted.
        struct dirent *d;
        while (examined < limit && (d = readdir(dir)) != nullptr)
            if ((d->d_type == DT_DIR || d->d_type == DT_UNKNOWN) && IsPid(d->d_name)) ++examined;
    }
    closedir(dir);
    return result < 0 ? -1 : static_cast<int>(examined);
}

long proc_euid(const char *procdir, int pid) {
    if (pid <= 0) return -1;
    std::string path = std::string(procdir) + "/" + std::to_string(pid) + "/status";
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return -1;
    Status st;
    int r = ReadStatus(fd, st, nullptr);
    close(fd);
    if (r < 0 || st.state == 0 || Exited(st.state) || !st.has_uid) return -1;
    return static_cast<long>(st.uid);
}
