#include "daemon/monitor.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include "base/paths.h"
#include "base/pidfd_open.h"
#include "base/state_dir.h"
#include "base/utils.h"
#include "base/vk_clock.h"
#include "daemon/exit_status.h"
#include "daemon/pidfile.h"

extern char **environ;

static int pidfd_kill(int pidfd, int sig) {
#ifdef SYS_pidfd_send_signal
    return static_cast<int>(syscall(SYS_pidfd_send_signal, pidfd, sig, nullptr, 0));
#else
    (void)pidfd;
    (void)sig;
    errno = ENOSYS;
    return -1;
#endif
}

// Whole seconds of the clock, as the worker's life is counted.
static long clock_seconds() {
    return static_cast<long>(vk_clock_now_ms() / 1000);
}

int CSimpleMonitor::RestartWaitSeconds(int quick) {
    if (quick <= 1) return 0;
    if (quick - 2 >= 6) return kMaxRestartWaitSeconds;
    int wait = 1 << (quick - 2);
    return wait < kMaxRestartWaitSeconds ? wait : kMaxRestartWaitSeconds;
}

void CSimpleMonitor::CreateMonitor(const std::string &program, const std::string &rundir,
                                   const std::string &pidfile) {
    (void)rundir;
    // Left by the supervisor that started this copy; the worker must not
    // pass it on.
    if (const char *quick = getenv(kQuickExitsEnv)) {
        long n = strtol(quick, nullptr, 10);
        m_quickExits = n < 0 ? 0 : (n > 64 ? 64 : static_cast<int>(n));
        unsetenv(kQuickExitsEnv);
    }
    // Not written where others may change the directories (a link among
    // them included): the worker's start then ends on the same check.
    const std::string logfile = vk_paths::File(vk_paths::kMonitorLogFile);
    Utils::make_parent_dirs(logfile);
    if (state_dir_check(path_dir(logfile)).empty()) m_log.Open(logfile.c_str());
    m_log.SetMaxLogFilesize(1048576);
    m_childPidFile = pidfile;
    m_program = program;

    if (access(m_program.c_str(), F_OK) != 0) {
        m_log.Write(ERROR, "there is no program: %s", m_program.c_str());
        cleanStuff();
        return;
    }

    m_parentPid = getpid();
    m_parentPidFile = vk_paths::File(vk_paths::kMonitorPidFile);
    Utils::make_parent_dirs(m_parentPidFile);
    std::string unsafe = state_dir_check(path_dir(m_parentPidFile));
    if (!unsafe.empty()) {
        m_log.Write(ERROR, "unsafe PID file directory %s", unsafe.c_str());
        cleanStuff();
        exit(vk_exit::kPidFile);
    }
    std::string lockfile = vk_paths::File(vk_paths::kMonitorLockFile);
    lock_holder_t holder;
    m_parentLockFd = CPidFile::take_instance_lock(lockfile.c_str(), &holder);
    if (m_parentLockFd < 0) {
        // Held by another supervisor: that one serves, and this start ends
        // quietly. Anything else keeps the daemon from starting at all.
        int status = vk_exit::kPidFile;
        if (errno != EWOULDBLOCK) {
            m_log.Write(ERROR, "cannot take the instance lock %s: %s", lockfile.c_str(),
                        strerror(errno));
        } else if (CPidFile::holder_is_us(holder)) {
            m_log.Write(INFO, "the instance lock %s is held by veskkorvaned, %s: this start ends",
                        lockfile.c_str(), CPidFile::describe(holder).c_str());
            status = vk_exit::kOk;
        } else {
            m_log.Write(ERROR, "the instance lock %s is held by %s, not by veskkorvaned",
                        lockfile.c_str(), CPidFile::describe(holder).c_str());
            status = vk_exit::kLocked;
        }
        cleanStuff();
        exit(status);
    }
    m_parentPidFd = CPidFile::write_pid_file(m_parentPidFile.c_str());
    if (m_parentPidFd < 0) {
        m_log.Write(ERROR, "failed to write pid file %s,because: %s", m_parentPidFile.c_str(),
                    strerror(errno));
        cleanStuff();
        exit(vk_exit::kPidFile);
    }
    m_log.Write(INFO, "parent process start[%ld]", static_cast<long>(m_parentPid));

    // The worker waits until its start is logged: one that fails at once
    // stops the supervisor, and the log must still name it.
    int started[2];
    if (pipe2(started, O_CLOEXEC) != 0) started[0] = started[1] = -1;
    pid_t pid = fork();
    if (pid < 0) {
        m_log.Write(ERROR, "fork error,because: %s", strerror(errno));
        CPidFile::remove_pid_file(m_parentPidFile.c_str(), m_parentPidFd);
        cleanStuff();
        exit(1);
    }
    if (pid > 0) {
        if (started[0] >= 0) close(started[0]);
        m_childStart = clock_seconds();
        m_log.Write(INFO, "child process start[%ld]", static_cast<long>(pid));
        if (started[1] >= 0) close(started[1]);
        RunMonitorChild(pid);
    }
    if (started[0] >= 0) {
        close(started[1]);
        char byte;
        while (read(started[0], &byte, 1) < 0 && errno == EINTR) {
        }
        close(started[0]);
    }
    // The worker. The supervisor is our parent only while getppid() says
    // so; a pidfd taken now stays bound to that very process (and, like
    // every pidfd, is close-on-exec).
    m_parentHandle = vk_pidfd_open(m_parentPid);
    if (m_parentHandle >= 0 && getppid() != m_parentPid) {
        close(m_parentHandle);
        m_parentHandle = -1;
    }
    cleanStuff();
}

void CSimpleMonitor::RunMonitorChild(int pid) {
    int status = 0;
    pid_t r;
    do {
        status = 0;
        r = waitpid(pid, &status, 0);
    } while (r <= 0 && errno == EINTR);
    m_log.Write(INFO, "%s", StrProcExitStatus(pid, status).c_str());
    const long lived = clock_seconds() - m_childStart;
    const int quick = lived < kQuickExitSeconds ? m_quickExits + 1 : 0;
    const int wait = RestartWaitSeconds(quick);
    if (wait > 0) {
        m_log.Write(INFO,
                    "process[%ld] lived %ld s,%d quick exits in a row,waiting %d s before starting "
                    "it again",
                    static_cast<long>(pid), lived, quick, wait);
        vk_clock_sleep_ms(wait * 1000LL);
    }
    char count[16];
    snprintf(count, sizeof(count), "%d", quick);
    setenv(kQuickExitsEnv, count, 1);
    // Ours while our lock holds; the worker's only while nobody holds it (a
    // worker that never got it leaves the file of the instance that has it).
    CPidFile::remove_pid_file(m_parentPidFile.c_str(), m_parentPidFd);
    CPidFile::remove_pid_file(m_childPidFile.c_str(), -1);
    cleanStuff();
    Restart();
    exit(0);
}

void CSimpleMonitor::Restart() {
    if (access(m_program.c_str(), F_OK) != 0) return;
    // The program file itself, not a shell command line: any character in
    // its path is taken literally. The new copy detaches at once, so the
    // wait is short.
    char *argv[] = {&m_program[0], nullptr};
    pid_t pid;
    if (posix_spawn(&pid, m_program.c_str(), nullptr, nullptr, argv, environ) != 0) return;
    int status;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
}

std::string CSimpleMonitor::StrProcExitStatus(int pid, int status) {
    std::string text = "process[" + std::to_string(pid) + "] ";
    if (WIFEXITED(status))
        text += "normal termination, exit status " + std::to_string(WEXITSTATUS(status));
    else if (WIFSIGNALED(status))
        text += "termination by signal " + std::to_string(WTERMSIG(status));
    return text;
}

void CSimpleMonitor::cleanStuff() {
    // Forgotten once closed: in the worker the number may be reused, and
    // it must never pass for the supervisor's lock.
    if (m_parentPidFd != -1) close(m_parentPidFd);
    m_parentPidFd = -1;
    if (m_parentLockFd != -1) close(m_parentLockFd);
    m_parentLockFd = -1;
    m_log.Close();
}

// Waits until the supervisor has terminated: true when it has.
bool CSimpleMonitor::supervisorGone(int timeout_ms) {
    if (m_parentHandle < 0) return getppid() != m_parentPid;
    struct pollfd p = {m_parentHandle, POLLIN, 0};
    int r;
    do {
        r = poll(&p, 1, timeout_ms);
    } while (r < 0 && errno == EINTR);
    return r > 0;
}

void CSimpleMonitor::Stop() {
    if (m_stopped) return;
    m_stopped = true;
    MyLog *log = Singleton<MyLog>::Instance();
    if (m_parentPid > 1) {
        for (int attempt = 0; attempt < 10; ++attempt) {
            std::string result = "success";
            log->Write(INFO, "stop parent process [%ld]", static_cast<long>(m_parentPid));
            int rc;
            if (m_parentHandle >= 0) {
                rc = pidfd_kill(m_parentHandle, SIGKILL);
            } else if (getppid() == m_parentPid) {
                // No pidfd: signal only while it is still our parent.
                rc = kill(m_parentPid, SIGKILL);
            } else {
                rc = -1;
                errno = ESRCH;
            }
            bool gone = (rc != 0 && errno == ESRCH) || supervisorGone(500);
            if (!gone) result = std::string("failed,because: ") + strerror(errno);
            log->Write(INFO, "stop parent process [%ld] %s", static_cast<long>(m_parentPid),
                       result.c_str());
            if (gone) break;
        }
        if (m_parentHandle >= 0) close(m_parentHandle);
        m_parentHandle = -1;
    }
    // Our own file through our lock; the supervisor's once it is gone and
    // its lock with it. A file another process holds is left to it.
    if (!m_childPidFile.empty() &&
        CPidFile::remove_pid_file(m_childPidFile.c_str(), m_childPidFd) < 0)
        log->Write(ERROR, "delete pid file %s failed", m_childPidFile.c_str());
    if (!m_parentPidFile.empty() && CPidFile::remove_pid_file(m_parentPidFile.c_str(), -1) < 0)
        log->Write(ERROR, "delete parent pid file %s failed", m_parentPidFile.c_str());
}
