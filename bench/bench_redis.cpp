#include "bench_redis.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <sstream>

#include "bench_conn.h"
#include "bench_util.h"

namespace vk_bench {

std::string FindOnPath(const std::string &program) {
    const char *path = getenv("PATH");
    std::stringstream dirs(path != nullptr ? path : "/usr/bin:/bin");
    std::string dir;
    while (std::getline(dirs, dir, ':')) {
        if (dir.empty()) continue;
        std::string full = dir + "/" + program;
        if (access(full.c_str(), X_OK) == 0) return full;
    }
    return "";
}

std::string RespCommand(const std::vector<std::string> &args) {
    std::string out = "*" + std::to_string(args.size()) + "\r\n";
    for (const std::string &a : args) out += "$" + std::to_string(a.size()) + "\r\n" + a + "\r\n";
    return out;
}

RedisServer::RedisServer(const std::string &binary, const std::string &dir)
    : m_socket(dir + "/redis.sock") {
    m_pid = fork();
    if (m_pid == 0) {
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        int devnull = open("/dev/null", O_RDWR);
        if (devnull >= 0) {
            dup2(devnull, 0);
            dup2(devnull, 1);
            dup2(devnull, 2);
        }
        // No configuration file: nothing of a system instance is read.
        execl(binary.c_str(), binary.c_str(), "--port", "0", "--unixsocket", m_socket.c_str(),
              "--unixsocketperm", "700", "--dir", dir.c_str(), "--save", "", "--appendonly", "no",
              "--daemonize", "no", "--logfile", "", static_cast<char *>(nullptr));
        _exit(127);
    }
    if (m_pid < 0) return;
    m_up = WaitFor(
        [&] {
            int fd = ConnectAbstract(m_socket);
            if (fd < 0) return false;
            close(fd);
            return true;
        },
        10000);
}

RedisServer::~RedisServer() {
    if (m_pid <= 0) return;
    kill(m_pid, SIGTERM);
    int st = 0;
    if (!WaitFor([&] { return waitpid(m_pid, &st, WNOHANG) == m_pid; }, 10000)) {
        kill(m_pid, SIGKILL);
        waitpid(m_pid, &st, 0);
    }
}

bool RedisServer::Set(const std::string &key, const std::string &value) {
    Conn c(m_socket);
    if (c.RoundTrip(RespCommand({"SET", key, value})) != "+OK\r") return false;
    std::string head = c.RoundTrip(RespCommand({"GET", key}));
    std::string body;
    return head == "$" + std::to_string(value.size()) + "\r" && c.reader->Next(body) &&
           body == value + "\r";
}

}  // namespace vk_bench
