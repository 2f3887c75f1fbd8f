// A forked child running as another user, for tests of what the daemon
// allows a peer that is not root. Switching users needs root: callers skip
// with GTEST_SKIP() << "needs root: ..." otherwise. The child is killed and
// reaped, by its id, when the object goes away, so whatever it opened stays
// open until then.
#pragma once

#include <sys/types.h>

#include <functional>
#include <optional>

namespace vk_test {

constexpr uid_t kNobody = 65534;

// Makes this process `uid` with the group of the same number and no
// supplementary groups (setgroups, setresgid, setresuid): true on success.
// Meant for a forked child.
bool BecomeUser(uid_t uid);

class OtherUserProcess {
public:
    // Forks a child that becomes `uid`, runs `body` and reports its result.
    explicit OtherUserProcess(const std::function<int()> &body, uid_t uid = kNobody);
    ~OtherUserProcess();
    OtherUserProcess(const OtherUserProcess &) = delete;
    OtherUserProcess &operator=(const OtherUserProcess &) = delete;

    pid_t pid() const { return m_pid; }
    // The body's result once it has come (without waiting); nullopt before,
    // and for good when the child could not switch users or died first.
    std::optional<int> Result();
    // Polls Result() until it comes or `timeout_ms` passes.
    std::optional<int> WaitResult(int timeout_ms = 10000);

private:
    pid_t m_pid = -1;
    int m_fd = -1;  // read end of the child's report
    std::optional<int> m_result;
};

}  // namespace vk_test
