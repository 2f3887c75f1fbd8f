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

#include <algorithm>

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

// Whether `link` (or `link` less a trailing " (deleted)") is `path`.
bool SamePath(const std::string &path, const char *link, size_t len) {
    if (path.size() == len && memcmp(path.data(), link, len) == 0) return true;
    return len > kDeletedLen && memcmp(link + len - kDeletedLen, kDeleted, kDeletedLen) == 0 &&
           path.size() == len - kDeletedLen && memcmp(path.data(), link, len - kDeletedLen) == 0;
}

// Index of the binary program whose path the exe link names, or -1.
long MatchPath(const std::vector<proc_program_t> &programs, const char *link, size_t len) {
    for (size_t i = 0; i < programs.size(); ++i)
        if (!programs[i].script && SamePath(programs[i].path, link, len))
            return static_cast<long>(i);
    return -1;
}

// Whether the exe link names the interpreter of a script program.
bool MatchInterpreter(const std::vector<proc_program_t> &programs, const char *link, size_t len) {
    for (const proc_program_t &p : programs)
        if (p.script && !p.interpreter.empty() && SamePath(p.interpreter, link, len)) return true;
    return false;
}

// The process's arguments argv[1..want] read from its cmdline descriptor,
// each at most PATH_MAX - 1 bytes: 1 when it has that many (fewer when the
// arguments end first), 0 when one is too long or lies past kCmdlineCap,
// -1 with errno on a read error. argv[0] is skipped whatever its length.
int ReadArguments(int fd, size_t want, std::vector<std::string> &args) {
    args.clear();
    char buf[4096];
    size_t total = 0;
    bool in_arg0 = true, open_arg = false;
    // Until `want` arguments have been read whole.
    auto more = [&] { return args.size() < want || open_arg; };
    while (total < kCmdlineCap && more()) {
        ssize_t n = read(fd, buf, sizeof(buf));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return -1;
        if (n == 0) break;
        total += static_cast<size_t>(n);
        const char *p = buf, *end = buf + n;
        while (p < end && more()) {
            const char *nul = static_cast<const char *>(memchr(p, '\0', end - p));
            const char *stop = nul != nullptr ? nul : end;
            if (!in_arg0) {
                if (!open_arg) args.emplace_back();
                open_arg = true;
                args.back().append(p, stop - p);
                if (args.back().size() >= PATH_MAX) return 0;
            }
            if (nul == nullptr) break;
            in_arg0 = false;
            open_arg = false;
            p = nul + 1;
        }
    }
    // What was read past the cap is not trusted; the last argument may lack
    // its NUL (a process that rewrote its arguments).
    if (total >= kCmdlineCap && more()) return 0;
    return 1;
}

// What the scan reads of /proc/<pid>/status.
struct Status {
    char state = 0;
    bool has_uid = false, has_gid = false;  // real, effective and saved all read
    uid_t uid[3] = {0, 0, 0};               // real, effective, saved
    gid_t gid[3] = {0, 0, 0};
    unsigned uid_seen = 0, gid_seen = 0;  // bit per field read
};

// Reads State, the real, effective and saved Uid and Gid and, when `groups` is given, the
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
        if (which == kUid && field < 3) {
            st.uid[field] = static_cast<uid_t>(num);
            st.uid_seen |= 1u << field;
            st.has_uid = st.uid_seen == 7;
        } else if (which == kGid && field < 3) {
            st.gid[field] = static_cast<gid_t>(num);
            st.gid_seen |= 1u << field;
            st.has_gid = st.gid_seen == 7;
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
          m_filter(filter) {}

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
        const size_t len = static_cast<size_t>(n);
        if (MatchPath(m_programs, link, len) < 0 && !MatchInterpreter(m_programs, link, len))
            return true;
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
        const size_t len = static_cast<size_t>(n);
        long program = MatchPath(m_programs, link, len);
        if (program < 0 && !MatchInterpreter(m_programs, link, len)) return true;
        m.pid = atoi(pid);
        m.ruid = st.uid[0];
        m.uid = st.uid[1];
        m.suid = st.uid[2];
        m.rgid = st.gid[0];
        m.gid = st.gid[1];
        m.sgid = st.gid[2];
        m.exe.assign(link, len);
        // Judged by its ids before its arguments are read: reading them
        // waits for the process's memory map, which a process can hold.
        if (m_filter && !m_filter(m)) return true;
        if (program < 0) {
            int s = ScriptProgramIn(dfd, pid, link, len, program);
            if (s < 0) return false;
            if (s == 0) return true;
        }
        m.program = static_cast<size_t>(program);
        m_out.push_back(std::move(m));
        return true;
    }

    // The script program whose interpreter the exe names and whose path
    // the process's arguments give where that interpreter takes it (by its
    // text, taken from the process's cwd when relative), into `program`: 1
    // found, 0 none, -1 on an error that fails the scan.
    int ScriptProgramIn(int dfd, const char *pid, const char *link, size_t len, long &program) {
        size_t want = 0;
        for (const proc_program_t &p : m_programs)
            if (p.script && SamePath(p.interpreter, link, len))
                want = std::max(want, p.interpreter_args.size() + 1);
        int fd = openat(dfd, "cmdline", O_RDONLY | O_CLOEXEC);
        if (fd < 0) return Skip(pid, "openat", "cmdline", errno);
        int r = ReadArguments(fd, want, m_args);
        int e = errno;
        close(fd);
        if (r < 0) return Skip(pid, "read", "cmdline", e);
        if (r == 0) return 0;
        char cwd[PATH_MAX] = "";
        for (size_t i = 0; i < m_programs.size(); ++i) {
            const proc_program_t &p = m_programs[i];
            const size_t at = p.interpreter_args.size();
            if (!p.script || !SamePath(p.interpreter, link, len) || m_args.size() <= at ||
                m_args[at].empty() ||
                !std::equal(p.interpreter_args.begin(), p.interpreter_args.end(), m_args.begin()))
                continue;
            const std::string &named = m_args[at];
            if (named[0] != '/' && cwd[0] == '\0') {
                // The cwd of that very process, as the kernel names it.
                ssize_t got = readlinkat(dfd, "cwd", cwd, sizeof(cwd) - 1);
                if (got < 0) return Skip(pid, "readlinkat", "cwd", errno);
                cwd[got] = '\0';
                if (cwd[0] != '/') return 0;
            }
            const std::string plain = Lexical(cwd, named.c_str());
            if (p.path == plain || (!p.declared.empty() && p.declared == plain)) {
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
    std::vector<std::string> m_args;
};

// A pid: 1 to 10 digits, nothing else.
bool IsPid(const char *name) {
    size_t i = 0;
    for (; name[i]; ++i)
        if (name[i] < '0' || name[i] > '9' || i >= 10) return false;
    return i > 0 && name[0] != '0';
}

// Bytes of a script's first line looked at, as the kernel reads them.
constexpr size_t kShebangCap = 256;
// Where `#!/usr/bin/env NAME` finds NAME: the daemon does not know the
// PATH a product is started with, so a fixed one, systemd's own.
const char *const kEnvPath[] = {"/usr/local/sbin", "/usr/local/bin", "/usr/sbin",
                                "/usr/bin",        "/sbin",          "/bin"};

bool Blank(char c) {
    return c == ' ' || c == '\t';
}

std::vector<std::string> Words(const std::string &text) {
    std::vector<std::string> out;
    size_t at = 0;
    while (at < text.size()) {
        while (at < text.size() && Blank(text[at])) ++at;
        size_t end = at;
        while (end < text.size() && !Blank(text[end])) ++end;
        if (end > at) out.push_back(text.substr(at, end - at));
        at = end;
    }
    return out;
}

// The resolved path of an executable regular file, "" when there is none.
std::string Executable(const std::string &path) {
    char resolved[PATH_MAX];
    struct stat st;
    if (path.empty() || path[0] != '/' || realpath(path.c_str(), resolved) == nullptr ||
        stat(resolved, &st) != 0 || !S_ISREG(st.st_mode) || (st.st_mode & 0111) == 0)
        return "";
    return resolved;
}

// The interpreter and its arguments of a "#!" line (`line` without the
// "#!" and the line feed), as the kernel and env take it; the interpreter
// stays "" for a line this code does not take.
void Interpreter(const std::string &line, proc_program_t &out) {
    size_t at = 0;
    while (at < line.size() && Blank(line[at])) ++at;
    size_t end = at;
    while (end < line.size() && !Blank(line[end])) ++end;
    const std::string interp = line.substr(at, end - at);
    while (end < line.size() && Blank(line[end])) ++end;
    size_t last = line.size();
    while (last > end && Blank(line[last - 1])) --last;
    const std::string arg = line.substr(end, last - end);
    if (interp.empty() || interp[0] != '/' || line.find('\0') != std::string::npos) return;
    const size_t slash = interp.rfind('/');
    if (interp.compare(slash + 1, std::string::npos, "env") != 0) {
        out.interpreter = Executable(interp);
        if (!arg.empty()) out.interpreter_args.push_back(arg);
        return;
    }
    // env NAME, or env -S NAME ARGS...: anything else (options, NAME=value,
    // quotes) is not taken.
    std::vector<std::string> words;
    if (arg.size() > 2 && arg.compare(0, 2, "-S") == 0 && Blank(arg[2]))
        words = Words(arg.substr(3));
    else if (Words(arg).size() == 1)
        words.push_back(arg);
    if (words.empty() || words[0][0] == '-') return;
    for (const std::string &w : words)
        if (w.find_first_of("=\"'\\$") != std::string::npos) return;
    const std::string &name = words[0];
    std::string found;
    if (name[0] == '/') {
        found = Executable(name);
    } else if (name.find('/') == std::string::npos) {
        for (const char *dir : kEnvPath)
            if (!(found = Executable(std::string(dir) + "/" + name)).empty()) break;
    }
    if (found.empty()) return;
    out.interpreter = found;
    out.interpreter_args.assign(words.begin() + 1, words.end());
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
    // O_NONBLOCK: should the file have become a FIFO since, open does not
    // wait; O_NOFOLLOW: nor does it follow a link put there since.
    int fd = open(resolved, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY | O_NOFOLLOW);
    if (fd < 0) {
        error = std::string("open: ") + strerror(errno);
        return -1;
    }
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        error = "stat: not a regular file";
        return -1;
    }
    char head[kShebangCap];
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
    out = proc_program_t();
    out.path = resolved;
    out.declared = Lexical("/", exec.c_str());
    if (out.declared == out.path) out.declared.clear();
    out.script = got >= 2 && head[0] == '#' && head[1] == '!';
    if (out.script) {
        // The line ends at its line feed, or at the end of a shorter file.
        const char *nl = static_cast<const char *>(memchr(head, '\n', got));
        const char *end = nl != nullptr ? nl : head + got;
        if (nl != nullptr || got < sizeof(head))
            Interpreter(std::string(static_cast<const char *>(head) + 2, end), out);
    }
    return 0;
}

struct proc_walk_t {
    std::string procdir;
    int fd = -1;
    DIR *dir = nullptr;
};

proc_walk_t *proc_walk_open(const char *procdir, std::string &error) {
    int fd = open(procdir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DIR *dir = fd < 0 ? nullptr : fdopendir(fd);
    if (dir == nullptr) {
        int e = errno;
        if (fd >= 0) close(fd);
        error = std::string("opendir ") + procdir + ": " + strerror(e);
        return nullptr;
    }
    proc_walk_t *walk = new proc_walk_t;
    walk->procdir = procdir;
    walk->fd = fd;
    walk->dir = dir;
    return walk;
}

void proc_walk_close(proc_walk_t *walk) {
    if (walk == nullptr) return;
    closedir(walk->dir);
    delete walk;
}

int proc_walk_step(proc_walk_t *walk, const std::vector<proc_program_t> &programs,
                   std::vector<proc_match_t> &out, size_t max_procs, bool &done, std::string &error,
                   const proc_filter_t &filter) {
    const size_t limit = max_procs < static_cast<size_t>(INT_MAX) ? max_procs : INT_MAX;
    size_t examined = 0;
    done = false;
    Scanner scanner(walk->procdir.c_str(), walk->fd, programs, out, error, filter);
    while (examined < limit) {
        errno = 0;
        struct dirent *d = readdir(walk->dir);
        if (d == nullptr) {
            if (errno != 0) {
                error = "readdir " + walk->procdir + ": " + strerror(errno);
                return -1;
            }
            done = true;
            break;
        }
        if ((d->d_type != DT_DIR && d->d_type != DT_UNKNOWN) || !IsPid(d->d_name)) continue;
        ++examined;
        // Nothing to look for: the directories are only counted.
        if (!programs.empty() && !scanner.Examine(d->d_name)) return -1;
    }
    return static_cast<int>(examined);
}

int proc_scan(const char *procdir, const std::vector<proc_program_t> &programs,
              std::vector<proc_match_t> &out, size_t max_procs, std::string &error,
              const proc_filter_t &filter) {
    proc_walk_t *walk = proc_walk_open(procdir, error);
    if (walk == nullptr) return -1;
    bool done = false;
    int n =
        max_procs == 0 ? 0 : proc_walk_step(walk, programs, out, max_procs, done, error, filter);
    proc_walk_close(walk);
    return n;
}

int proc_scan_pid(const char *procdir, int pid, const std::vector<proc_program_t> &programs,
                  std::vector<proc_match_t> &out, std::string &error, const proc_filter_t &filter) {
    if (pid <= 0 || programs.empty()) return 0;
    int fd = open(procdir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        error = std::string("opendir ") + procdir + ": " + strerror(errno);
        return -1;
    }
    const size_t before = out.size();
    Scanner scanner(procdir, fd, programs, out, error, filter);
    const bool ok = scanner.Examine(std::to_string(pid).c_str());
    close(fd);
    if (!ok) return -1;
    return out.size() > before ? 1 : 0;
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
    return static_cast<long>(st.uid[1]);
}
