#include "log/mylog.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>

#include "daemon/paths.h"
#include "daemon/utils.h"
#include "log/ini_parser.h"

namespace {

const char *const kLevelNames[] = {"ERROR", "INFO", "DEBUG"};

}  // namespace

const char *StrLogLevel(_LogLevel level) {
    if (level < ERROR || level > DEBUG) return "UNKNOWN";
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
// and the file's size, or -1 with errno set.
int MyLog::openFile(const char *path, long long *size) {
    if (!Utils::make_parent_dirs(path)) return -1;
    int fd = open(path, O_RDWR | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0) return -1;
    struct stat st;
    if (fstat(fd, &st) != 0) {
        int saved = errno;
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
    pthread_mutex_lock(&m_mutex);
    m_fd = fd;
    m_curSize = size;
    m_path = path;
    m_lastCheck = static_cast<long>(time(nullptr));
    pthread_mutex_unlock(&m_mutex);
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
    pthread_mutex_unlock(&m_mutex);
    return true;
}

void MyLog::SetMaxLogFilesize(unsigned long size) {
    if (size > 5242879) m_maxSize = size;
}

bool MyLog::Write(_LogLevel level, const char *format, ...) {
    va_list ap;
    va_start(ap, format);
    bool ok = VWrite(level, format, ap);
    va_end(ap);
    return ok;
}

bool MyLog::VWrite(_LogLevel level, const char *format, va_list ap) {
    if (static_cast<int>(level) > m_level.load() || format == nullptr) return false;
    if (m_fd == -1) return false;
    reopenIfRemoved();
    return write_with_type(level, format, ap);
}

int MyLog::write_header(char *out, size_t size) {
    time_t now = time(nullptr);
    struct tm tmv;
    localtime_r(&now, &tmv);
    size_t n = strftime(out, size, "%Y-%m-%d %H:%M:%S|", &tmv);
    int w = snprintf(out + n, size - n, "%-5d|", static_cast<int>(getpid()));
    if (w > 0) n += std::min(static_cast<size_t>(w), size - n - 1);
    w = snprintf(out + n, size - n, "%-5d|", static_cast<int>(syscall(SYS_gettid)));
    if (w > 0) n += std::min(static_cast<size_t>(w), size - n - 1);
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

bool MyLog::write_with_type(_LogLevel level, const char *format, va_list ap) {
    char header[256] = {0};
    int hlen = write_header(header, sizeof(header));
    char prefix[1024] = {0};
    memcpy(prefix, header, static_cast<size_t>(hlen));
    write_type(level, prefix + hlen, sizeof(prefix) - static_cast<size_t>(hlen));

    char *message = nullptr;
    if (vasprintf(&message, format, ap) < 0) return false;
    char *line = nullptr;
    int len = asprintf(&line, "%s|%s\n", prefix, message);
    free(message);
    if (len < 0) return false;
    bool ok = write_buffer(line, static_cast<size_t>(len));
    free(line);
    return ok;
}

bool MyLog::write_buffer(const char *data, size_t length) {
    ssize_t w = write(m_fd, data, length);
    if (w < 0 || static_cast<size_t>(w) != length) return false;
    pthread_mutex_lock(&m_mutex);
    if (m_curSize > m_ceiling - 1) truncate();
    m_curSize += static_cast<long long>(length);
    pthread_mutex_unlock(&m_mutex);
    return true;
}

// Keeps the newest half of the ceiling. The cut falls at a byte position, so
// the first line afterwards is usually a fragment.
void MyLog::truncate() {
    const long long keep = m_ceiling / 2;
    struct stat st;
    if (fstat(m_fd, &st) != 0 || st.st_size <= keep - 1) return;
    char *buf = static_cast<char *>(calloc(1, static_cast<size_t>(keep)));
    if (buf == nullptr) return;
    off_t off = lseek(m_fd, st.st_size - keep, SEEK_SET);
    if (off <= 0) {
        free(buf);
        return;
    }
    ssize_t got = 0;
    while (got < keep) {
        ssize_t r = read(m_fd, buf + got, static_cast<size_t>(keep - got));
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) break;
        got += r;
    }
    if (got > 0 && ftruncate(m_fd, 0) == 0) {
        ssize_t w = write(m_fd, buf, static_cast<size_t>(got));
        fsync(m_fd);
        if (w > 0) m_curSize = w;
    }
    free(buf);
}

bool MyLog::LoadConf(const std::string &path) {
    INIParser ini;
    ini.SetPath(path);
    if (ini.ReadINI() != 0) return false;
    std::string level = ini.GetValue("LOG_CONF", "LOGLEVEL");
    if (level == "debug")
        m_confLevel = DEBUG;
    else if (level == "normal")
        m_confLevel = INFO;
    else if (level == "error")
        m_confLevel = ERROR;
    std::string size = ini.GetValue("LOG_CONF", "MAXFILESIZE");
    if (!size.empty()) {
        m_confMaxSize = static_cast<int>(strtol(size.c_str(), nullptr, 10));
        if (m_confMaxSize >= kMinConfiguredCeiling) m_ceiling = m_confMaxSize;
    }
    return true;
}

void MyLog::loadLogConf() {
    std::string dir = Utils::get_runpath();
    if (dir.empty()) return;
    std::string path = dir + "/conf/log.conf";
    if (access(path.c_str(), F_OK) != 0) return;
    LoadConf(path);
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
                strerror(errno));
        return -3;
    }
    log->Write(INFO, "init log successfully");
    return 0;
}

void MoxLogUninit() {
    MyLog *log = Singleton<MyLog>::Instance();
    log->Write(INFO, "uninit log");
    log->Close();
    delete log;
    Singleton<MyLog>::Reset(nullptr);
}

void MoxLogSetDebug(bool on) {
    Singleton<MyLog>::Instance()->SetLogLevel(on ? DEBUG : INFO);
}

void MoxLogSetDebugNoAlloc(bool on) {
    MyLog *log = Singleton<MyLog>::Peek();
    if (log != nullptr) log->SetLogLevel(on ? DEBUG : INFO);
}
