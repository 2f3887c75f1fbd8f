// Measures how long root waits for a new connection to be answered while
// other users try to stall the daemon: the real daemon runs in the
// foreground under a temporary VESKKORVANED_ROOT; attacker children switch
// to uid 65534 (and, with --uids N, 65533 and below), each such uid holding
// --conns connections that pipeline request 1003 for a uuid the store does
// not know, while further children of uid 65534 connect and close at once
// on both sockets, in a loop, to keep both listen backlogs full. Meanwhile
// root, every 50 ms, connects, sends one request and reads its reply
// (1004 for the registered front UI on the front-UI socket, 1005 on the
// products' socket, in turn); each sample is the time from before
// connect() to the reply, a connect that waits longer than --limit-ms
// counts as that limit. With --heavy the pipelined request is instead a
// 1005 of --heavy-bytes (7640) bytes whose "data" is an array of numbers
// the request ignores, on the products' socket.
//
// Usage: stall_bench [--daemon PATH] [--samples N] [--conns N] [--uids N]
//                    [--loops N] [--limit-ms MS] [--cpu N] [--heavy]
//                    [--heavy-bytes N]
// A program of its own, never part of the test suite. Runs as root (it
// switches its attacker children to other uids); every process it starts
// ends with it (PR_SET_PDEATHSIG) and is stopped and reaped by its pid.
#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

#include "bench_daemon.h"
#include "bench_util.h"
#include "client/korvane_client.h"

using namespace vk_bench;

namespace {

const char *const kFuiUuid = "5b0a7c1e-2f4d-4e8a-9c3b-1d2e3f4a5b6c";
const char *const kUnknownUuid = "9d8c7b6a-5f4e-4d3c-8b2a-19f8e7d6c5b4";

struct Options {
    std::string daemon;
    int samples = 40;
    int conns = 64;
    int uids = 1;
    int loops = 2;  // connect-and-close children per socket
    int limit_ms = 30000;
    int cpu = -1;
    bool heavy = false;
    size_t heavy_bytes = 7640;  // of each pipelined line with --heavy, '\n' included
};

[[noreturn]] void Fail(const std::string &what) {
    throw std::runtime_error(what);
}

std::string Line(const char *uuid, uint64_t id, uint32_t type,
                 std::optional<std::string> body = std::nullopt) {
    auto line = korvane::EncodeRequest(uuid, id, type, body);
    if (!line) Fail("cannot encode a request");
    return *line;
}

// Children, each stopped by its id and reaped when the object goes.
class Children {
public:
    ~Children() {
        for (pid_t p : m_pids) kill(p, SIGKILL);
        for (pid_t p : m_pids) waitpid(p, nullptr, 0);
    }
    // Forks a child that runs `body` and exits; it ends with the benchmark.
    template <class F>
    pid_t Start(F body) {
        pid_t p = fork();
        if (p == 0) {
            prctl(PR_SET_PDEATHSIG, SIGKILL);
            body();
            _exit(0);
        }
        if (p < 0) Fail("fork failed");
        m_pids.push_back(p);
        return p;
    }

private:
    std::vector<pid_t> m_pids;
};

void BecomeUser(uid_t uid) {
    if (setgroups(0, nullptr) != 0 || setgid(uid) != 0 || setuid(uid) != 0) _exit(3);
}

// 1005 lines of about `bytes` bytes each (line feed included), ids 1 to
// `count`, whose "data" holds numbers with a fraction, the costliest kind
// to read and print.
std::string HeavyBurst(int count, size_t bytes) {
    std::string numbers;
    for (int i = 0;; ++i) {
        const std::string next = (numbers.empty() ? "" : ",") + std::to_string(i) + ".123456789012";
        // Base64 takes 4 bytes for 3; the envelope around the numbers adds
        // some 60 bytes of JSON.
        if ((numbers.size() + next.size() + 70) * 4 / 3 + 1 > bytes) break;
        numbers += next;
    }
    std::string burst;
    for (int i = 1; i <= count; ++i)
        burst += Line("bench-heavy", static_cast<uint64_t>(i), 1005, R"({"n":[)" + numbers + "]}");
    return burst;
}

// Connections that pipeline `burst` without end, reading and dropping the
// replies.
void Pipeline(const std::string &name, int conns, const std::string &burst, int ready_fd) {
    std::vector<pollfd> fds;
    for (int i = 0; i < conns; ++i) {
        int fd = ConnectAbstract(name);
        if (fd < 0) break;
        fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
        fds.push_back({fd, POLLIN | POLLOUT, 0});
    }
    char n = static_cast<char>(fds.size());
    if (write(ready_fd, &n, 1) != 1) _exit(4);
    close(ready_fd);
    std::vector<size_t> off(fds.size(), 0);
    char buf[65536];
    for (;;) {
        if (poll(fds.data(), fds.size(), 1000) < 0 && errno != EINTR) _exit(5);
        for (size_t i = 0; i < fds.size(); ++i) {
            if (fds[i].revents & POLLIN) {
                while (read(fds[i].fd, buf, sizeof(buf)) > 0) {
                }
            }
            if (fds[i].revents & POLLOUT) {
                ssize_t w = write(fds[i].fd, burst.data() + off[i], burst.size() - off[i]);
                if (w > 0) off[i] = (off[i] + static_cast<size_t>(w)) % burst.size();
            }
            if (fds[i].revents & (POLLHUP | POLLERR)) _exit(6);
        }
    }
}

// Connects and closes at once, without end.
void ConnectAndClose(const std::string &name) {
    for (;;) {
        int fd = ConnectAbstract(name);
        if (fd >= 0) close(fd);
    }
}

int Run(const Options &o) {
    char tmpl[] = "/tmp/vk-stall-XXXXXX";
    if (mkdtemp(tmpl) == nullptr) Fail("mkdtemp failed");
    const std::string root = tmpl;
    struct Cleanup {
        std::string dir;
        ~Cleanup() {
            std::error_code ec;
            std::filesystem::remove_all(dir, ec);
        }
    } cleanup{root};
    const std::string sec = SecSocketOf(root);
    const std::string fui = FuiSocketOf(root);

    Children daemon;
    daemon.Start([&] { ExecDaemon(o.daemon, root); });
    bool up = WaitListening(root);
    if (!up) Fail("the daemon did not start listening");

    // Root's front UI, current for as long as this process runs.
    int ui = ConnectAbstract(fui);
    const std::string body =
        R"({"name":"bench-ui","login_uid":0,"euid":0,"pid":)" + std::to_string(getpid()) + "}";
    std::string reg = Line(kFuiUuid, 1, 1000, body);
    LineReader ui_reader(ui);
    std::string reply;
    if (ui < 0 || !WriteAll(ui, reg.data(), reg.size()) || !ui_reader.Next(reply))
        Fail("front-UI registration failed");

    // 1003 for an unknown uuid, or the heavy 1005.
    std::string burst = o.heavy ? HeavyBurst(64, o.heavy_bytes) : std::string();
    for (int i = 0; i < 64 && !o.heavy; ++i)
        burst += Line(kUnknownUuid, static_cast<uint64_t>(i + 1), 1003, R"({"theme":"x"})");

    Children attackers;
    int held = 0;
    for (int u = 0; u < o.uids; ++u) {
        int ready[2];
        if (pipe(ready) != 0) Fail("pipe failed");
        const uid_t uid = static_cast<uid_t>(65534 - u);
        attackers.Start([&] {
            close(ready[0]);
            BecomeUser(uid);
            Pipeline(u % 2 == 0 && !o.heavy ? fui : sec, o.conns, burst, ready[1]);
        });
        close(ready[1]);
        char n = 0;
        if (read(ready[0], &n, 1) != 1) Fail("an attacker did not connect");
        close(ready[0]);
        held += n;
    }
    for (int i = 0; i < o.loops; ++i)
        for (const std::string *name : {&fui, &sec})
            attackers.Start([&] {
                BecomeUser(65534);
                ConnectAndClose(*name);
            });
    WaitFor([] { return false; }, 1000);  // let the backlogs fill

    const std::string q_fui = Line(kFuiUuid, 2, 1004);
    const std::string q_sec = Line("bench-health", 3, 1005);
    std::vector<double> all_ms, connect_ms;
    int late = 0;
    for (int i = 0; i < o.samples; ++i) {
        bool on_fui = i % 2 == 0;
        int64_t cns = 0;
        int64_t ns = TimedExchange(on_fui ? fui : sec, on_fui ? q_fui : q_sec, o.limit_ms, &cns);
        connect_ms.push_back(static_cast<double>(cns) / 1e6);
        if (ns < 0) ++late;
        all_ms.push_back(ns < 0 ? o.limit_ms : static_cast<double>(ns) / 1e6);
        WaitFor([] { return false; }, 50);
    }
    double load[3] = {0, 0, 0};
    getloadavg(load, 3);
    printf(
        "stall benchmark: %d uid(s) x %d pipelining connections held (%d connected), %d "
        "connect-and-close loops per socket; load %.2f %.2f %.2f\n",
        o.uids, o.conns, held, o.loops, load[0], load[1], load[2]);
    if (o.heavy)
        printf("pipelined: 1005 lines of %zu bytes, data an array of numbers\n", burst.size() / 64);
    printf("root: connect + one request + reply, %d samples (half per socket), limit %d ms\n",
           o.samples, o.limit_ms);
    printf("  median %.2f ms  p90 %.2f ms  p99 %.2f ms  max %.2f ms  over the limit: %d\n",
           Percentile(all_ms, 50), Percentile(all_ms, 90), Percentile(all_ms, 99),
           Percentile(all_ms, 100), late);
    printf("  of which connect(): median %.2f ms  p90 %.2f ms  max %.2f ms\n",
           Percentile(connect_ms, 50), Percentile(connect_ms, 90), Percentile(connect_ms, 100));
    close(ui);
    return 0;
}

}  // namespace

int main(int argc, char **argv) {
    Options o;
    o.daemon = VK_DAEMON_PATH;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto next = [&]() -> std::string {
            if (i + 1 >= argc) {
                fprintf(stderr, "%s needs a value\n", a.c_str());
                exit(2);
            }
            return argv[++i];
        };
        if (a == "--daemon")
            o.daemon = next();
        else if (a == "--samples")
            o.samples = std::max(1, atoi(next().c_str()));
        else if (a == "--conns")
            o.conns = std::max(1, atoi(next().c_str()));
        else if (a == "--uids")
            o.uids = std::max(1, atoi(next().c_str()));
        else if (a == "--loops")
            o.loops = std::max(0, atoi(next().c_str()));
        else if (a == "--limit-ms")
            o.limit_ms = std::max(1, atoi(next().c_str()));
        else if (a == "--cpu")
            o.cpu = atoi(next().c_str());
        else if (a == "--heavy")
            o.heavy = true;
        else if (a == "--heavy-bytes")
            o.heavy_bytes = static_cast<size_t>(std::max(64, atoi(next().c_str())));
        else {
            fprintf(stderr,
                    "usage: %s [--daemon PATH] [--samples N] [--conns N] [--uids N] [--loops N] "
                    "[--limit-ms MS] [--cpu N] [--heavy] [--heavy-bytes N]\n",
                    argv[0]);
            return 2;
        }
    }
    signal(SIGPIPE, SIG_IGN);
    if (geteuid() != 0) {
        fprintf(stderr, "stall_bench: needs root: it runs its attackers as other users\n");
        return 1;
    }
    if (!SetAffinity(o.cpu)) {
        fprintf(stderr, "stall_bench: sched_setaffinity failed\n");
        return 1;
    }
    RaiseFdLimit(4096);
    try {
        return Run(o);
    } catch (const std::exception &e) {
        fprintf(stderr, "stall_bench: %s\n", e.what());
        return 1;
    }
}
