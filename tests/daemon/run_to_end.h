// Runs the daemon binary under a root until it ends, with its standard
// output and error captured. One that is still running at the deadline is
// killed (by its id) and reported as not ended.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include "base/paths.h"
#include "support/daemon_process.h"

namespace vk_test {

struct Finished {
    bool ended = false;
    int status = -1;  // wait status
    std::string out, err;
};

inline Finished RunToEnd(const std::string &root, const std::vector<std::string> &args,
                         int timeout_ms = 10000, const std::string &binary = VK_DAEMON_PATH) {
    Finished f;
    int out[2], err[2];
    if (pipe2(out, O_CLOEXEC) != 0) return f;
    if (pipe2(err, O_CLOEXEC) != 0) {
        close(out[0]);
        close(out[1]);
        return f;
    }
    std::vector<std::string> argv_s{binary};
    argv_s.insert(argv_s.end(), args.begin(), args.end());
    std::vector<char *> argv;
    for (auto &a : argv_s) argv.push_back(&a[0]);
    argv.push_back(nullptr);

    pid_t pid = fork();
    if (pid == 0) {
        setenv(vk_paths::kRootEnv, root.c_str(), 1);
        int devnull = open("/dev/null", O_RDONLY);
        if (devnull >= 0) dup2(devnull, 0);
        dup2(out[1], 1);
        dup2(err[1], 2);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(out[1]);
    close(err[1]);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    struct pollfd p[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
    std::string *text[2] = {&f.out, &f.err};
    int open_pipes = 2;
    while (pid > 0 && open_pipes > 0) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                        deadline - std::chrono::steady_clock::now())
                        .count();
        if (left <= 0 || poll(p, 2, static_cast<int>(left)) <= 0) break;
        for (int i = 0; i < 2; ++i) {
            if (p[i].fd < 0 || p[i].revents == 0) continue;
            char buf[4096];
            ssize_t n = read(p[i].fd, buf, sizeof(buf));
            if (n > 0) {
                text[i]->append(buf, static_cast<size_t>(n));
            } else {
                close(p[i].fd);
                p[i].fd = -1;
                --open_pipes;
            }
        }
    }
    for (auto &e : p)
        if (e.fd >= 0) close(e.fd);
    if (pid <= 0) return f;
    // Both pipes closed: the process is ending. Still running: give up.
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                    deadline - std::chrono::steady_clock::now())
                    .count();
    f.ended = WaitFor([&] { return waitpid(pid, &f.status, WNOHANG) == pid; },
                      static_cast<int>(left > 0 ? left : 0));
    if (!f.ended) {
        kill(pid, SIGKILL);
        waitpid(pid, &f.status, 0);
    }
    return f;
}

}  // namespace vk_test
