// The supervisor of daemon mode: it holds its own locked PID file, waits for
// the worker, and when the worker dies removes both PID files and starts the
// program anew. The worker ends the supervisor on an orderly stop.
//
// A worker that dies soon after it started (kQuickExitSeconds) is restarted
// at once the first time; after each further quick death in a row the
// supervisor waits, 1 s, then twice as long each time, up to
// kMaxRestartWaitSeconds, so that a crash loop does not spin. The count
// travels to the next copy of the program in kQuickExitsEnv, since each
// restart is a new supervisor. The worker's life and the wait are reckoned
// on vk_clock_now_ms (base/vk_clock.h).
//
// Stop signals the supervisor only through a pidfd taken in the worker right
// after the fork, while the supervisor was certainly its parent, so it can
// never reach a process that merely inherited the supervisor's id, nor the
// reaper the worker is handed to once the supervisor is gone.
#pragma once

#include <string>

#include "log/mylog.h"

class CSimpleMonitor {
public:
    static constexpr long kQuickExitSeconds = 10;
    static constexpr int kMaxRestartWaitSeconds = 60;
    static constexpr const char *kQuickExitsEnv = "VESKKORVANED_QUICK_EXITS";
    // Seconds to wait before a restart after `quick` quick deaths in a row.
    static int RestartWaitSeconds(int quick);

    CSimpleMonitor() = default;

    // Program path, run directory (unused) and worker PID-file path. Returns
    // in the worker, or in the caller when the program file is missing; the
    // supervisor never returns.
    void CreateMonitor(const std::string &program, const std::string &rundir,
                       const std::string &pidfile);
    [[noreturn]] void RunMonitorChild(int pid);
    void Restart();
    static std::string StrProcExitStatus(int pid, int status);
    void cleanStuff();
    // The worker's PID file and its locked descriptor (from write_pid_file),
    // so that Stop removes that file, and only while this process holds it;
    // in the foreground too, where there is no supervisor.
    void SetChildPidFile(const std::string &path, int fd) {
        m_childPidFile = path;
        m_childPidFd = fd;
    }
    // The worker's last step, while its log is still open: ends the
    // supervisor (if any) and removes the PID files this object knows of,
    // each only while nobody else holds it. Only the first call acts.
    void Stop();

private:
    bool supervisorGone(int timeout_ms);

    int m_parentPid = -1;
    int m_parentPidFd = -1;   // the supervisor's locked PID file, in the supervisor only
    int m_parentLockFd = -1;  // the supervisor's instance lock, likewise
    int m_childPidFd = -1;
    std::string m_parentPidFile;
    std::string m_childPidFile;
    std::string m_program;
    MyLog m_log;
    int m_parentHandle = -1;  // pidfd of the supervisor, in the worker only
    int m_quickExits = 0;     // quick deaths in a row before this supervisor
    long m_childStart = 0;    // second of vk_clock_now_ms the worker was forked
    bool m_stopped = false;
};
