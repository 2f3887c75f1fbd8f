// The daemon under a benchmark: run in the foreground under a root of its
// own, its output thrown away, ending with the benchmark however that ends,
// and stopped by its pid.
#pragma once

#include <signal.h>
#include <sys/types.h>

#include <string>
#include <utility>
#include <vector>

namespace vk_bench {

// The two socket names of a daemon under `root`.
std::string SecSocketOf(const std::string &root);
std::string FuiSocketOf(const std::string &root);

// What a daemon is started with beyond its root: a library to preload
// (LD_PRELOAD) and environment variables, for counting its calls without
// changing it.
struct DaemonEnv {
    std::string preload;
    std::vector<std::pair<std::string, std::string>> vars;
};

// In a forked child: becomes the daemon (never returns; 127 when the exec
// fails).
[[noreturn]] void ExecDaemon(const std::string &binary, const std::string &root,
                             const DaemonEnv &env = DaemonEnv());
// Forks the daemon, which gets `deathsig` when the benchmark ends; -1 when
// fork fails.
pid_t SpawnDaemon(const std::string &binary, const std::string &root, int deathsig = SIGTERM,
                  const DaemonEnv &env = DaemonEnv());
// Whether both sockets of the daemon under `root` accept within timeout_ms.
bool WaitListening(const std::string &root, int timeout_ms = 10000);
// SIGTERM, SIGKILL after 10 s; reaps it.
void StopDaemon(pid_t pid);

}  // namespace vk_bench
