// Measures root's new connection while the liveness watcher works through a
// crowded process table: the real daemon runs in the foreground under a
// temporary VESKKORVANED_ROOT with `[liveness] grace = --grace`; a spawner
// child switches to uid 65534 and starts --procs idle processes (each blocks
// in pause(), or, with --idle sh, is a /bin/sh reading a pipe that never
// gets a line: the interpreter a script product is found by). Root then
// registers a binary product (a copy of sleep) that --exits processes of
// its own run, and a shell-script product, so that the daemon looks for
// both kinds; once the binary product is watched and alive, root probes
// every --every-ms ms: connect to the products' socket, one 1005, its
// reply (a sample is the time from before connect() to the reply); after
// --before-s seconds all --exits processes are killed at once, and the
// probes go on until a front-UI connection hears the product lost (1502)
// and --after-s seconds more. Prints the probes' median, p99 and max
// before and after the exits and the time from the kill to the 1502.
//
// Usage: scan_stall_bench [--daemon PATH] [--procs N] [--idle pause|sh]
//                         [--exits N] [--grace S] [--every-ms MS]
//                         [--before-s S] [--after-s S] [--cpu N]
// A program of its own, never part of the test suite. Runs as root (it
// switches its idle processes to another uid); every process it starts
// ends with it (PR_SET_PDEATHSIG) and is stopped by its pid and reaped.
#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
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
const char *const kBinUuid = "c1a2b3d4-0000-4000-8000-00000000b1a0";
const char *const kShUuid = "c1a2b3d4-0000-4000-8000-0000000005c7";
constexpr uid_t kIdleUid = 65534;

struct Options {
    std::string daemon;
    long procs = 20000;
    std::string idle = "pause";
    int exits = 200;
    int grace = 5;
    int every_ms = 20;
    int before_s = 12;
    int after_s = 5;
    int cpu = -1;
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

void WriteText(const std::string &path, const std::string &text, mode_t mode) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
    if (fd < 0 || !WriteAll(fd, text.data(), text.size())) Fail("cannot write " + path);
    fchmod(fd, mode);
    close(fd);
}

// The idle processes: forked by a spawner of uid kIdleUid, which reports
// how many it started, and on a byte from the benchmark (or its end) kills
// each by its pid and reaps it.
class Idle {
public:
    Idle(long n, bool sh) {
        int report[2], control[2];
        if (pipe(report) != 0 || pipe(control) != 0) Fail("pipe failed");
        m_spawner = fork();
        if (m_spawner < 0) Fail("fork failed");
        if (m_spawner == 0) {
            close(report[0]);
            close(control[1]);
            Spawn(n, sh, report[1], control[0]);
        }
        close(report[1]);
        close(control[0]);
        m_control = control[1];
        long started = 0;
        if (read(report[0], &started, sizeof(started)) != sizeof(started)) started = -1;
        close(report[0]);
        m_started = started;
    }
    ~Idle() {
        if (m_spawner <= 0) return;
        char stop = 's';
        if (write(m_control, &stop, 1) != 1) kill(m_spawner, SIGKILL);
        close(m_control);
        waitpid(m_spawner, nullptr, 0);
    }
    long started() const { return m_started; }

private:
    struct Child {
        pid_t parent = -1;
        bool sh = false;
        int never = -1;
        static int Main(void *arg) {
            const Child *c = static_cast<const Child *>(arg);
            syscall(SYS_prctl, PR_SET_PDEATHSIG, SIGKILL, 0, 0, 0);
            if (syscall(SYS_getppid) != c->parent) syscall(SYS_exit, 1);
            if (c->sh) {
                syscall(SYS_dup3, c->never, 0, 0);
                static const char *const argv[] = {"sh", nullptr};
                static const char *const envp[] = {nullptr};
                syscall(SYS_execve, "/bin/sh", argv, envp);
                syscall(SYS_exit, 127);
            }
            for (;;) syscall(SYS_ppoll, nullptr, 0, nullptr, nullptr, 0);
        }
    };

    [[noreturn]] static void Spawn(long n, bool sh, int report, int control) {
        if (setgroups(0, nullptr) != 0 || setgid(kIdleUid) != 0 || setuid(kIdleUid) != 0) _exit(3);
        // After setuid: a change of credentials clears it.
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        int never[2];
        if (pipe(never) != 0) _exit(4);
        // Children that share the spawner's memory (clone with CLONE_VM):
        // no page tables to copy, so 20,000 start in seconds. Each has a
        // small stack of its own and makes system calls only.
        constexpr size_t kStack = 16 * 1024;
        char *stacks = static_cast<char *>(
            mmap(nullptr, kStack * static_cast<size_t>(n + 1), PROT_READ | PROT_WRITE,
                 MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0));
        if (stacks == MAP_FAILED) _exit(4);
        static Child child;
        child.parent = getpid();
        child.sh = sh;
        child.never = never[0];
        std::vector<pid_t> pids;
        pids.reserve(static_cast<size_t>(n));
        for (long i = 0; i < n; ++i) {
            char *top = stacks + kStack * static_cast<size_t>(i + 1);
            pid_t p = clone(Child::Main, top, CLONE_VM | SIGCHLD, &child);
            if (p < 0) break;
            pids.push_back(p);
        }
        long started = static_cast<long>(pids.size());
        if (write(report, &started, sizeof(started)) != sizeof(started)) _exit(5);
        char c;
        while (read(control, &c, 1) < 0 && errno == EINTR) {
        }
        for (pid_t p : pids) kill(p, SIGKILL);
        for (pid_t p : pids) waitpid(p, nullptr, 0);
        _exit(0);
    }

    pid_t m_spawner = -1;
    int m_control = -1;
    long m_started = 0;
};

// Children of root, each stopped by its id and reaped when the object goes.
class Watched {
public:
    ~Watched() { KillAll(); }
    void Start(const std::string &program) {
        pid_t p = fork();
        if (p == 0) {
            prctl(PR_SET_PDEATHSIG, SIGKILL);
            int null = open("/dev/null", O_RDWR);
            if (null >= 0) {
                dup2(null, 0);
                dup2(null, 1);
            }
            execl(program.c_str(), program.c_str(), "3600", static_cast<char *>(nullptr));
            _exit(127);
        }
        if (p < 0) Fail("fork failed");
        m_pids.push_back(p);
    }
    void KillAll() {
        for (pid_t p : m_pids) kill(p, SIGKILL);
        for (pid_t p : m_pids) waitpid(p, nullptr, 0);
        m_pids.clear();
    }

private:
    std::vector<pid_t> m_pids;
};

// One request and its reply on a connection of its own: the time in ms from
// before connect() to the reply, `limit_ms` when it takes longer; the
// reply's data in *reply when given.
double Probe(const std::string &name, const std::string &line, int limit_ms, std::string *reply) {
    std::string got;
    const int64_t ns = TimedExchange(name, line, limit_ms, nullptr, &got);
    if (reply) {
        auto m = korvane::DecodeLine(got);
        *reply = m ? m->data : "";
    }
    return ns < 0 ? limit_ms : static_cast<double>(ns) / 1e6;
}

void Report(const char *what, const std::vector<double> &ms) {
    printf("  %-34s %5zu probes: median %7.2f ms  p99 %7.2f ms  max %7.2f ms\n", what, ms.size(),
           Percentile(ms, 50), Percentile(ms, 99), Percentile(ms, 100));
}

// A front-UI connection that hears notifications: true once a 1502 for
// `uuid` has come (reads what is there without waiting).
class Listener {
public:
    explicit Listener(const std::string &fui) {
        m_fd = ConnectAbstract(fui);
        const std::string body =
            R"({"name":"bench-ui","login_uid":0,"euid":0,"pid":)" + std::to_string(getpid()) + "}";
        std::string reg = Line(kFuiUuid, 1, 1000, body);
        if (m_fd < 0 || !WriteAll(m_fd, reg.data(), reg.size())) Fail("front UI failed");
        fcntl(m_fd, F_SETFL, fcntl(m_fd, F_GETFL) | O_NONBLOCK);
    }
    ~Listener() {
        if (m_fd >= 0) close(m_fd);
    }
    bool Heard(uint32_t type, const std::string &uuid) {
        char buf[65536];
        ssize_t n;
        while ((n = read(m_fd, buf, sizeof(buf))) > 0) m_buf.append(buf, static_cast<size_t>(n));
        size_t nl;
        while ((nl = m_buf.find('\n')) != std::string::npos) {
            auto m = korvane::DecodeLine(m_buf.substr(0, nl));
            m_buf.erase(0, nl + 1);
            if (m && !m->has_result && m->type == type && m->uuid == uuid) m_heard = true;
        }
        return m_heard;
    }

private:
    int m_fd = -1;
    std::string m_buf;
    bool m_heard = false;
};

int Run(const Options &o) {
    char tmpl[] = "/tmp/vk-scanstall-XXXXXX";
    if (mkdtemp(tmpl) == nullptr) Fail("mkdtemp failed");
    const std::string root = tmpl;
    struct Cleanup {
        std::string dir;
        ~Cleanup() {
            std::error_code ec;
            std::filesystem::remove_all(dir, ec);
        }
    } cleanup{root};
    for (const char *d : {"/etc", "/etc/korvane", "/opt"})
        if (mkdir((root + d).c_str(), 0755) != 0) Fail(std::string("mkdir ") + d);
    WriteText(root + "/etc/korvane/korvaned.conf",
              "[liveness]\ngrace = " + std::to_string(o.grace) + "\n[dbus]\nmode = off\n", 0644);
    const std::string avd = root + "/opt/avd", script = root + "/opt/acme-sh";
    const std::string sleep_bin = ReadFile("/bin/sleep");
    if (sleep_bin.empty()) Fail("cannot read /bin/sleep");
    WriteText(avd, sleep_bin, 0755);
    WriteText(script, "#!/bin/sh\nsleep 3600\nexit 0\n", 0755);

    const int64_t spawn0 = NowNs();
    Idle idle(o.procs, o.idle == "sh");
    if (idle.started() != o.procs)
        Fail("started " + std::to_string(idle.started()) + " idle processes of " +
             std::to_string(o.procs));
    const double spawn_s = static_cast<double>(NowNs() - spawn0) / 1e9;

    Watched watched;
    for (int i = 0; i < o.exits; ++i) watched.Start(avd);

    pid_t daemon = SpawnDaemon(o.daemon, root, SIGKILL);
    if (daemon < 0) Fail("fork failed");
    struct DaemonStop {
        pid_t pid;
        ~DaemonStop() { StopDaemon(pid); }
    } stop{daemon};
    if (!WaitListening(root, 60000)) Fail("the daemon did not start listening");
    const std::string sec = SecSocketOf(root), fui = FuiSocketOf(root);
    Listener listener(fui);

    int product = ConnectAbstract(sec);
    if (product < 0) Fail("cannot connect to the products' socket");
    LineReader product_reader(product);
    std::string reply;
    const std::string reg_bin =
        Line(kBinUuid, 1, 2000, R"({"name":"Bench AV","exec":")" + avd + R"("})");
    const std::string reg_sh =
        Line(kShUuid, 2, 2000, R"({"name":"Bench script","exec":")" + script + R"("})");
    if (!WriteAll(product, reg_bin.data(), reg_bin.size()) || !product_reader.Next(reply) ||
        !WriteAll(product, reg_sh.data(), reg_sh.size()) || !product_reader.Next(reply))
        Fail("registration failed");

    const std::string health = Line("bench-health", 3, 1005);
    const int limit_ms = 30000;
    if (!WaitFor(
            [&] {
                std::string data;
                Probe(sec, health, limit_ms, &data);
                return data.find(R"("alive":true)") != std::string::npos;
            },
            120000))
        Fail("the binary product was not seen alive");

    std::vector<double> before, after;
    auto probe_for = [&](std::vector<double> &into, int64_t until_ns, bool stop_on_loss) {
        while (NowNs() < until_ns) {
            into.push_back(Probe(sec, health, limit_ms, nullptr));
            if (stop_on_loss && listener.Heard(1502, kBinUuid)) return;
            WaitFor([] { return false; }, o.every_ms);
        }
    };
    probe_for(before, NowNs() + static_cast<int64_t>(o.before_s) * 1000000000, false);
    const int64_t killed = NowNs();
    watched.KillAll();
    const int64_t killed_end = NowNs();
    const int64_t deadline = killed + static_cast<int64_t>(o.grace + 30) * 1000000000;
    probe_for(after, deadline, true);
    const bool lost = listener.Heard(1502, kBinUuid);
    const double detect_s = static_cast<double>(NowNs() - killed) / 1e9;
    probe_for(after, NowNs() + static_cast<int64_t>(o.after_s) * 1000000000, false);

    double load[3] = {0, 0, 0};
    getloadavg(load, 3);
    printf(
        "scan stall benchmark: %ld idle processes of uid %u (%s, started in %.1f s), %d processes "
        "of root running the binary product, a script product registered too; grace %d s; "
        "nproc %ld; load %.2f %.2f %.2f\n",
        idle.started(), kIdleUid, o.idle == "sh" ? "/bin/sh reading a pipe" : "pause()", spawn_s,
        o.exits, o.grace, sysconf(_SC_NPROCESSORS_ONLN), load[0], load[1], load[2]);
    printf("root: connect + one 1005 + reply on the products' socket, every %d ms\n", o.every_ms);
    Report("before the exits", before);
    Report("from the exits on", after);
    printf("  the %d processes killed in %.1f ms; ", o.exits,
           static_cast<double>(killed_end - killed) / 1e6);
    if (lost)
        printf("the loss (1502) heard %.2f s after the kill (grace %d s)\n", detect_s, o.grace);
    else
        printf("no 1502 within %d s of the kill\n", o.grace + 30);
    close(product);
    return lost ? 0 : 1;
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
        else if (a == "--procs")
            o.procs = std::max(0L, atol(next().c_str()));
        else if (a == "--idle")
            o.idle = next();
        else if (a == "--exits")
            o.exits = std::max(1, atoi(next().c_str()));
        else if (a == "--grace")
            o.grace = std::max(1, atoi(next().c_str()));
        else if (a == "--every-ms")
            o.every_ms = std::max(1, atoi(next().c_str()));
        else if (a == "--before-s")
            o.before_s = std::max(0, atoi(next().c_str()));
        else if (a == "--after-s")
            o.after_s = std::max(0, atoi(next().c_str()));
        else if (a == "--cpu")
            o.cpu = atoi(next().c_str());
        else {
            fprintf(stderr,
                    "usage: %s [--daemon PATH] [--procs N] [--idle pause|sh] [--exits N] "
                    "[--grace S] [--every-ms MS] [--before-s S] [--after-s S] [--cpu N]\n",
                    argv[0]);
            return 2;
        }
    }
    if (o.idle != "pause" && o.idle != "sh") {
        fprintf(stderr, "scan_stall_bench: --idle is pause or sh\n");
        return 2;
    }
    signal(SIGPIPE, SIG_IGN);
    if (geteuid() != 0) {
        fprintf(stderr, "scan_stall_bench: needs root: its idle processes run as another user\n");
        return 1;
    }
    if (!SetAffinity(o.cpu)) {
        fprintf(stderr, "scan_stall_bench: sched_setaffinity failed\n");
        return 1;
    }
    try {
        return Run(o);
    } catch (const std::exception &e) {
        fprintf(stderr, "scan_stall_bench: %s\n", e.what());
        return 1;
    }
}
