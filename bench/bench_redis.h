// Redis as a second floor for queries: a private redis-server on a Unix
// socket in the benchmark's temporary directory, never a system instance.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace vk_bench {

// The full path of `program` in PATH, "" when absent.
std::string FindOnPath(const std::string &program);

// A request in RESP, Redis's wire format: an array of bulk strings.
std::string RespCommand(const std::vector<std::string> &args);

// redis-server started from `binary` in the foreground, listening only on
// `dir`/redis.sock (no TCP port, no snapshot, no append-only file), and
// stopped by its id when the object goes away. It inherits the caller's CPU
// affinity.
class RedisServer {
public:
    RedisServer(const std::string &binary, const std::string &dir);
    ~RedisServer();
    RedisServer(const RedisServer &) = delete;
    RedisServer &operator=(const RedisServer &) = delete;

    bool ok() const { return m_pid > 0 && m_up; }
    const std::string &socket() const { return m_socket; }
    // Stores `value` under `key`; the value must hold no line feed, so that
    // a GET's reply is exactly two lines ("$<n>\r" and "<value>\r").
    bool Set(const std::string &key, const std::string &value);

private:
    std::string m_socket;
    pid_t m_pid = -1;
    bool m_up = false;
};

}  // namespace vk_bench
