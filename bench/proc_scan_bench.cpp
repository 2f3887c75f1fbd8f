// Measures the liveness scan of /proc (src/base/proc_scan.h) with a
// crowded process table: starts --procs copies of sleep (2000 by default)
// plus the programs sought, one binary and one shell script, then times
// proc_scan over many calls for what the daemon looks for (a binary
// product alone; a binary and a script product, which reads every other
// process's arguments; and every process matching, the confirm path for
// each), beside two floors measured in the same run: listing /proc alone,
// and listing it with one readlinkat of each exe. Prints microseconds per
// scan (median, p99), per process directory examined, and the user and
// system CPU time per scan; then kills and reaps every process it started,
// by its pid.
//
// Usage: proc_scan_bench [--procs N] [--scans N] [--cpu N]
// --cpu pins the benchmark (and what it starts) to CPU N, -1 for none
// (default 0, as korvane_bench). A program of its own, never part of the
// test suite; it needs no daemon. Runs as any user whose process limit
// allows N more processes (it raises its soft RLIMIT_NPROC to the hard one).
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "base/proc_scan.h"
#include "bench_util.h"

using namespace vk_bench;

namespace {

// Unwinds, so that every process started is stopped on the way out.
[[noreturn]] void Fail(const std::string &what) {
    throw std::runtime_error(what);
}

// The temporary directory of the programs run, removed with them.
class TempDir {
public:
    TempDir() {
        char tmpl[] = "/tmp/vk-procbench-XXXXXX";
        if (!mkdtemp(tmpl)) Fail(std::string("mkdtemp: ") + strerror(errno));
        m_path = tmpl;
    }
    ~TempDir() {
        for (const std::string &f : m_files) unlink(f.c_str());
        rmdir(m_path.c_str());
    }
    std::string File(const std::string &name) {
        m_files.push_back(m_path + "/" + name);
        return m_files.back();
    }

private:
    std::string m_path;
    std::vector<std::string> m_files;
};

void Copy(const std::string &from, const std::string &to) {
    std::string data = ReadFile(from);
    if (data.empty()) Fail("cannot read " + from);
    int fd = open(to.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0755);
    if (fd < 0 || !WriteAll(fd, data.data(), data.size())) Fail("cannot write " + to);
    close(fd);
}

// The processes the benchmark started; each leads a process group of its
// own (the script's shell and its sleep). The benchmark is their subreaper,
// so the script's sleep comes back to it when its shell is killed.
class Children {
public:
    ~Children() { StopAll(); }

    pid_t Start(const std::vector<std::string> &argv) {
        std::vector<char *> args;
        for (const std::string &a : argv) args.push_back(const_cast<char *>(a.c_str()));
        args.push_back(nullptr);
        pid_t parent = getpid();
        pid_t pid = fork();
        if (pid == 0) {
            setpgid(0, 0);
            // Ends with the benchmark, however that ends.
            prctl(PR_SET_PDEATHSIG, SIGKILL);
            if (getppid() != parent) _exit(1);
            int null = open("/dev/null", O_RDWR);
            if (null >= 0) {
                dup2(null, 0);
                dup2(null, 1);
                dup2(null, 2);
            }
            execv(args[0], args.data());
            _exit(127);
        }
        if (pid < 0) return -1;
        setpgid(pid, pid);
        m_pids.push_back(pid);
        return pid;
    }

    // Kills each group by its leader's pid, then reaps the leader and what
    // came back to us from its group.
    void StopAll() {
        for (pid_t pid : m_pids) {
            kill(-pid, SIGKILL);
            kill(pid, SIGKILL);
        }
        for (pid_t pid : m_pids) {
            int st;
            while (waitpid(pid, &st, 0) < 0 && errno == EINTR) {
            }
            while (waitpid(-pid, &st, WNOHANG) > 0) {
            }
        }
        // Stragglers of the script's group, reparented a little later.
        for (pid_t pid : m_script_groups) {
            int st;
            WaitFor(
                [&] {
                    pid_t r = waitpid(-pid, &st, WNOHANG);
                    return r < 0 && errno == ECHILD;
                },
                2000);
        }
        m_pids.clear();
        m_script_groups.clear();
    }

    void MarkScriptGroup(pid_t pid) { m_script_groups.push_back(pid); }
    size_t size() const { return m_pids.size(); }

private:
    std::vector<pid_t> m_pids;
    std::vector<pid_t> m_script_groups;
};

struct Timing {
    Stats wall;
    double examined = 0;  // process directories per call
    double matched = 0;   // matches per call
    double user_us = 0;   // CPU time per call
    double sys_us = 0;
};

double CpuUs(const struct timeval &tv) {
    return static_cast<double>(tv.tv_sec) * 1e6 + static_cast<double>(tv.tv_usec);
}

// Runs `once` (which returns what it examined and matched) `scans` times
// after a few warm-up calls.
Timing Measure(int scans, const std::function<std::pair<int, size_t>()> &once) {
    for (int i = 0; i < 5; ++i) once();
    std::vector<int64_t> samples;
    samples.reserve(static_cast<size_t>(scans));
    struct rusage r0, r1;
    getrusage(RUSAGE_SELF, &r0);
    int64_t t0 = NowNs();
    double examined = 0, matched = 0;
    for (int i = 0; i < scans; ++i) {
        int64_t a = NowNs();
        std::pair<int, size_t> got = once();
        samples.push_back(NowNs() - a);
        examined += got.first;
        matched += static_cast<double>(got.second);
    }
    double seconds = static_cast<double>(NowNs() - t0) / 1e9;
    getrusage(RUSAGE_SELF, &r1);
    Timing t;
    t.wall = Summarise(samples, seconds);
    t.examined = examined / scans;
    t.matched = matched / scans;
    t.user_us = (CpuUs(r1.ru_utime) - CpuUs(r0.ru_utime)) / scans;
    t.sys_us = (CpuUs(r1.ru_stime) - CpuUs(r0.ru_stime)) / scans;
    return t;
}

bool IsPid(const char *name) {
    if (*name < '1' || *name > '9') return false;
    for (; *name; ++name)
        if (*name < '0' || *name > '9') return false;
    return true;
}

// Floor: the directory listing alone.
std::pair<int, size_t> ListOnly() {
    DIR *dir = opendir("/proc");
    if (!dir) Fail("opendir /proc");
    int n = 0;
    while (struct dirent *d = readdir(dir))
        if (IsPid(d->d_name)) ++n;
    closedir(dir);
    return {n, 0};
}

// Floor: the listing and one readlinkat of each process's exe.
std::pair<int, size_t> ListAndReadlink() {
    DIR *dir = opendir("/proc");
    if (!dir) Fail("opendir /proc");
    int n = 0;
    char rel[sizeof(dirent::d_name) + 8], link[PATH_MAX];
    while (struct dirent *d = readdir(dir)) {
        if (!IsPid(d->d_name)) continue;
        ++n;
        snprintf(rel, sizeof(rel), "%s/exe", d->d_name);
        (void)readlinkat(dirfd(dir), rel, link, sizeof(link));
    }
    closedir(dir);
    return {n, 0};
}

void Row(const char *what, const Timing &t) {
    printf("%-44s | %9.1f %9.1f | %7.3f | %8.1f %8.1f | %6.0f %7.1f\n", what, t.wall.median_us,
           t.wall.p99_us, t.examined > 0 ? t.wall.median_us / t.examined : 0.0, t.user_us, t.sys_us,
           t.examined, t.matched);
}

}  // namespace

int Run(int argc, char **argv) {
    long procs = 2000;
    int scans = 200, cpu = 0;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--procs" && i + 1 < argc) {
            procs = atol(argv[++i]);
        } else if (a == "--scans" && i + 1 < argc) {
            scans = atoi(argv[++i]);
        } else if (a == "--cpu" && i + 1 < argc) {
            cpu = atoi(argv[++i]);
        } else {
            fprintf(stderr, "usage: proc_scan_bench [--procs N] [--scans N] [--cpu N]\n");
            return 2;
        }
    }
    if (procs < 0 || scans < 1) Fail("--procs must be >= 0 and --scans >= 1");
    if (cpu >= 0 && !SetAffinity(cpu)) Fail("cannot pin to CPU " + std::to_string(cpu));

    // Room for the processes: the soft process limit up to the hard one.
    struct rlimit rl;
    if (getrlimit(RLIMIT_NPROC, &rl) == 0 && rl.rlim_cur != RLIM_INFINITY &&
        rl.rlim_cur < rl.rlim_max) {
        rl.rlim_cur = rl.rlim_max;
        setrlimit(RLIMIT_NPROC, &rl);
    }
    if (prctl(PR_SET_CHILD_SUBREAPER, 1) != 0) Fail("PR_SET_CHILD_SUBREAPER");

    TempDir dir;
    std::string filler = dir.File("filler"), avd = dir.File("avd"), script = dir.File("avd.sh");
    Copy("/bin/sleep", filler);
    Copy("/bin/sleep", avd);
    {
        int fd = open(script.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0755);
        const char text[] = "#!/bin/sh\nsleep 3600\nexit 0\n";
        if (fd < 0 || !WriteAll(fd, text, sizeof(text) - 1)) Fail("cannot write " + script);
        close(fd);
    }

    int status = 0;
    {
        Children children;
        pid_t avd_pid = children.Start({avd, "3600"});
        pid_t script_pid = children.Start({script});
        if (avd_pid < 0 || script_pid < 0) Fail("fork failed");
        children.MarkScriptGroup(script_pid);
        for (long i = 0; i < procs; ++i) {
            if (children.Start({filler, "3600"}) < 0) {
                Fail("fork failed after " + std::to_string(i) + " processes: " + strerror(errno));
            }
        }

        std::vector<proc_program_t> fill(1), sought(2);
        std::string error;
        if (proc_resolve_program(filler, fill[0], error) != 0 ||
            proc_resolve_program(avd, sought[0], error) != 0 ||
            proc_resolve_program(script, sought[1], error) != 0)
            Fail("resolve: " + error);

        // Every process started runs its program before anything is timed.
        std::vector<proc_match_t> found;
        auto scan = [&](const std::vector<proc_program_t> &programs) {
            found.clear();
            int n = proc_scan("/proc", programs, found, SIZE_MAX, error);
            if (n < 0) Fail("proc_scan: " + error);
            return std::pair<int, size_t>(n, found.size());
        };
        bool up = WaitFor(
            [&] {
                bool both = scan(sought).second == 2;
                return both && scan(fill).second == static_cast<size_t>(procs);
            },
            60000);
        if (!up) Fail("the processes started were not all found");

        struct utsname u;
        uname(&u);
        double load[3] = {0, 0, 0};
        getloadavg(load, 3);
        int in_proc = ListOnly().first;
        printf(
            "proc_scan benchmark: %ld processes started (%zu with the sought ones), %d in "
            "/proc; nproc %ld; kernel %s %s; %s; load %.2f %.2f %.2f\n",
            procs, children.size(), in_proc, sysconf(_SC_NPROCESSORS_ONLN), u.sysname, u.release,
            cpu >= 0 ? ("pinned to CPU " + std::to_string(cpu)).c_str() : "unpinned", load[0],
            load[1], load[2]);
        printf("%d calls each after 5 warm-up calls\n\n", scans);
        printf("%-44s | %9s %9s | %7s | %8s %8s | %6s %7s\n", "what", "med us", "p99 us", "us/proc",
               "user us", "sys us", "procs", "matches");
        Row("floor: readdir of /proc", Measure(scans, ListOnly));
        Row("floor: readdir + readlinkat exe", Measure(scans, ListAndReadlink));
        Row("proc_scan, one binary program",
            Measure(scans, [&] { return scan(std::vector<proc_program_t>{sought[0]}); }));
        Row("proc_scan, a binary and a script program",
            Measure(scans, [&] { return scan(sought); }));
        Row("proc_scan, every filler matching (confirm)",
            Measure(scans, [&] { return scan(fill); }));

        children.StopAll();
        int left = scan(sought).second != 0 || scan(fill).second != 0;
        if (left) {
            fprintf(stderr, "proc_scan_bench: processes were left running\n");
            status = 1;
        }
    }
    return status;
}

int main(int argc, char **argv) {
    try {
        return Run(argc, argv);
    } catch (const std::exception &e) {
        fprintf(stderr, "proc_scan_bench: %s\n", e.what());
        return 1;
    }
}
