// The log: one line per write(2) on a descriptor opened for appending, kept
// under a size ceiling by replacing the file with a copy of its newest half.
// Control bytes of a message are escaped, so a message is always one line.
// Under systemd each line is copied to the journal as well; otherwise only
// evidence lines (WriteEvidence) are sent there (log/journal.h).
//
// Invariants: the descriptor is -1 exactly while closed; m_curSize counts the
// bytes of the file as this object saw them and is only touched under m_mutex;
// the active level is atomic so that a signal handler may change it.
#pragma once

#include <pthread.h>
#include <sys/types.h>

#include <atomic>
#include <cstdarg>
#include <string>
#include <vector>

#include "base/singleton.h"

// WARNING is written whenever ERROR is: something a person must hear of
// that is not a fault of the daemon (a product lost, one not watched).
enum _LogLevel { ERROR = 0, INFO = 1, DEBUG = 2, WARNING = 3 };

const char *StrLogLevel(_LogLevel level);

class MyLog : public Singleton<MyLog> {
public:
    // Default ceiling: a cut happens once the file has passed 10 MiB and
    // keeps its last 5 MiB.
    static constexpr long long kDefaultCeiling = 10485760;
    // Range of a configured ceiling. A cut copies half the ceiling while
    // every writer waits, and a registry daemon never needs gigabytes of
    // log: 1 GiB keeps that copy to a bounded pause.
    static constexpr long long kMinConfiguredCeiling = 1048576;
    static constexpr long long kMaxConfiguredCeiling = 1073741824;

    MyLog();
    virtual ~MyLog();
    MyLog(const MyLog &) = delete;
    MyLog &operator=(const MyLog &) = delete;

    bool Open(const char *path);
    bool Close();
    bool Write(_LogLevel level, const char *format, ...) __attribute__((format(printf, 3, 4)));
    bool VWrite(_LogLevel level, const char *format, va_list ap)
        __attribute__((format(printf, 3, 0)));

    // As Write, and when the log is not copied to the journal already, the
    // line goes to the journal's native socket too: evidence (a refused
    // request, a count of suppressed lines) that must outlive a cut.
    bool WriteEvidence(_LogLevel level, const char *format, ...)
        __attribute__((format(printf, 3, 4)));
    bool VWriteEvidence(_LogLevel level, const char *format, va_list ap)
        __attribute__((format(printf, 3, 0)));

    _LogLevel GetLogLevel() const { return static_cast<_LogLevel>(m_level.load()); }
    void SetLogLevel(_LogLevel level) { m_level.store(level); }
    // The ceiling, in bytes within the range MAXFILESIZE allows: false (and
    // the ceiling unchanged) outside it.
    bool SetMaxLogFilesize(long long size);

    // Reads an INI file with section LOG_CONF: LOGLEVEL (debug, normal,
    // error) becomes the active level, MAXFILESIZE (decimal bytes within the
    // configured range) the ceiling. Absent keys leave the defaults; an
    // unusable MAXFILESIZE leaves them too and is reported in the log as
    // soon as it is open. Returns false when the file cannot be read.
    bool LoadConf(const std::string &path);

    // The level the configuration file asked for (INFO without one).
    _LogLevel ConfiguredLevel() const { return m_confLevel; }
    long long Ceiling() const { return m_ceiling; }
    bool IsOpen() const { return m_fd != -1; }
    // Why the last Open failed.
    const std::string &OpenError() const { return m_openError; }

private:
    int write_header(char *out, size_t size);
    int write_type(_LogLevel level, char *out, size_t size);
    bool vwrite(_LogLevel level, bool evidence, const char *format, va_list ap)
        __attribute__((format(printf, 4, 0)));
    bool write_with_type(_LogLevel level, bool evidence, const char *format, va_list ap)
        __attribute__((format(printf, 4, 0)));
    void send_evidence(_LogLevel level, const char *message, size_t length);
    bool write_buffer(const char *data, size_t length);
    bool truncate(std::string *why);
    void cutLocked(std::string *failed, long long *dropped);
    bool copyTail(int from, long long offset, int to, long long *copied);
    void loadLogConf();
    void reportConf();
    int openFile(const char *path, long long *size);
    void reopenIfRemoved();

    long long m_curSize = 0;
    pthread_mutex_t m_mutex;
    int m_fd = -1;
    std::atomic<int> m_level{INFO};
    _LogLevel m_confLevel = INFO;
    long long m_ceiling = kDefaultCeiling;
    std::vector<std::string> m_confNotices;  // complaints about the configuration, until written
    std::string m_path;
    long m_lastCheck = 0;                // second of the last check that the file still exists
    std::atomic<bool> m_journal{false};  // standard error is the journal: copy lines there
    int m_evidenceFd = -1;               // datagram socket to the journal, opened on first use
    std::string m_journalSocket;         // its native socket, set by Open
    bool m_cutFailing = false;           // the last cut failed (under m_mutex)
    long long m_dropped = 0;             // lines dropped since (under m_mutex)
    std::string m_openError;
};

// Opens the process-wide log on the daemon's log file: 0, -2 (no memory) or
// -3 (cannot open).
int MoxLogInit();
void MoxLogUninit();
void MoxLogSetDebug(bool on);
// For the signal handler: sets the level only when the log exists.
void MoxLogSetDebugNoAlloc(bool on);

#define VK_LOG(level, ...) Singleton<MyLog>::Instance()->Write(level, __VA_ARGS__)
