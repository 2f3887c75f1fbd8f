// A program the test starts itself (a stand-in for a product or a front
// UI), killed and reaped by its pid when the object goes away.
#pragma once

#include <sys/types.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace vk_test {

class ChildProcess {
public:
    // Starts argv[0] (a path) with argv, in `cwd` when not empty; its
    // standard output and error go to the file `output` when one is named,
    // else to /dev/null (the error stays the test's).
    explicit ChildProcess(const std::vector<std::string> &argv, const std::string &cwd = "",
                          const std::string &output = "");
    ~ChildProcess();
    ChildProcess(const ChildProcess &) = delete;
    ChildProcess &operator=(const ChildProcess &) = delete;

    pid_t pid() const { return m_pid; }
    // Waits until the child runs `exe` (its exec is done).
    bool WaitExec(const std::string &exe, int timeout_ms = 5000) const;
    // SIGKILL and reap; true when it was running.
    bool Kill();
    // Sends `signum` and waits at most timeout_ms for the child to end: its
    // wait status, or none when it did not end (it is killed then).
    std::optional<int> Stop(int signum, int timeout_ms = 10000);

private:
    pid_t m_pid = -1;
};

// Copies a file (a program) to `to`, mode 0755; false when it cannot.
bool CopyProgram(const std::string &from, const std::string &to);

// A copy of sleep at <root>/opt/<name>, a product's program in the tests:
// its path (a failure to copy fails the test).
std::string SleepProgram(const std::string &root, const std::string &name);
// Starts `program 600` and waits until it runs the program.
std::unique_ptr<ChildProcess> RunSleeping(const std::string &program);

}  // namespace vk_test
