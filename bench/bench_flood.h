// One connection that sends lines back to back as fast as the server takes
// them (pipelined, never waiting for an answer) while a second
// thread reads and counts what comes back. Nothing here knows the protocol.
#pragma once

#include <atomic>
#include <functional>
#include <string>
#include <thread>

namespace vk_bench {

class Flood {
public:
    // Connects to `name` and starts at once, sending line(0), line(1), ...;
    // ok() tells whether it runs.
    Flood(const std::string &name, std::function<std::string(long)> line);
    // Stops sending, lets the server answer what it already has and waits
    // for the end of its stream.
    ~Flood();
    Flood(const Flood &) = delete;
    Flood &operator=(const Flood &) = delete;

    bool ok() const { return m_fd >= 0; }
    // Lines answered so far.
    long answered() const { return m_answered.load(); }

private:
    int m_fd = -1;
    std::atomic<bool> m_stop{false};
    std::atomic<long> m_answered{0};
    std::thread m_writer, m_reader;
};

}  // namespace vk_bench
