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

std::string FloorDb::Settings() const {
    return "journal_mode=" + journal_mode + " synchronous=" + std::to_string(synchronous);
}

std::vector<int64_t> SqliteFloor(const FloorDb &floor, const std::string &sql,
                                 const std::vector<std::string> &names,
                                 const std::vector<std::vector<std::string>> &runs,
                                 bool per_call_connection, double &seconds, std::string &error) {
    std::vector<int64_t> samples;
    sqlite3 *db = nullptr;
    sqlite3_stmt *st = nullptr;
    const std::string pragmas = "pragma journal_mode=" + floor.journal_mode +
                                "; pragma synchronous=" + std::to_string(floor.synchronous);
    auto open = [&]() {
        if (sqlite3_open_v2(floor.path.c_str(), &db, kOpenFlags, nullptr) != SQLITE_OK ||
            sqlite3_busy_timeout(db, 0) != SQLITE_OK ||
            sqlite3_exec(db, pragmas.c_str(), nullptr, nullptr, nullptr) != SQLITE_OK ||
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

namespace {

// A read-only connection to another process's database: it changes neither
// the file nor its journal mode. Waits up to 5 s for a writer's lock.
sqlite3 *OpenReadOnly(const std::string &path, std::string &error) {
    sqlite3 *db = nullptr;
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK ||
        sqlite3_busy_timeout(db, 5000) != SQLITE_OK) {
        error = db != nullptr ? sqlite3_errmsg(db) : "sqlite3_open_v2 failed";
        sqlite3_close(db);
        return nullptr;
    }
    return db;
}

}  // namespace

std::string SqliteJournalMode(const std::string &path, std::string &error) {
    sqlite3 *db = OpenReadOnly(path, error);
    if (db == nullptr) return "";
    std::string mode;
    sqlite3_stmt *st = nullptr;
    if (sqlite3_prepare_v2(db, "pragma journal_mode", -1, &st, nullptr) == SQLITE_OK &&
        sqlite3_step(st) == SQLITE_ROW) {
        const unsigned char *v = sqlite3_column_text(st, 0);
        if (v != nullptr) mode = reinterpret_cast<const char *>(v);
    }
    if (mode.empty()) error = sqlite3_errmsg(db);
    sqlite3_finalize(st);
    sqlite3_close(db);
    return mode;
}

bool SqliteCopy(const std::string &from, const std::string &to, std::string &error) {
    sqlite3 *db = OpenReadOnly(from, error);
    if (db == nullptr) return false;
    sqlite3_stmt *st = nullptr;
    bool ok = sqlite3_prepare_v2(db, "vacuum into ?", -1, &st, nullptr) == SQLITE_OK &&
              sqlite3_bind_text(st, 1, to.c_str(), -1, SQLITE_TRANSIENT) == SQLITE_OK &&
              sqlite3_step(st) == SQLITE_DONE;
    if (!ok) error = sqlite3_errmsg(db);
    sqlite3_finalize(st);
    sqlite3_close(db);
    return ok;
}

}  // namespace vk_bench
