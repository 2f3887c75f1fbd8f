// Runs korvanectl as a child process under a relocation root, its output
// captured in files, and ends it by its id if it outlives its deadline.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "support/daemon_process.h"
#include "support/temp_root.h"

namespace vk_test {

struct CtlResult {
    int exit_code = -1;  // -1: did not end normally
    std::string out, err;
};

// A korvanectl process; output goes to <dir>/<tag>.out and .err.
class CtlProcess {
public:
    CtlProcess(const std::string &root, const std::string &dir, const std::string &tag,
               const std::vector<std::string> &args)
        : m_out(dir + "/" + tag + ".out"), m_err(dir + "/" + tag + ".err") {
        std::vector<std::string> argv_s = {VK_KORVANECTL_PATH};
        argv_s.insert(argv_s.end(), args.begin(), args.end());
        m_pid = fork();
        if (m_pid == 0) {
            if (root.empty())
                unsetenv("VESKKORVANED_ROOT");
            else
                setenv("VESKKORVANED_ROOT", root.c_str(), 1);
            int out = open(m_out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            int err = open(m_err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            dup2(out, 1);
            dup2(err, 2);
            std::vector<char *> argv;
            for (auto &a : argv_s) argv.push_back(&a[0]);
            argv.push_back(nullptr);
            execv(argv[0], argv.data());
            _exit(127);
        }
    }
    ~CtlProcess() {
        if (m_pid > 0 && !m_done) {
            kill(m_pid, SIGKILL);
            waitpid(m_pid, nullptr, 0);
        }
    }
    CtlProcess(const CtlProcess &) = delete;
    CtlProcess &operator=(const CtlProcess &) = delete;

    pid_t pid() const { return m_pid; }
    std::string Out() const { return ReadFile(m_out); }
    std::string Err() const { return ReadFile(m_err); }

    // Waits for the end; killed when it does not come in time.
    CtlResult Wait(int timeout_ms = 20000) {
        int status = 0;
        bool ended = WaitFor([&] { return waitpid(m_pid, &status, WNOHANG) == m_pid; }, timeout_ms);
        if (!ended) {
            kill(m_pid, SIGKILL);
            waitpid(m_pid, &status, 0);
        }
        m_done = true;
        CtlResult r;
        if (ended && WIFEXITED(status)) r.exit_code = WEXITSTATUS(status);
        r.out = Out();
        r.err = Err();
        return r;
    }

private:
    std::string m_out, m_err;
    pid_t m_pid = -1;
    bool m_done = false;
};

inline CtlResult RunCtl(const std::string &root, const std::vector<std::string> &args) {
    static int counter = 0;
    std::string dir = root.empty() ? "/tmp" : root;
    CtlProcess p(root, dir, "ctl" + std::to_string(getpid()) + "-" + std::to_string(counter++),
                 args);
    return p.Wait();
}

}  // namespace vk_test
