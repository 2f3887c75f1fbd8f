#include "support/as_user.h"

#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include "support/daemon_process.h"

namespace vk_test {

bool BecomeUser(const Identity &who) {
    const gid_t *list = who.groups.empty() ? nullptr : who.groups.data();
    return setgroups(who.groups.size(), list) == 0 && setresgid(who.gid, who.gid, who.gid) == 0 &&
           setresuid(who.uid, who.uid, who.uid) == 0;
}

OtherUserProcess::OtherUserProcess(const std::function<std::string()> &body, const Identity &who) {
    int report[2];
    if (pipe2(report, O_CLOEXEC) != 0) return;
    m_pid = fork();
    if (m_pid == 0) {
        close(report[0]);
        if (!BecomeUser(who)) _exit(1);
        // The mark tells an empty text from none; the end of the pipe tells
        // the parent that all of it came.
        std::string text = "=" + body();
        for (size_t done = 0; done < text.size();) {
            ssize_t n = write(report[1], text.data() + done, text.size() - done);
            if (n <= 0) _exit(2);
            done += static_cast<size_t>(n);
        }
        close(report[1]);
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

std::optional<std::string> OtherUserProcess::Result() {
    if (m_fd == -1) return m_result;
    char buf[4096];
    ssize_t n;
    while ((n = read(m_fd, buf, sizeof(buf))) > 0) m_text.append(buf, static_cast<size_t>(n));
    if (n < 0 && errno == EAGAIN) return m_result;
    close(m_fd);
    m_fd = -1;
    if (!m_text.empty() && m_text[0] == '=') m_result = m_text.substr(1);
    return m_result;
}

std::optional<std::string> OtherUserProcess::WaitResult(int timeout_ms) {
    WaitFor([&] { return Result().has_value() || m_fd == -1; }, timeout_ms);
    return Result();
}

std::optional<std::string> RunAs(const Identity &who, const std::function<std::string()> &body,
                                 int timeout_ms) {
    OtherUserProcess child(body, who);
    return child.WaitResult(timeout_ms);
}

}  // namespace vk_test
