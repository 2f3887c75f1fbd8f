#include "bench_floor.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/epoll.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <map>

#include "bench_util.h"

namespace vk_bench {

namespace {

// Same open flags as the daemon's connections: read-write, create,
// full mutex; no busy timeout.
constexpr int kOpenFlags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX;

[[noreturn]] void ServeFloor(int lfd, FloorMode mode, const std::string &payload) {
    int ep = epoll_create1(EPOLL_CLOEXEC);
    struct epoll_event ev = {};
    ev.events = EPOLLIN;
    ev.data.fd = lfd;
    epoll_ctl(ep, EPOLL_CTL_ADD, lfd, &ev);
    std::map<int, std::string> inbuf;  // ordered: broadcast goes in descriptor order
    struct epoll_event ready[256];
    char buf[65536];
    while (true) {
        int n = epoll_wait(ep, ready, 256, -1);
        for (int i = 0; i < n; ++i) {
            int fd = ready[i].data.fd;
            if (fd == lfd) {
                int cfd = accept4(lfd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
                if (cfd < 0) continue;
                ev.events = EPOLLIN;
                ev.data.fd = cfd;
                epoll_ctl(ep, EPOLL_CTL_ADD, cfd, &ev);
                inbuf[cfd];
                continue;
            }
            ssize_t r = read(fd, buf, sizeof(buf));
            if (r == 0 || (r < 0 && errno != EAGAIN && errno != EINTR)) {
                epoll_ctl(ep, EPOLL_CTL_DEL, fd, nullptr);
                close(fd);
                inbuf.erase(fd);
                continue;
            }
            if (r < 0) continue;
            std::string &in = inbuf[fd];
            in.append(buf, static_cast<size_t>(r));
            size_t start = 0, lf;
            while ((lf = in.find('\n', start)) != std::string::npos) {
                if (mode == FloorMode::kBroadcast && in[start] != '#') {
                    for (auto &other : inbuf) {
                        if (other.first == fd) continue;
                        ssize_t w = write(other.first, payload.data(), payload.size());
                        (void)w;
                    }
                }
                ssize_t w = write(fd, in.data() + start, lf + 1 - start);
                (void)w;
                start = lf + 1;
            }
            in.erase(0, start);
        }
    }
}

}  // namespace

FloorServer::FloorServer(const std::string &name, FloorMode mode, const std::string &payload) {
    int lfd = ListenAbstract(name);
    if (lfd < 0) return;
    m_pid = fork();
    if (m_pid == 0) {
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        signal(SIGPIPE, SIG_IGN);
        ServeFloor(lfd, mode, payload);
    }
    close(lfd);
}

FloorServer::~FloorServer() {
    if (m_pid <= 0) return;
    kill(m_pid, SIGTERM);
    int st = 0;
    waitpid(m_pid, &st, 0);
}

std::vector<int64_t> SqliteFloor(const std::string &path, const std::string &sql,
                                 const std::vector<std::string> &names,
                                 const std::vector<std::vector<std::string>> &runs,
                                 bool per_call_connection, double &seconds, std::string &error) {
    std::vector<int64_t> samples;
    sqlite3 *db = nullptr;
    sqlite3_stmt *st = nullptr;
    auto open = [&]() {
        if (sqlite3_open_v2(path.c_str(), &db, kOpenFlags, nullptr) != SQLITE_OK ||
            sqlite3_busy_timeout(db, 0) != SQLITE_OK ||
            sqlite3_prepare_v2(db, sql.c_str(), -1, &st, nullptr) != SQLITE_OK) {
            error = db != nullptr ? sqlite3_errmsg(db) : "sqlite3_open_v2 failed";
            return false;
        }
        return true;
    };
    auto close_db = [&]() {
        sqlite3_finalize(st);
        st = nullptr;
        sqlite3_close(db);
        db = nullptr;
    };
    auto run = [&](const std::vector<std::string> &values) {
        for (size_t i = 0; i < names.size(); ++i) {
            int idx = sqlite3_bind_parameter_index(st, names[i].c_str());
            sqlite3_bind_text(st, idx, values[i].data(), static_cast<int>(values[i].size()),
                              SQLITE_TRANSIENT);
        }
        int rc = sqlite3_step(st);
        sqlite3_reset(st);
        sqlite3_clear_bindings(st);
        if (rc != SQLITE_DONE) {
            error = sqlite3_errmsg(db);
            return false;
        }
        return true;
    };

    if (!per_call_connection && !open()) {
        close_db();
        return {};
    }
    int64_t t0 = NowNs();
    for (const std::vector<std::string> &values : runs) {
        int64_t a = NowNs();
        if (per_call_connection && !open()) break;
        bool ok = run(values);
        if (per_call_connection) close_db();
        if (!ok) break;
        samples.push_back(NowNs() - a);
    }
    seconds = static_cast<double>(NowNs() - t0) / 1e9;
    if (!per_call_connection) close_db();
    if (samples.size() != runs.size()) return {};
    return samples;
}

std::string SqliteSettings(const std::string &path) {
    sqlite3 *db = nullptr;
    std::string out;
    if (sqlite3_open_v2(path.c_str(), &db, kOpenFlags, nullptr) == SQLITE_OK) {
        for (const char *pragma : {"journal_mode", "synchronous"}) {
            sqlite3_stmt *st = nullptr;
            std::string q = std::string("pragma ") + pragma;
            if (sqlite3_prepare_v2(db, q.c_str(), -1, &st, nullptr) == SQLITE_OK &&
                sqlite3_step(st) == SQLITE_ROW) {
                const unsigned char *v = sqlite3_column_text(st, 0);
                out += std::string(out.empty() ? "" : " ") + pragma + "=" +
                       (v != nullptr ? reinterpret_cast<const char *>(v) : "?");
            }
            sqlite3_finalize(st);
        }
    }
    sqlite3_close(db);
    return out;
}

}  // namespace vk_bench
