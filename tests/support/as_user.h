// Code run as another user, for tests that show what the daemon does for a
// peer that is not root. Switching users needs root: callers skip with
// GTEST_SKIP() << "needs root: ..." otherwise. The child is killed and
// reaped, by its id, when its object goes away, so whatever it opened stays
// open until then.
#pragma once

#include <sys/types.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace vk_test {

constexpr uid_t kNobody = 65534;

struct Identity {
    uid_t uid;
    gid_t gid;
    std::vector<gid_t> groups;  // supplementary groups; none when empty
};

const Identity kNobodyIdentity = {kNobody, kNobody, {}};

// In a child process: sets the groups, then the gid, then the uid (real,
// effective and saved). False when a step fails.
bool BecomeUser(const Identity &who);

class OtherUserProcess {
public:
    // Forks a child that becomes `who`, runs `body` and reports the text it
    // returns, then waits to be killed.
    explicit OtherUserProcess(const std::function<std::string()> &body,
                              const Identity &who = kNobodyIdentity);
    ~OtherUserProcess();
    OtherUserProcess(const OtherUserProcess &) = delete;
    OtherUserProcess &operator=(const OtherUserProcess &) = delete;

    pid_t pid() const { return m_pid; }
    // The body's text once all of it has come (without waiting); nullopt
    // before, and for good when the child could not switch users or died
    // first.
    std::optional<std::string> Result();
    // Polls Result() until it comes or `timeout_ms` passes.
    std::optional<std::string> WaitResult(int timeout_ms = 10000);

private:
    pid_t m_pid = -1;
    int m_fd = -1;  // read end of the child's report
    std::string m_text;
    std::optional<std::string> m_result;
};

// Runs `body` as `who` and returns its text, or nothing when the child
// could not switch, died or did not report within `timeout_ms`.
std::optional<std::string> RunAs(const Identity &who, const std::function<std::string()> &body,
                                 int timeout_ms = 20000);

}  // namespace vk_test
