#include "support/as_user.h"

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>

#include "support/daemon_process.h"

namespace vk_test {

bool BecomeUser(const Identity &who) {
    const gid_t *list = who.groups.empty() ? nullptr : who.groups.data();
    return setgroups(who.groups.size(), list) == 0 && setresgid(who.gid, who.gid, who.gid) == 0 &&
           setresuid(who.uid, who.uid, who.uid) == 0;
}

std::optional<std::string> RunAs(const Identity &who, const std::function<std::string()> &body,
                                 int timeout_ms) {
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0) return std::nullopt;
    pid_t pid = fork();
    if (pid < 0) {
        close(out[0]);
        close(out[1]);
        return std::nullopt;
    }
    if (pid == 0) {
        close(out[0]);
        if (!BecomeUser(who)) _exit(120);
        std::string text = "=" + body();  // the mark tells an empty result from none
        size_t done = 0;
        while (done < text.size()) {
            ssize_t n = write(out[1], text.data() + done, text.size() - done);
            if (n <= 0) _exit(121);
            done += static_cast<size_t>(n);
        }
        _exit(0);
    }
    close(out[1]);
    std::string text;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (true) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                        deadline - std::chrono::steady_clock::now())
                        .count();
        struct pollfd p = {out[0], POLLIN, 0};
        if (left <= 0 || poll(&p, 1, static_cast<int>(left)) <= 0) break;
        char buf[4096];
        ssize_t n = read(out[0], buf, sizeof(buf));
        if (n <= 0) break;
        text.append(buf, static_cast<size_t>(n));
    }
    close(out[0]);
    int status = 0;
    if (!WaitFor([&] { return waitpid(pid, &status, WNOHANG) == pid; }, 2000)) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
        return std::nullopt;
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0 || text.empty() || text[0] != '=')
        return std::nullopt;
    return text.substr(1);
}

}  // namespace vk_test
