#include "support/child_process.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <limits.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "support/daemon_process.h"
#include "support/temp_root.h"

namespace vk_test {

ChildProcess::ChildProcess(const std::vector<std::string> &argv, const std::string &cwd,
                           const std::string &output) {
    std::vector<char *> args;
    for (const std::string &a : argv) args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    m_pid = fork();
    if (m_pid == 0) {
        if (!cwd.empty() && chdir(cwd.c_str()) != 0) _exit(127);
        int null = open("/dev/null", O_RDWR);
        if (null >= 0) {
            dup2(null, 0);
            dup2(null, 1);
        }
        if (!output.empty()) {
            int out = open(output.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
            if (out < 0) _exit(127);
            dup2(out, 1);
            dup2(out, 2);
        }
        execv(args[0], args.data());
        _exit(127);
    }
}

ChildProcess::~ChildProcess() {
    Kill();
}

bool ChildProcess::WaitExec(const std::string &exe, int timeout_ms) const {
    const std::string link = "/proc/" + std::to_string(m_pid) + "/exe";
    return WaitFor(
        [&] {
            char buf[PATH_MAX];
            ssize_t n = readlink(link.c_str(), buf, sizeof(buf) - 1);
            return n > 0 && std::string(buf, static_cast<size_t>(n)) == exe;
        },
        timeout_ms);
}

bool ChildProcess::Kill() {
    if (m_pid <= 0) return false;
    kill(m_pid, SIGKILL);
    int status = 0;
    waitpid(m_pid, &status, 0);
    m_pid = -1;
    return true;
}

std::optional<int> ChildProcess::Stop(int signum, int timeout_ms) {
    if (m_pid <= 0) return std::nullopt;
    kill(m_pid, signum);
    int status = 0;
    bool ended = WaitFor([&] { return waitpid(m_pid, &status, WNOHANG) == m_pid; }, timeout_ms);
    if (!ended) {
        Kill();
        return std::nullopt;
    }
    m_pid = -1;
    return status;
}

bool CopyProgram(const std::string &from, const std::string &to) {
    std::string content = ReadFile(from);
    if (content.empty()) return false;
    WriteFile(to, content);
    return chmod(to.c_str(), 0755) == 0;
}

std::string SleepProgram(const std::string &root, const std::string &name) {
    mkdir((root + "/opt").c_str(), 0755);
    std::string path = root + "/opt/" + name;
    EXPECT_TRUE(CopyProgram("/bin/sleep", path));
    return path;
}

std::unique_ptr<ChildProcess> RunSleeping(const std::string &program) {
    auto child = std::make_unique<ChildProcess>(std::vector<std::string>{program, "600"});
    EXPECT_TRUE(child->WaitExec(program));
    return child;
}

}  // namespace vk_test
