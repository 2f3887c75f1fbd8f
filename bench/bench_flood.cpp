#include "bench_flood.h"

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>

#include "bench_util.h"

namespace vk_bench {

Flood::Flood(const std::string &name, const std::string &line) : m_fd(ConnectAbstract(name)) {
    if (m_fd < 0) return;
    m_writer = std::thread([this, line] {
        std::string burst;
        for (int i = 0; i < 64; ++i) burst += line;
        while (!m_stop && WriteAll(m_fd, burst.data(), burst.size())) {
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
