// Code run as another user, for tests that show what the daemon does for a
// peer that is not root. The test process must be root: a forked child
// drops to the user before it runs the code, and is ended by its id if it
// does not finish in time.
#pragma once

#include <sys/types.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace vk_test {

struct Identity {
    uid_t uid;
    gid_t gid;
    std::vector<gid_t> groups;  // supplementary groups; none when empty
};

// In a child process: sets the groups, then the gid, then the uid (real,
// effective and saved). False when a step fails.
bool BecomeUser(const Identity &who);

// Forks, becomes `who` and runs `body` in the child; its return value comes
// back through a pipe. Empty when the child could not switch, died or did
// not end within `timeout_ms`.
std::optional<std::string> RunAs(const Identity &who, const std::function<std::string()> &body,
                                 int timeout_ms = 20000);

}  // namespace vk_test
