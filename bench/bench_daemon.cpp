#include "bench_daemon.h"

#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>

#include "base/paths.h"
#include "bench_util.h"

namespace vk_bench {

// The fixed names after their '@', under the root, as VESKKORVANED_ROOT
// relocates them.
std::string SecSocketOf(const std::string &root) {
    return "@" + root + (vk_paths::kSecSoftSocket + 1);
}

std::string FuiSocketOf(const std::string &root) {
    return "@" + root + (vk_paths::kFuiSocket + 1);
}

void ExecDaemon(const std::string &binary, const std::string &root, const DaemonEnv &env) {
    setenv("VESKKORVANED_ROOT", root.c_str(), 1);
    for (const auto &kv : env.vars) setenv(kv.first.c_str(), kv.second.c_str(), 1);
    if (!env.preload.empty()) setenv("LD_PRELOAD", env.preload.c_str(), 1);
    int devnull = open("/dev/null", O_RDWR);
    if (devnull >= 0) {
        dup2(devnull, 0);
        dup2(devnull, 1);
        dup2(devnull, 2);
    }
    execl(binary.c_str(), binary.c_str(), "--foreground", static_cast<char *>(nullptr));
    _exit(127);
}

pid_t SpawnDaemon(const std::string &binary, const std::string &root, int deathsig,
                  const DaemonEnv &env) {
    pid_t pid = fork();
    if (pid == 0) {
        prctl(PR_SET_PDEATHSIG, deathsig);
        ExecDaemon(binary, root, env);
    }
    return pid;
}

bool WaitListening(const std::string &root, int timeout_ms) {
    return WaitFor(
        [&] {
            for (const std::string &name : {SecSocketOf(root), FuiSocketOf(root)}) {
                int fd = ConnectAbstract(name);
                if (fd < 0) return false;
                close(fd);
            }
            return true;
        },
        timeout_ms);
}

void StopDaemon(pid_t pid) {
    kill(pid, SIGTERM);
    int st = 0;
    if (!WaitFor([&] { return waitpid(pid, &st, WNOHANG) == pid; }, 10000)) {
        kill(pid, SIGKILL);
        waitpid(pid, &st, 0);
    }
}

}  // namespace vk_bench
