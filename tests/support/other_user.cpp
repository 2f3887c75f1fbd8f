#include "support/other_user.h"

#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include "support/daemon_process.h"

namespace vk_test {

bool BecomeUser(uid_t uid) {
    gid_t gid = static_cast<gid_t>(uid);
    return setgroups(1, &gid) == 0 && setresgid(gid, gid, gid) == 0 &&
           setresuid(uid, uid, uid) == 0;
}

OtherUserProcess::OtherUserProcess(const std::function<int()> &body, uid_t uid) {
    int report[2];
    if (pipe2(report, O_CLOEXEC) != 0) return;
    m_pid = fork();
    if (m_pid == 0) {
        close(report[0]);
        if (!BecomeUser(uid)) _exit(1);
        int result = body();
        if (write(report[1], &result, sizeof(result)) != sizeof(result)) _exit(2);
        pause();
        _exit(0);
    }
    close(report[1]);
    if (m_pid < 0) {
        close(report[0]);
        return;
    }
    m_fd = report[0];
    fcntl(m_fd, F_SETFL, O_NONBLOCK);
}

OtherUserProcess::~OtherUserProcess() {
    if (m_fd != -1) close(m_fd);
    if (m_pid > 0) {
        kill(m_pid, SIGKILL);
        waitpid(m_pid, nullptr, 0);
    }
}

std::optional<int> OtherUserProcess::Result() {
    if (m_result || m_fd == -1) return m_result;
    int value;
    // The result is written in one piece, far below PIPE_BUF.
    if (read(m_fd, &value, sizeof(value)) == sizeof(value)) m_result = value;
    return m_result;
}

std::optional<int> OtherUserProcess::WaitResult(int timeout_ms) {
    WaitFor([&] { return Result().has_value(); }, timeout_ms);
    return Result();
}

}  // namespace vk_test
