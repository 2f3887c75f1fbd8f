#include "log/mylog.h"

#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <memory>

#include "base/paths.h"
#include "base/state_dir.h"
#include "base/utils.h"
#include "log/ini_parser.h"
#include "log/journal.h"
#include "log/log_escape.h"
#include "log/log_format.h"
#include "log/private_file.h"

namespace {

const char *const kLevelNames[] = {"ERROR", "INFO", "DEBUG", "WARNING"};

// The ids of every line's header, asked of the kernel once rather than per
// line; 0 until asked. A fork's child (the daemon forks to detach and for
// its supervisor) forgets both: it has a pid of its own and its one thread a
// new id.
std::atomic<int> s_pid{0};
thread_local int t_tid = 0;

void forget_ids_in_child() {
    s_pid.store(0, std::memory_order_relaxed);
    t_tid = 0;
}

[[maybe_unused]] const int s_atfork_registered =
    pthread_atfork(nullptr, nullptr, forget_ids_in_child);

int header_pid() {
    int pid = s_pid.load(std::memory_order_relaxed);
    if (pid == 0) {
        pid = static_cast<int>(getpid());
        s_pid.store(pid, std::memory_order_relaxed);
    }
    return pid;
}

int header_tid() {
    if (t_tid == 0) t_tid = static_cast<int>(syscall(SYS_gettid));
    return t_tid;
}

// A configured ceiling: decimal digits only (no sign, no blanks, no suffix),
// within the configured range.
bool parse_ceiling(const std::string &text, long long *out) {
    if (text.empty()) return false;
    long long v = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        v = v * 10 + (c - '0');
        if (v > MyLog::kMaxConfiguredCeiling) return false;
    }
    if (v < MyLog::kMinConfiguredCeiling) return false;
    *out = v;
    return true;
}

}  // namespace

const char *StrLogLevel(_LogLevel level) {
    if (level < ERROR || level > WARNING) return "UNKNOWN";
    return kLevelNames[level];
}

MyLog::MyLog() {
    pthread_mutex_init(&m_mutex, nullptr);
    loadLogConf();
    // The configured level is the level the daemon starts with.
    m_level.store(m_confLevel);
}

MyLog::~MyLog() {
    Close();
    pthread_mutex_destroy(&m_mutex);
}

// Opens `path` for appending, creating missing directories: the descriptor
// and the file's size, or -1 with errno set and m_openError saying why.
int MyLog::openFile(const char *path, long long *size) {
    if (!Utils::make_parent_dirs(path)) {
        m_openError = std::string(path) + ": " + strerror(errno);
        return -1;
    }
    // A directory others may write could hold anything at the log's name.
    std::string why;
    int dirfd = state_dir_open(path_dir(path), &why);
    if (dirfd < 0) {
        m_openError = "unsafe log directory " + why;
        return -1;
    }
    // Never through a link, and only a regular file of our own: the log
    // names every peer and uuid, so only its owner reads it.
    int fd = state_file_open(dirfd, path_base(path).c_str(), O_RDWR | O_CREAT | O_APPEND,
                             kPrivateFileMode, &why);
    int saved = errno;
    close(dirfd);
    errno = saved;
    if (fd < 0) {
        m_openError = std::string(path) + ": " + why;
        return -1;
    }
    struct stat st;
    if (fstat(fd, &st) != 0) {
        m_openError = std::string(path) + ": " + strerror(errno);
        close(fd);
        errno = saved;
        return -1;
    }
    *size = st.st_size;
    return fd;
}

bool MyLog::Open(const char *path) {
    if (m_fd != -1 || path == nullptr) return false;
    long long size = 0;
    int fd = openFile(path, &size);
    if (fd < 0) return false;
    // A file created by an older build, or by hand, may be readable by all.
    mode_t was = 0, now = 0;
    const bool narrowed = private_file_narrow(fd, &was, &now) == 1;
    pthread_mutex_lock(&m_mutex);
    m_fd = fd;
    m_curSize = size;
    m_path = path;
    m_lastCheck = static_cast<long>(time(nullptr));
    m_journal = journal_stream_matches(getenv("JOURNAL_STREAM"), STDERR_FILENO);
    m_journalSocket = vk_paths::File(vk_paths::kJournalSocket);
    pthread_mutex_unlock(&m_mutex);
    if (narrowed)
        Write(INFO, "log file %s had mode %04o,narrowed to %04o", path, static_cast<unsigned>(was),
              static_cast<unsigned>(now));
    reportConf();
    return true;
}

// A log file removed while open (say with its whole directory) would
// swallow every later line; once a second the file is looked for and, when
// gone, opened anew.
void MyLog::reopenIfRemoved() {
    long now = static_cast<long>(time(nullptr));
    if (now == m_lastCheck || m_path.empty()) return;
    pthread_mutex_lock(&m_mutex);
    m_lastCheck = now;
    struct stat st;
    if (m_fd != -1 && fstat(m_fd, &st) == 0 && st.st_nlink == 0) {
        long long size = 0;
        int fd = openFile(m_path.c_str(), &size);
        if (fd >= 0) {
            close(m_fd);
            m_fd = fd;
            m_curSize = size;
        }
    }
    pthread_mutex_unlock(&m_mutex);
}

bool MyLog::Close() {
    pthread_mutex_lock(&m_mutex);
    if (m_fd != -1) close(m_fd);
    m_fd = -1;
    m_curSize = 0;
    m_path.clear();
    m_journal = false;
    if (m_evidenceFd != -1) close(m_evidenceFd);
    m_evidenceFd = -1;
    m_journalSocket.clear();
    m_cutFailing = false;
    m_dropped = 0;
    pthread_mutex_unlock(&m_mutex);
    return true;
}

bool MyLog::SetMaxLogFilesize(long long size) {
    if (size < kMinConfiguredCeiling || size > kMaxConfiguredCeiling) return false;
    pthread_mutex_lock(&m_mutex);
    m_ceiling = size;
    pthread_mutex_unlock(&m_mutex);
    return true;
}

bool MyLog::Write(_LogLevel level, const char *format, ...) {
    va_list ap;
    va_start(ap, format);
    bool ok = VWrite(level, format, ap);
    va_end(ap);
    return ok;
}

bool MyLog::VWrite(_LogLevel level, const char *format, va_list ap) {
    return vwrite(level, false, format, ap);
}

bool MyLog::WriteEvidence(_LogLevel level, const char *format, ...) {
    va_list ap;
    va_start(ap, format);
    bool ok = vwrite(level, true, format, ap);
    va_end(ap);
    return ok;
}

bool MyLog::VWriteEvidence(_LogLevel level, const char *format, va_list ap) {
    return vwrite(level, true, format, ap);
}

bool MyLog::vwrite(_LogLevel level, bool evidence, const char *format, va_list ap) {
    const int rank = level == WARNING ? static_cast<int>(ERROR) : static_cast<int>(level);
    if (rank > m_level.load() || format == nullptr) return false;
    if (m_fd == -1) return false;
    reopenIfRemoved();
    return write_with_type(level, evidence, format, ap);
}

// Without the journal on standard error, nothing else would carry the line
// there. A journal that is absent or slow costs the line, never a wait.
void MyLog::send_evidence(_LogLevel level, const char *message, size_t length) {
    pthread_mutex_lock(&m_mutex);
    if (m_evidenceFd == -1 && !m_journalSocket.empty()) m_evidenceFd = journal_socket();
    if (m_evidenceFd != -1)
        journal_send(m_evidenceFd, m_journalSocket.c_str(), level, message, length);
    pthread_mutex_unlock(&m_mutex);
}

namespace {

// The header of every line written in the same second by the same thread
// is the same text: it is built once per second, not per line.
struct HeaderCache {
    time_t second = -1;
    int pid = 0;
    int tid = 0;
    int len = 0;
    char text[64];
};
thread_local HeaderCache t_header;

}  // namespace

int MyLog::write_header(char *out, size_t size) {
    const time_t now = time(nullptr);
    const int pid = header_pid();
    const int tid = header_tid();
    HeaderCache &h = t_header;
    if (h.second != now || h.pid != pid || h.tid != tid) {
        struct tm tmv;
        localtime_r(&now, &tmv);
        size_t n = strftime(h.text, sizeof(h.text), "%Y-%m-%d %H:%M:%S|", &tmv);
        int w = snprintf(h.text + n, sizeof(h.text) - n, "%-5d|%-5d|", pid, tid);
        if (w > 0) n += std::min(static_cast<size_t>(w), sizeof(h.text) - n - 1);
        h.len = static_cast<int>(n);
        h.second = now;
        h.pid = pid;
        h.tid = tid;
    }
    const size_t n = std::min(static_cast<size_t>(h.len), size - 1);
    memcpy(out, h.text, n);
    out[n] = '\0';
    return static_cast<int>(n);
}

int MyLog::write_type(_LogLevel level, char *out, size_t size) {
    const char *name = StrLogLevel(level);
    size_t len = strlen(name);
    if (len >= size) len = size - 1;
    memcpy(out, name, len);
    out[len] = '\0';
    return static_cast<int>(len);
}

// "header|LEVEL|message\n" with the message's control bytes escaped, in one
// write. Short messages are formatted and assembled on the stack; only a
// long one costs heap allocations.
bool MyLog::write_with_type(_LogLevel level, bool evidence, const char *format, va_list ap) {
    char prefix[96];
    int plen = write_header(prefix, sizeof(prefix));
    plen += write_type(level, prefix + plen, sizeof(prefix) - static_cast<size_t>(plen));

    char stack_message[1024];
    char *message = stack_message;
    std::unique_ptr<char, decltype(&free)> heap_message(nullptr, free);
    int mlen = log_format(stack_message, sizeof(stack_message), format, ap);
    if (mlen < 0) {
        va_list again;
        va_copy(again, ap);
        mlen = vsnprintf(stack_message, sizeof(stack_message), format, again);
        va_end(again);
    }
    if (mlen >= static_cast<int>(sizeof(stack_message))) {
        char *long_message = nullptr;
        mlen = vasprintf(&long_message, format, ap);
        if (mlen >= 0) heap_message.reset(long_message);
        message = long_message;
    }
    if (mlen < 0) return false;

    // Escaping makes a byte at most four: when even that fits on the stack
    // the message is escaped in one pass, otherwise measured first.
    const size_t m = static_cast<size_t>(mlen);
    const size_t p = static_cast<size_t>(plen);
    char stack_line[2048];
    char *line = stack_line;
    std::unique_ptr<char, decltype(&free)> heap_line(nullptr, free);
    size_t elen;
    if (p + 1 + 4 * m + 1 <= sizeof(stack_line)) {
        elen = log_escape(message, m, line + p + 1);
    } else {
        elen = log_escaped_length(message, m);
        heap_line.reset(static_cast<char *>(malloc(p + 1 + elen + 1)));
        if (heap_line == nullptr) return false;
        line = heap_line.get();
        log_escape(message, m, line + p + 1);
    }
    const size_t len = p + 1 + elen + 1;
    memcpy(line, prefix, p);
    line[p] = '|';
    line[len - 1] = '\n';
    bool ok = write_buffer(line, len);
    if (m_journal)
        journal_write(STDERR_FILENO, level, line + p + 1, elen + 1);
    else if (evidence)
        send_evidence(level, line + p + 1, elen);
    return ok;
}

bool MyLog::write_buffer(const char *data, size_t length) {
    std::string failed;
    long long dropped = -1;
    pthread_mutex_lock(&m_mutex);
    // A log that cannot be cut stops at twice its ceiling: a line past
    // that is not written until a cut succeeds.
    if (m_cutFailing && m_curSize + static_cast<long long>(length) > 2 * m_ceiling) {
        cutLocked(&failed, &dropped);
        if (m_cutFailing) {
            ++m_dropped;
            pthread_mutex_unlock(&m_mutex);
            return false;
        }
    }
    pthread_mutex_unlock(&m_mutex);
    ssize_t w = write(m_fd, data, length);
    if (w < 0 || static_cast<size_t>(w) != length) return false;
    pthread_mutex_lock(&m_mutex);
    if (m_curSize > m_ceiling - 1) cutLocked(&failed, &dropped);
    m_curSize += static_cast<long long>(length);
    pthread_mutex_unlock(&m_mutex);
    // Said once per run of failures, after the mutex is free: these lines
    // come back through here.
    if (!failed.empty())
        Write(ERROR,
              "cannot cut the log %s: %s; it grows up to %lld bytes, then drops lines until a cut "
              "succeeds",
              m_path.c_str(), failed.c_str(), 2 * m_ceiling);
    if (dropped >= 0)
        Write(ERROR, "the log %s is cut again; %lld lines were dropped while it could not be",
              m_path.c_str(), dropped);
    return true;
}

// Cuts the log under m_mutex and keeps track of a run of failed cuts:
// `*failed` tells why the first of a run failed, `*dropped` how many lines
// were dropped during a run that has just ended.
void MyLog::cutLocked(std::string *failed, long long *dropped) {
    std::string why;
    if (truncate(&why)) {
        if (m_cutFailing && m_dropped > 0) *dropped = m_dropped;
        m_cutFailing = false;
        m_dropped = 0;
    } else if (!m_cutFailing) {
        m_cutFailing = true;
        *failed = why;
    }
}

// Copies `from` from `offset` to its end onto `to`: true with the number of
// bytes copied.
bool MyLog::copyTail(int from, long long offset, int to, long long *copied) {
    const size_t kChunk = 65536;
    char *buf = static_cast<char *>(malloc(kChunk));
    if (buf == nullptr) return false;
    long long done = 0;
    bool ok = true;
    while (ok) {
        ssize_t r = pread(from, buf, kChunk, static_cast<off_t>(offset + done));
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) {
            ok = r == 0;
            break;
        }
        for (ssize_t put = 0; ok && put < r;) {
            ssize_t w = write(to, buf + put, static_cast<size_t>(r - put));
            if (w < 0 && errno == EINTR) continue;
            ok = w > 0;
            if (ok) put += w;
        }
        done += r;
    }
    free(buf);
    *copied = done;
    return ok;
}

// Keeps the newest half of the ceiling: the tail is copied to a temporary
// file beside the log, flushed, and renamed over it, so that a failure or a
// crash at any step leaves the old file whole. The cut falls at a byte
// position, so the first line afterwards is usually a fragment.
bool MyLog::truncate(std::string *why) {
    const long long keep = m_ceiling / 2;
    struct stat st;
    if (fstat(m_fd, &st) != 0 || st.st_size <= keep) return true;
    std::string tmp = m_path + ".cut";
    const int flags = O_RDWR | O_CREAT | O_EXCL | O_APPEND | O_CLOEXEC | O_NOFOLLOW;
    int fd = open(tmp.c_str(), flags, st.st_mode & 07777);
    if (fd < 0 && errno == EEXIST) {
        // Left by a cut that never finished, or a link: removed. Anything
        // else there (a directory) is not ours to remove, and the cut fails.
        struct stat at;
        if (lstat(tmp.c_str(), &at) == 0 && !S_ISREG(at.st_mode) && !S_ISLNK(at.st_mode)) {
            *why = tmp + " is not a regular file";
            return false;
        }
        if (unlink(tmp.c_str()) == 0) fd = open(tmp.c_str(), flags, st.st_mode & 07777);
    }
    if (fd < 0) {
        *why = tmp + ": " + strerror(errno);
        return false;
    }
    long long copied = 0;
    // The umask must not narrow the log's mode. The owner is kept where the
    // process may set it; where it may not, the cut still goes on.
    bool ok = fchmod(fd, st.st_mode & 07777) == 0;
    if (ok && (st.st_uid != geteuid() || st.st_gid != getegid())) {
        int owned = fchown(fd, st.st_uid, st.st_gid);
        (void)owned;
    }
    ok = ok && copyTail(m_fd, st.st_size - keep, fd, &copied) && copied > 0;
    ok = ok && fsync(fd) == 0 && rename(tmp.c_str(), m_path.c_str()) == 0;
    if (!ok) {
        *why = tmp + ": " + strerror(errno);
        close(fd);
        unlink(tmp.c_str());
        return false;
    }
    size_t slash = m_path.rfind('/');
    std::string dir = slash == std::string::npos ? "." : m_path.substr(0, slash == 0 ? 1 : slash);
    int dfd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd >= 0) {
        fsync(dfd);  // makes the rename itself durable
        close(dfd);
    }
    // The descriptor keeps its number, so a write racing the cut lands in
    // one file or the other, never in a closed descriptor.
    if (dup3(fd, m_fd, O_CLOEXEC) >= 0) {
        close(fd);
    } else {
        close(m_fd);
        m_fd = fd;
    }
    m_curSize = copied;
    return true;
}

namespace {

// A value as the file gives it, less a comment after it (" ; ..." or
// " # ..."): no value of this file holds either character.
std::string conf_value(const std::string &raw) {
    for (size_t i = 1; i < raw.size(); ++i) {
        if ((raw[i] != ';' && raw[i] != '#') || (raw[i - 1] != ' ' && raw[i - 1] != '\t')) continue;
        size_t end = i;
        while (end > 0 && (raw[end - 1] == ' ' || raw[end - 1] == '\t')) --end;
        return raw.substr(0, end);
    }
    return raw;
}

}  // namespace

bool MyLog::LoadConf(const std::string &path) {
    // Opened once, never through a link, and taken only from a regular file
    // that no one but its owner (root or us) may write.
    int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        if (errno != ENOENT)
            m_confNotices.push_back(
                "ignored " + path + ": " +
                (errno == ELOOP ? "a symbolic link (not followed)" : strerror(errno)));
        reportConf();
        return false;
    }
    struct stat st;
    std::string text, problem;
    if (fstat(fd, &st) != 0)
        problem = strerror(errno);
    else if (!S_ISREG(st.st_mode))
        problem = "not a regular file";
    else if (st.st_uid != 0 && st.st_uid != geteuid())
        problem = "owned by uid " + std::to_string(st.st_uid);
    else if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0)
        problem = "writable by group or others";
    else if (!fd_read_all(fd, 1 << 20, &text))
        problem = strerror(errno);
    close(fd);
    if (!problem.empty()) {
        m_confNotices.push_back("ignored " + path + ": " + problem);
        reportConf();
        return false;
    }
    INIParser ini;
    ini.SetPath(path);
    if (ini.ReadINIText(text) != 0) return false;
    std::string level = conf_value(ini.GetValue("LOG_CONF", "LOGLEVEL"));
    if (level == "debug") {
        m_confLevel = DEBUG;
    } else if (level == "normal") {
        m_confLevel = INFO;
    } else if (level == "error") {
        m_confLevel = ERROR;
    } else if (!level.empty()) {
        m_confNotices.push_back("ignored LOGLEVEL = " + level + " in " + path +
                                ": not debug, normal or error; the level stays " +
                                (m_confLevel == DEBUG   ? "debug"
                                 : m_confLevel == ERROR ? "error"
                                                        : "normal"));
    }
    std::string size = conf_value(ini.GetValue("LOG_CONF", "MAXFILESIZE"));
    if (!size.empty()) {
        long long ceiling = 0;
        if (parse_ceiling(size, &ceiling)) {
            m_ceiling = ceiling;
        } else {
            m_confNotices.push_back("ignored MAXFILESIZE = " + size + " in " + path +
                                    ": not a number of bytes from " +
                                    std::to_string(kMinConfiguredCeiling) + " to " +
                                    std::to_string(kMaxConfiguredCeiling) + "; the ceiling stays " +
                                    std::to_string(m_ceiling));
        }
    }
    reportConf();
    return true;
}

// The configuration is read before the log is open: its complaints wait for
// the first Open.
void MyLog::reportConf() {
    if (m_fd == -1 || m_confNotices.empty()) return;
    std::vector<std::string> notices;
    notices.swap(m_confNotices);
    for (const std::string &notice : notices) Write(ERROR, "%s", notice.c_str());
}

// /etc/korvane/log.conf, which a package ships as a configuration file,
// when it exists; otherwise conf/log.conf beside the executable.
void MyLog::loadLogConf() {
    std::string etc = vk_paths::File(vk_paths::kLogConfFile);
    if (access(etc.c_str(), F_OK) == 0) {
        LoadConf(etc);
        return;
    }
    std::string dir = Utils::get_runpath();
    if (dir.empty()) return;
    LoadConf(dir + "/conf/log.conf");
}

int MoxLogInit() {
    MyLog *log = nullptr;
    try {
        log = Singleton<MyLog>::Instance();
    } catch (const char *) {
        fprintf(stderr, "ZelLogInit failed,no memory\n");
        return -2;
    }
    std::string path = vk_paths::File(vk_paths::kLogFile);
    if (!log->Open(path.c_str())) {
        fprintf(stderr, "ZelLogInit failed,open log-file: %s failed,because: %s\n", path.c_str(),
                log->OpenError().c_str());
        return -3;
    }
    log->Write(INFO, "init log successfully");
    return 0;
}

void MoxLogUninit() {
    MyLog *log = Singleton<MyLog>::Peek();
    if (log == nullptr) return;
    log->Write(INFO, "uninit log");
    // The SIGUSR1 handler reaches the log through the pointer: it must no
    // longer find the object before the object goes away.
    Singleton<MyLog>::Reset(nullptr);
    std::atomic_signal_fence(std::memory_order_seq_cst);
    std::unique_ptr<MyLog> owned(log);
    owned->Close();
}

void MoxLogSetDebug(bool on) {
    Singleton<MyLog>::Instance()->SetLogLevel(on ? DEBUG : INFO);
}

void MoxLogSetDebugNoAlloc(bool on) {
    MyLog *log = Singleton<MyLog>::Peek();
    if (log != nullptr) log->SetLogLevel(on ? DEBUG : INFO);
}
