#include "bench_flood.h"

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>

#include "bench_util.h"

namespace vk_bench {

Flood::Flood(const std::string &name, std::function<std::string(long)> line)
    : m_fd(ConnectAbstract(name)) {
    if (m_fd < 0) return;
    m_writer = std::thread([this, line] {
        long next = 0;
        std::string burst;
        while (!m_stop) {
            burst.clear();
            for (int i = 0; i < 64; ++i) burst += line(next++);
            if (!WriteAll(m_fd, burst.data(), burst.size())) break;
        }
        shutdown(m_fd, SHUT_WR);
    });
    m_reader = std::thread([this] {
        char buf[65536];
        ssize_t n;
        while ((n = read(m_fd, buf, sizeof(buf))) > 0)
            m_answered += static_cast<long>(std::count(buf, buf + n, '\n'));
    });
}

Flood::~Flood() {
    m_stop = true;
    if (m_writer.joinable()) m_writer.join();
    if (m_reader.joinable()) m_reader.join();
    if (m_fd >= 0) close(m_fd);
}

}  // namespace vk_bench
