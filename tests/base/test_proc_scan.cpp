// The /proc scan that finds the processes running a product's program:
// against real processes this test starts (copies of sleep, shell scripts,
// a binary deleted while it runs, a zombie), and against a made-up /proc
// directory whose exe links, arguments and status say what a case needs
// (odd arguments, long Groups lines, zombies, entries that are no process).
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <limits.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "base/proc_scan.h"
#include "support/process_log.h"
#include "support/temp_root.h"

using vk_test::ReadFile;
using vk_test::TempRoot;
using vk_test::WriteFile;

namespace {

const size_t kAll = static_cast<size_t>(-1);

std::string RealPath(const std::string &path) {
    char buf[PATH_MAX];
    return realpath(path.c_str(), buf) ? std::string(buf) : std::string();
}

std::string ReadLink(const std::string &path) {
    char buf[PATH_MAX];
    ssize_t n = readlink(path.c_str(), buf, sizeof(buf));
    return n < 0 ? std::string() : std::string(buf, static_cast<size_t>(n));
}

void CopyExecutable(const std::string &from, const std::string &to) {
    WriteFile(to, ReadFile(from));
    ASSERT_EQ(chmod(to.c_str(), 0755), 0) << to;
}

int64_t NowMs() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// Polls `cond` every 5 ms until it holds or 10 s have passed.
bool Eventually(const std::function<bool()> &cond) {
    int64_t deadline = NowMs() + 10000;
    while (!cond()) {
        if (NowMs() > deadline) return false;
        struct timespec ts = {0, 5000000};
        nanosleep(&ts, nullptr);
    }
    return true;
}

// The process's state letter from /proc/<pid>/stat ('?' when unreadable).
char StateOf(pid_t pid) {
    std::string stat = ReadFile("/proc/" + std::to_string(pid) + "/stat");
    size_t paren = stat.rfind(')');
    return paren == std::string::npos || paren + 2 >= stat.size() ? '?' : stat[paren + 2];
}

const proc_match_t *Find(const std::vector<proc_match_t> &found, int pid) {
    for (const proc_match_t &m : found)
        if (m.pid == pid) return &m;
    return nullptr;
}

// One scan of the real /proc; fails the test on a scan error.
std::vector<proc_match_t> ScanOnce(const std::vector<proc_program_t> &programs) {
    std::vector<proc_match_t> found;
    std::string error;
    int n = proc_scan("/proc", programs, found, kAll, error);
    EXPECT_GT(n, 0) << error;
    return found;
}

// Scans until `pid` is among the matches (the child must have exec'd first).
std::optional<proc_match_t> WaitForMatch(const std::vector<proc_program_t> &programs, int pid) {
    std::optional<proc_match_t> hit;
    Eventually([&] {
        std::vector<proc_match_t> found = ScanOnce(programs);
        if (const proc_match_t *m = Find(found, pid)) hit = *m;
        return hit.has_value();
    });
    return hit;
}

proc_program_t Resolve(const std::string &exec) {
    proc_program_t p;
    std::string error;
    EXPECT_EQ(proc_resolve_program(exec, p, error), 0) << exec << ": " << error;
    return p;
}

std::vector<gid_t> OwnGroups() {
    std::vector<gid_t> groups(static_cast<size_t>(getgroups(0, nullptr)));
    groups.resize(static_cast<size_t>(getgroups(static_cast<int>(groups.size()), groups.data())));
    std::sort(groups.begin(), groups.end());
    return groups;
}

// Owns a temporary directory and every process it starts: each child leads
// a process group of its own (a script's shell and its sleep), and TearDown
// kills that group and reaps the child by its pid.
class ProcScanLive : public ::testing::Test {
protected:
    void TearDown() override {
        for (pid_t pid : m_children) {
            kill(-pid, SIGKILL);
            kill(pid, SIGKILL);
            int status;
            while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
            }
        }
    }

    // Starts `argv` (argv[0] is also the file run, as execv takes it) in
    // `dir` ("" for here).
    pid_t Start(const std::vector<std::string> &argv, const std::string &dir = "") {
        std::vector<char *> args;
        for (const std::string &a : argv) args.push_back(const_cast<char *>(a.c_str()));
        args.push_back(nullptr);
        pid_t pid = fork();
        if (pid == 0) {
            setpgid(0, 0);
            prctl(PR_SET_PDEATHSIG, SIGKILL);
            int null = open("/dev/null", O_RDWR);
            if (null >= 0) {
                dup2(null, 0);
                dup2(null, 1);
                dup2(null, 2);
            }
            if (!dir.empty() && chdir(dir.c_str()) != 0) _exit(126);
            execv(args[0], args.data());
            _exit(127);
        }
        EXPECT_GT(pid, 0);
        if (pid > 0) {
            setpgid(pid, pid);  // either side may get there first
            m_children.push_back(pid);
        }
        return pid;
    }

    // Waits until the child runs something other than this test program.
    void WaitExec(pid_t pid) {
        std::string self = ReadLink("/proc/self/exe");
        std::string exe = "/proc/" + std::to_string(pid) + "/exe";
        ASSERT_TRUE(Eventually([&] {
            std::string now = ReadLink(exe);
            return !now.empty() && now != self;
        })) << "child "
            << pid << " did not exec";
    }

    // A copy of sleep under the temporary directory.
    std::string Sleeper(const std::string &name) {
        std::string path = RealPath(m_root.path()) + "/" + name;
        CopyExecutable("/bin/sleep", path);
        return path;
    }

    TempRoot m_root;
    std::vector<pid_t> m_children;
};

TEST_F(ProcScanLive, FindsACopyOfSleepWithItsIds) {
    std::string avd = Sleeper("avd");
    pid_t pid = Start({avd, "300"});
    std::vector<proc_program_t> programs = {Resolve(avd)};
    ASSERT_FALSE(programs[0].script);

    std::optional<proc_match_t> m = WaitForMatch(programs, pid);
    ASSERT_TRUE(m) << "pid " << pid << " not found";
    EXPECT_EQ(m->program, 0u);
    EXPECT_EQ(m->uid, geteuid());
    EXPECT_EQ(m->gid, getegid());
    std::vector<gid_t> groups = m->groups;
    std::sort(groups.begin(), groups.end());
    EXPECT_EQ(groups, OwnGroups());
    EXPECT_EQ(m->exe, avd);
    EXPECT_EQ(proc_euid("/proc", pid), static_cast<long>(geteuid()));
}

TEST_F(ProcScanLive, ProgramGivenThroughSymlinksIsFound) {
    std::string avd = Sleeper("avd");
    std::string dir = RealPath(m_root.path());
    ASSERT_EQ(symlink(avd.c_str(), (dir + "/link1").c_str()), 0);
    ASSERT_EQ(symlink("link1", (dir + "/link2").c_str()), 0);
    ASSERT_EQ(symlink(dir.c_str(), (dir + "/dirlink").c_str()), 0);
    pid_t pid = Start({dir + "/link2", "300"});  // started through the links as well

    for (const std::string &exec : {dir + "/link2", dir + "/dirlink/link1", dir + "/./avd"}) {
        proc_program_t p = Resolve(exec);
        EXPECT_EQ(p.path, avd) << exec;
        std::optional<proc_match_t> m = WaitForMatch({p}, pid);
        ASSERT_TRUE(m) << exec;
        EXPECT_EQ(m->exe, avd);
    }
}

TEST_F(ProcScanLive, AnotherProgramIsNotMatched) {
    std::string avd = Sleeper("avd"), other = Sleeper("other");
    pid_t mine = Start({avd, "300"});
    pid_t theirs = Start({other, "300"});
    WaitExec(theirs);
    std::vector<proc_program_t> programs = {Resolve(avd)};
    ASSERT_TRUE(WaitForMatch(programs, mine));
    std::vector<proc_match_t> found = ScanOnce(programs);
    EXPECT_TRUE(Find(found, mine));
    EXPECT_FALSE(Find(found, theirs));
    for (const proc_match_t &m : found) EXPECT_EQ(m.exe, avd) << "pid " << m.pid;

    // With both programs given, each process names its own.
    programs = {Resolve(other), Resolve(avd)};
    std::optional<proc_match_t> a = WaitForMatch(programs, mine);
    std::optional<proc_match_t> b = WaitForMatch(programs, theirs);
    ASSERT_TRUE(a && b);
    EXPECT_EQ(a->program, 1u);
    EXPECT_EQ(b->program, 0u);
}

TEST_F(ProcScanLive, ProgramListedTwiceIsReportedOnce) {
    std::string avd = Sleeper("avd");
    pid_t pid = Start({avd, "300"});
    std::vector<proc_program_t> programs = {Resolve(avd), Resolve(avd)};
    ASSERT_TRUE(WaitForMatch(programs, pid));
    std::vector<proc_match_t> found = ScanOnce(programs);
    EXPECT_EQ(std::count_if(found.begin(), found.end(),
                            [&](const proc_match_t &m) { return m.pid == pid; }),
              1);
    EXPECT_EQ(Find(found, pid)->program, 0u);
}

TEST_F(ProcScanLive, BinaryDeletedOrReplacedWhileRunningIsStillFound) {
    std::string avd = Sleeper("avd");
    pid_t pid = Start({avd, "300"});
    WaitExec(pid);
    proc_program_t before = Resolve(avd);
    ASSERT_EQ(unlink(avd.c_str()), 0);

    // Removed: the program as it was resolved before.
    std::optional<proc_match_t> m = WaitForMatch({before}, pid);
    ASSERT_TRUE(m);
    EXPECT_EQ(m->exe, avd + " (deleted)");

    // Upgraded in place: a new file at the same path, resolved anew.
    CopyExecutable("/bin/sleep", avd + ".new");
    ASSERT_EQ(rename((avd + ".new").c_str(), avd.c_str()), 0);
    m = WaitForMatch({Resolve(avd)}, pid);
    ASSERT_TRUE(m);
    EXPECT_EQ(m->exe, avd + " (deleted)");
}

// How a script is started: the file run, its arguments, the directory.
struct ScriptStart {
    const char *label;
    // argv with "@" standing for the script's absolute path; "@dir" runs it
    // from the script's directory.
    std::vector<std::string> argv;
    bool in_dir;
    // Found: the script's path is where its interpreter takes it (argv[1]
    // for "#!/bin/sh").
    bool want = true;
};

void PrintTo(const ScriptStart &s, std::ostream *os) {
    *os << s.label;
}

class ProcScanScript : public ProcScanLive, public ::testing::WithParamInterface<ScriptStart> {};

TEST_P(ProcScanScript, FoundThroughTheInterpretersArgument) {
    const ScriptStart &c = GetParam();
    std::string dir = RealPath(m_root.path()) + "/opt av";  // a space in the path
    ASSERT_EQ(mkdir(dir.c_str(), 0755), 0);
    std::string script = dir + "/s.sh";
    // sleep in the foreground, then one more command: the shell stays.
    WriteFile(script, "#!/bin/sh\nsleep 300\nexit 0\n");
    ASSERT_EQ(chmod(script.c_str(), 0755), 0);
    proc_program_t program = Resolve(script);
    ASSERT_TRUE(program.script);
    EXPECT_EQ(program.path, script);

    std::vector<std::string> argv;
    for (const std::string &a : c.argv) argv.push_back(a == "@" ? script : a);
    pid_t pid = Start(argv, c.in_dir ? dir : "");
    // A binary program listed first, so the index says which one matched.
    std::vector<proc_program_t> programs = {Resolve("/bin/sleep"), program};
    if (!c.want) {
        // Once the shell runs, it never matches.
        WaitExec(pid);
        std::string sh = RealPath("/bin/sh");
        ASSERT_TRUE(
            Eventually([&] { return ReadLink("/proc/" + std::to_string(pid) + "/exe") == sh; }));
        EXPECT_FALSE(Find(ScanOnce(programs), pid));
        return;
    }
    std::optional<proc_match_t> m = WaitForMatch(programs, pid);
    ASSERT_TRUE(m) << "pid " << pid << " not found";
    EXPECT_EQ(m->program, 1u);
    EXPECT_EQ(m->exe, RealPath("/bin/sh"));
    EXPECT_EQ(m->uid, geteuid());
    EXPECT_EQ(m->gid, getegid());

    // The same scan without the script program: the shell is no match.
    std::vector<proc_match_t> found = ScanOnce({programs[0]});
    EXPECT_FALSE(Find(found, pid));
}

INSTANTIATE_TEST_SUITE_P(
    Starts, ProcScanScript,
    ::testing::Values(ScriptStart{"by absolute path", {"@"}, false},
                      ScriptStart{"cd dir && ./s.sh", {"./s.sh"}, true},
                      ScriptStart{"sh s.sh in its dir", {"/bin/sh", "s.sh"}, true},
                      ScriptStart{"sh -e s.sh in its dir", {"/bin/sh", "-e", "s.sh"}, true, false},
                      ScriptStart{"sh -e -x /abs/s.sh", {"/bin/sh", "-e", "-x", "@"}, false, false},
                      ScriptStart{"sh ./../opt av/s.sh", {"/bin/sh", "./../opt av/s.sh"}, true}),
    [](const ::testing::TestParamInfo<ScriptStart> &info) {
        return vk_test::ParamName(info.param.label);
    });

TEST_F(ProcScanLive, ZombieDoesNotMatch) {
    // A child of this very program that exits without being reaped: before it
    // exited it ran what this test runs.
    pid_t pid = fork();
    if (pid == 0) _exit(0);
    ASSERT_GT(pid, 0);
    m_children.push_back(pid);
    ASSERT_TRUE(Eventually([&] { return StateOf(pid) == 'Z'; }));

    std::vector<proc_program_t> programs = {Resolve(ReadLink("/proc/self/exe"))};
    std::vector<proc_match_t> found = ScanOnce(programs);
    EXPECT_TRUE(Find(found, getpid())) << "this program itself runs it";
    EXPECT_FALSE(Find(found, pid)) << "the zombie";
    EXPECT_EQ(proc_euid("/proc", pid), -1);
}

TEST(ProcScanEuid, OwnPidAndPidsThatDoNotExist) {
    EXPECT_EQ(proc_euid("/proc", getpid()), static_cast<long>(geteuid()));
    long pid_max = atol(ReadFile("/proc/sys/kernel/pid_max").c_str());
    ASSERT_GT(pid_max, 0);
    for (long pid : {0L, -1L, pid_max, static_cast<long>(INT_MAX)})
        EXPECT_EQ(proc_euid("/proc", static_cast<int>(pid)), -1) << pid;
    EXPECT_EQ(proc_euid("/nonexistent-proc", getpid()), -1);
}

TEST(ProcScanBound, MaxProcsBoundsTheDirectoriesExamined) {
    std::vector<proc_program_t> programs = {Resolve(ReadLink("/proc/self/exe"))};
    std::vector<proc_match_t> found;
    std::string error;
    int all = proc_scan("/proc", programs, found, kAll, error);
    ASSERT_GT(all, 3) << error;
    EXPECT_TRUE(Find(found, getpid()));
    for (size_t max : {size_t{0}, size_t{1}, size_t{3}}) {
        found.clear();
        EXPECT_EQ(proc_scan("/proc", programs, found, max, error), static_cast<int>(max));
    }
    // The lowest pid comes first in /proc: with one directory examined,
    // this process is not reached.
    found.clear();
    ASSERT_EQ(proc_scan("/proc", programs, found, 1, error), 1);
    if (getpid() != 1) {
        EXPECT_FALSE(Find(found, getpid()));
    }
}

TEST(ProcScanBound, UnreadableProcDirectoryIsAnError) {
    std::vector<proc_match_t> found;
    std::string error;
    EXPECT_EQ(proc_scan("/nonexistent-proc", {}, found, kAll, error), -1);
    EXPECT_EQ(error, "opendir /nonexistent-proc: No such file or directory");
}

// ---------------------------------------------------------------------------
// proc_resolve_program

struct ResolveCase {
    const char *label;
    // Prepares the case under `dir` and gives the path to resolve.
    std::function<std::string(const std::string &dir)> setup;
    const char *error;     // nullptr: resolved
    const char *resolved;  // expected path under dir ("" when error)
    bool script;
};

void PrintTo(const ResolveCase &c, std::ostream *os) {
    *os << c.label;
}

class ProcScanResolve : public ::testing::TestWithParam<ResolveCase> {};

TEST_P(ProcScanResolve, Case) {
    const ResolveCase &c = GetParam();
    TempRoot root;
    std::string dir = RealPath(root.path());
    std::string exec = c.setup(dir);
    proc_program_t out;
    out.path = "untouched";
    std::string error;
    int rc = proc_resolve_program(exec, out, error);
    if (c.error) {
        EXPECT_EQ(rc, -1);
        EXPECT_EQ(error, c.error);
        EXPECT_EQ(out.path, "untouched");
    } else {
        EXPECT_EQ(rc, 0) << error;
        EXPECT_EQ(out.path, dir + c.resolved);
        EXPECT_EQ(out.script, c.script);
    }
}

std::string File(const std::string &path, const std::string &content) {
    WriteFile(path, content);
    chmod(path.c_str(), 0755);
    return path;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ProcScanResolve,
    ::testing::Values(
        ResolveCase{"relative path", [](const std::string &) { return std::string("bin/avd"); },
                    "not an absolute path", "", false},
        ResolveCase{"dot relative path",
                    [](const std::string &d) {
                        File(d + "/avd", "\x7f"
                                         "ELF");
                        return std::string("./avd");
                    },
                    "not an absolute path", "", false},
        ResolveCase{"empty", [](const std::string &) { return std::string(); },
                    "not an absolute path", "", false},
        ResolveCase{"missing file", [](const std::string &d) { return d + "/nothing"; },
                    "realpath: No such file or directory", "", false},
        ResolveCase{"missing directory", [](const std::string &d) { return d + "/no/avd"; },
                    "realpath: No such file or directory", "", false},
        ResolveCase{"file as a directory",
                    [](const std::string &d) { return File(d + "/f", "x") + "/avd"; },
                    "realpath: Not a directory", "", false},
        ResolveCase{"directory",
                    [](const std::string &d) {
                        mkdir((d + "/sub").c_str(), 0755);
                        return d + "/sub";
                    },
                    "stat: Is a directory", "", false},
        ResolveCase{"FIFO (opening it would block)",
                    [](const std::string &d) {
                        mkfifo((d + "/fifo").c_str(), 0644);
                        return d + "/fifo";
                    },
                    "stat: not a regular file", "", false},
        ResolveCase{"device", [](const std::string &) { return std::string("/dev/null"); },
                    "stat: not a regular file", "", false},
        ResolveCase{"binary",
                    [](const std::string &d) {
                        return File(d + "/avd", std::string("\x7f"
                                                            "ELF\0\0",
                                                            6));
                    },
                    nullptr, "/avd", false},
        ResolveCase{"script", [](const std::string &d) { return File(d + "/s", "#!/bin/sh\n"); },
                    nullptr, "/s", true},
        ResolveCase{"script with a space", [](const std::string &d) { return File(d + "/s", "#! /bin/sh\n"); },
                    nullptr, "/s", true},
        ResolveCase{"one byte '#'", [](const std::string &d) { return File(d + "/s", "#"); },
                    nullptr, "/s", false},
        ResolveCase{"'!#' reversed", [](const std::string &d) { return File(d + "/s", "!#/bin/sh"); },
                    nullptr, "/s", false},
        ResolveCase{"empty file", [](const std::string &d) { return File(d + "/s", ""); }, nullptr,
                    "/s", false},
        ResolveCase{"symlink chain to a script",
                    [](const std::string &d) {
                        File(d + "/real.sh", "#!/bin/sh\n");
                        mkdir((d + "/bin").c_str(), 0755);
                        symlink("../real.sh", (d + "/bin/a").c_str());
                        symlink("a", (d + "/bin/b").c_str());
                        symlink((d + "/bin/b").c_str(), (d + "/c").c_str());
                        return d + "/c";
                    },
                    nullptr, "/real.sh", true},
        ResolveCase{"through a symlinked directory and dot-dot",
                    [](const std::string &d) {
                        mkdir((d + "/opt").c_str(), 0755);
                        File(d + "/opt/avd", "ELF");
                        symlink("opt", (d + "/optlink").c_str());
                        return d + "/optlink/../opt/./avd";
                    },
                    nullptr, "/opt/avd", false},
        ResolveCase{"dangling symlink",
                    [](const std::string &d) {
                        symlink("gone", (d + "/l").c_str());
                        return d + "/l";
                    },
                    "realpath: No such file or directory", "", false},
        ResolveCase{"symlink loop",
                    [](const std::string &d) {
                        symlink("l2", (d + "/l1").c_str());
                        symlink("l1", (d + "/l2").c_str());
                        return d + "/l1";
                    },
                    "realpath: Too many levels of symbolic links", "", false},
        ResolveCase{"symlink to a directory",
                    [](const std::string &d) {
                        symlink("/", (d + "/root").c_str());
                        return d + "/root";
                    },
                    "stat: Is a directory", "", false}),
    [](const ::testing::TestParamInfo<ResolveCase> &info) {
        return vk_test::ParamName(info.param.label);
    });

// A script's "#!" line: the interpreter a process of the script runs, and
// the arguments before the script's path.
struct ShebangCase {
    const char *label;
    std::string text;         // the file's content
    const char *interpreter;  // as named, resolved by the test; "" none
    std::vector<std::string> args;
};

void PrintTo(const ShebangCase &c, std::ostream *os) {
    *os << c.label;
}

class ProcScanShebang : public ::testing::TestWithParam<ShebangCase> {};

TEST_P(ProcScanShebang, Case) {
    const ShebangCase &c = GetParam();
    TempRoot root;
    std::string dir = RealPath(root.path());
    WriteFile(dir + "/s", c.text);
    ASSERT_EQ(chmod((dir + "/s").c_str(), 0755), 0);
    proc_program_t out = Resolve(dir + "/s");
    EXPECT_TRUE(out.script);
    const std::string want = *c.interpreter ? RealPath(c.interpreter) : "";
    ASSERT_TRUE(!*c.interpreter || !want.empty()) << c.interpreter << " is not on this system";
    EXPECT_EQ(out.interpreter, want);
    EXPECT_EQ(out.interpreter_args, c.args);
}

INSTANTIATE_TEST_SUITE_P(
    Lines, ProcScanShebang,
    ::testing::Values(
        ShebangCase{"plain", "#!/bin/sh\necho\n", "/bin/sh", {}},
        ShebangCase{"blank after #!", "#! \t/bin/sh\n", "/bin/sh", {}},
        ShebangCase{"one argument", "#!/bin/sh -e\n", "/bin/sh", {"-e"}},
        ShebangCase{"the rest of the line is one argument, trimmed",
                    "#!/bin/sh  -e -x \t\n",
                    "/bin/sh",
                    {"-e -x"}},
        ShebangCase{"no line feed: the whole file", "#!/bin/sh", "/bin/sh", {}},
        ShebangCase{"env NAME, on a fixed PATH", "#!/usr/bin/env sh\n", "/bin/sh", {}},
        ShebangCase{"env with an absolute NAME", "#!/usr/bin/env /bin/sh\n", "/bin/sh", {}},
        ShebangCase{"env -S splits", "#!/usr/bin/env -S sh -e  -x\n", "/bin/sh", {"-e", "-x"}},
        ShebangCase{"env NAME ARG: env cannot run it", "#!/usr/bin/env sh -e\n", "", {}},
        ShebangCase{"env alone", "#!/usr/bin/env\n", "", {}},
        ShebangCase{"env with another option", "#!/usr/bin/env -i sh\n", "", {}},
        ShebangCase{"env setting a variable", "#!/usr/bin/env -S A=1 sh\n", "", {}},
        ShebangCase{"env -S with quotes", "#!/usr/bin/env -S sh -c 'x'\n", "", {}},
        ShebangCase{"env NAME not found", "#!/usr/bin/env no-such-interpreter-4242\n", "", {}},
        ShebangCase{"env relative NAME with a slash", "#!/usr/bin/env bin/sh\n", "", {}},
        ShebangCase{"relative interpreter", "#!sh\n", "", {}},
        ShebangCase{"missing interpreter", "#!/nonexistent/sh\n", "", {}},
        ShebangCase{"interpreter not a regular file", "#!/dev/null\n", "", {}},
        ShebangCase{"interpreter not executable", "#!/etc/passwd\n", "", {}},
        ShebangCase{"empty line", "#!\n/bin/sh\n", "", {}},
        ShebangCase{"NUL in the line", std::string("#!/bin/sh\0-e\n", 13), "", {}},
        ShebangCase{"line longer than the kernel reads",
                    "#!/bin/sh " + std::string(300, 'x') + "\n",
                    "",
                    {}}),
    [](const ::testing::TestParamInfo<ShebangCase> &info) {
        return vk_test::ParamName(info.param.label);
    });

// ---------------------------------------------------------------------------
// A made-up /proc: each case writes one process directory "4242" (exe link,
// cmdline, status, cwd) beside entries that are no process. The scripts'
// interpreter is a file of the temporary directory, "@/bin/sh".

const char *const kSh = "@/bin/sh";
const char *const kNoFile = "\x01";

const char *const kStatus =
    "Name:\tsh\nUmask:\t0022\nState:\tS (sleeping)\nTgid:\t4242\nPid:\t4242\n"
    "Uid:\t1000\t2000\t1000\t2000\nGid:\t100\t300\t100\t300\nFDSize:\t64\n"
    "Groups:\t4 24 27 \nVmRSS:\t  1000 kB\n";

struct FakeCase {
    const char *label;
    const char *exe;      // the exe link's text ("" for none: a kernel thread)
    std::string cmdline;  // kNoFile for none
    std::string status;
    bool want;           // found
    size_t program = 0;  // which one, when found
    uid_t uid = 2000;
    gid_t gid = 300;
    std::vector<gid_t> groups = {4, 24, 27};
    uid_t ruid = 1000, suid = 1000;
    gid_t rgid = 100, sgid = 100;
};

void PrintTo(const FakeCase &c, std::ostream *os) {
    *os << c.label;
}

class ProcScanFake : public ::testing::TestWithParam<FakeCase> {
protected:
    void SetUp() override {
        m_dir = RealPath(m_root.path());
        m_proc = m_dir + "/proc";
        ASSERT_EQ(mkdir(m_proc.c_str(), 0755), 0);
        // Entries that are no process: skipped, not counted.
        for (const char *name : {"self", "12a", "0", "007", ".hidden", "99999999999"})
            ASSERT_EQ(mkdir((m_proc + "/" + name).c_str(), 0755), 0) << name;
        WriteFile(m_proc + "/77", "a regular file");
        // A process that went away between readdir and the look at it, and a
        // kernel thread: directories without exe.
        ASSERT_EQ(mkdir((m_proc + "/1").c_str(), 0755), 0);
        ASSERT_EQ(mkdir((m_proc + "/2").c_str(), 0755), 0);
        WriteFile(m_proc + "/2/status", kStatus);
        // The products: a binary and a script.
        ASSERT_EQ(mkdir((m_dir + "/opt").c_str(), 0755), 0);
        File(m_dir + "/opt/avd", "ELF");
        ASSERT_EQ(mkdir((m_dir + "/bin").c_str(), 0755), 0);
        File(m_dir + "/bin/sh", "ELF");
        File(m_dir + "/opt/s.sh", "#!" + m_dir + "/bin/sh\n");
        File(m_dir + "/opt/e.sh", "#!" + m_dir + "/bin/sh -e\n");
        m_programs = {Resolve(m_dir + "/opt/avd"), Resolve(m_dir + "/opt/s.sh"),
                      Resolve(m_dir + "/opt/e.sh")};
        ASSERT_EQ(symlink("opt", (m_dir + "/optlink").c_str()), 0);
        ASSERT_EQ(link((m_dir + "/opt/s.sh").c_str(), (m_dir + "/hard.sh").c_str()), 0);
    }

    // The process directory as a case wants it.
    void Make(const FakeCase &c) {
        std::string p = m_proc + "/4242";
        ASSERT_EQ(mkdir(p.c_str(), 0755), 0);
        if (*c.exe) {
            ASSERT_EQ(symlink(Expand(c.exe).c_str(), (p + "/exe").c_str()), 0);
        }
        if (c.cmdline != kNoFile) WriteFile(p + "/cmdline", Expand(c.cmdline));
        WriteFile(p + "/status", c.status);
        ASSERT_EQ(symlink((m_dir + "/opt").c_str(), (p + "/cwd").c_str()), 0);
    }

    // "@" at the start of a text, or of an argument in it, stands for the
    // temporary directory.
    std::string Expand(const std::string &s) const {
        std::string out;
        for (size_t i = 0; i < s.size(); ++i) {
            if (s[i] == '@' && (i == 0 || s[i - 1] == '\0')) {
                out += m_dir;
            } else {
                out += s[i];
            }
        }
        return out;
    }

    TempRoot m_root;
    std::string m_dir, m_proc;
    std::vector<proc_program_t> m_programs;
};

TEST_P(ProcScanFake, Case) {
    const FakeCase &c = GetParam();
    Make(c);
    std::vector<proc_match_t> found;
    std::string error;
    EXPECT_EQ(proc_scan(m_proc.c_str(), m_programs, found, kAll, error), 3) << error;
    ASSERT_EQ(found.size(), c.want ? 1u : 0u);
    if (c.want) {
        EXPECT_EQ(found[0].pid, 4242);
        EXPECT_EQ(found[0].program, c.program);
        EXPECT_EQ(found[0].uid, c.uid);
        EXPECT_EQ(found[0].gid, c.gid);
        EXPECT_EQ(found[0].ruid, c.ruid);
        EXPECT_EQ(found[0].suid, c.suid);
        EXPECT_EQ(found[0].rgid, c.rgid);
        EXPECT_EQ(found[0].sgid, c.sgid);
        EXPECT_EQ(found[0].groups, c.groups);
        EXPECT_EQ(found[0].exe, Expand(c.exe));
    }
}

std::string Args(std::initializer_list<std::string> args) {
    std::string out;
    for (const std::string &a : args) out += a + '\0';
    return out;
}

std::string StatusWith(const std::string &from, const std::string &to) {
    std::string s = kStatus;
    size_t at = s.find(from);
    return at == std::string::npos ? s : s.replace(at, from.size(), to);
}

std::string ManyGroups(size_t n) {
    std::string line = "Groups:\t";
    for (size_t i = 0; i < n; ++i) line += std::to_string(4000000000u + i) + ' ';
    return StatusWith("Groups:\t4 24 27 ", line);
}

std::vector<gid_t> ManyGroupIds(size_t n) {
    std::vector<gid_t> out;
    for (size_t i = 0; i < n; ++i) out.push_back(static_cast<gid_t>(4000000000u + i));
    return out;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ProcScanFake,
    ::testing::Values(
        // The binary, by its exe link.
        FakeCase{"exe names the binary", "@/opt/avd", kNoFile, kStatus, true, 0},
        FakeCase{"binary deleted or replaced", "@/opt/avd (deleted)", kNoFile, kStatus, true, 0},
        FakeCase{"deleted without its space", "@/opt/avd(deleted)", kNoFile, kStatus, false},
        FakeCase{"deleted twice", "@/opt/avd (deleted) (deleted)", kNoFile, kStatus, false},
        FakeCase{"a longer name", "@/opt/avdx", kNoFile, kStatus, false},
        FakeCase{"a shorter name", "@/opt/av", kNoFile, kStatus, false},
        FakeCase{"relative link text", "opt/avd", kNoFile, kStatus, false},
        FakeCase{"no exe: kernel thread or gone", "", Args({"@/opt/s.sh"}), kStatus, false},
        FakeCase{"exe match wins over the argument", "@/opt/avd", Args({"avd", "s.sh"}), kStatus,
                 true, 0},
        // Status of a match.
        FakeCase{"zombie", "@/opt/avd", kNoFile, StatusWith("S (sleeping)", "Z (zombie)"), false},
        FakeCase{"dead", "@/opt/avd", kNoFile, StatusWith("S (sleeping)", "X (dead)"), false},
        FakeCase{"no Uid line", "@/opt/avd", kNoFile, StatusWith("Uid:", "Xid:"), false},
        FakeCase{"no State line", "@/opt/avd", kNoFile, StatusWith("State:", "Stale:"), false},
        FakeCase{"Groups before Uid and Gid",
                 "@/opt/avd",
                 kNoFile,
                 "State:\tS (sleeping)\nGroups:\t5 6\nUid:\t1 2 3 4\nGid:\t7 8 9 10\n",
                 true,
                 0,
                 2,
                 8,
                 {5, 6},
                 1,
                 3,
                 7,
                 9},
        FakeCase{"a long key before ours", "@/opt/avd", kNoFile,
                 std::string("Speculation_Store_Bypass:\tthread vulnerable\n") + kStatus, true, 0},
        FakeCase{"no Gid line", "@/opt/avd", kNoFile, StatusWith("Gid:", "Xid:"), false},
        FakeCase{"empty status", "@/opt/avd", kNoFile, "", false},
        FakeCase{"no Groups line",
                 "@/opt/avd",
                 kNoFile,
                 StatusWith("Groups:", "Grumps:"),
                 true,
                 0,
                 2000,
                 300,
                 {}},
        FakeCase{"empty Groups line",
                 "@/opt/avd",
                 kNoFile,
                 StatusWith("4 24 27 ", ""),
                 true,
                 0,
                 2000,
                 300,
                 {}},
        FakeCase{"root",
                 "@/opt/avd",
                 kNoFile,
                 StatusWith("Uid:\t1000\t2000", "Uid:\t0\t0"),
                 true,
                 0,
                 0,
                 300,
                 {4, 24, 27},
                 0,
                 1000},
        FakeCase{"no saved uid", "@/opt/avd", kNoFile,
                 StatusWith("Uid:\t1000\t2000\t1000\t2000", "Uid:\t1000\t2000"), false},
        FakeCase{"saved gid out of range", "@/opt/avd", kNoFile,
                 StatusWith("Gid:\t100\t300\t100", "Gid:\t100\t300\t99999999999"), false},
        FakeCase{"65536 groups, a line longer than any buffer", "@/opt/avd", kNoFile,
                 ManyGroups(65536), true, 0, 2000, 300, ManyGroupIds(65536)},
        FakeCase{"id out of range ignored",
                 "@/opt/avd",
                 kNoFile,
                 StatusWith("4 24 27 ", "4 99999999999 27"),
                 true,
                 0,
                 2000,
                 300,
                 {4, 27}},
        // The script: its interpreter, with its path where the interpreter
        // takes it (argv[1] for s.sh, argv[2] after "-e" for e.sh).
        FakeCase{"sh /abs/s.sh", kSh, Args({"sh", "@/opt/s.sh"}), kStatus, true, 1},
        FakeCase{"sh s.sh relative to cwd", kSh, Args({"sh", "s.sh"}), kStatus, true, 1},
        FakeCase{"sh ./s.sh", kSh, Args({"sh", "./s.sh"}), kStatus, true, 1},
        FakeCase{"sh ../opt/s.sh", kSh, Args({"sh", "../opt/s.sh"}), kStatus, true, 1},
        FakeCase{"interpreter replaced on disk", "@/bin/sh (deleted)", Args({"sh", "s.sh"}),
                 kStatus, true, 1},
        FakeCase{"sh -e s.sh: not where sh takes s.sh", kSh, Args({"sh", "-e", "s.sh"}), kStatus,
                 false},
        FakeCase{"sh -e -x -- s.sh", kSh, Args({"sh", "-e", "-x", "--", "s.sh"}), kStatus, false},
        FakeCase{"sh -e e.sh, as its line says", kSh, Args({"/bin/sh", "-e", "@/opt/e.sh"}),
                 kStatus, true, 2},
        FakeCase{"sh e.sh without its line's argument", kSh, Args({"sh", "e.sh"}), kStatus, false},
        FakeCase{"sh -x e.sh, another argument", kSh, Args({"sh", "-x", "e.sh"}), kStatus, false},
        FakeCase{"sh -e -x e.sh", kSh, Args({"sh", "-e", "-x", "e.sh"}), kStatus, false},
        FakeCase{"last argument without its NUL", kSh, std::string("sh\0s.sh", 7), kStatus, true,
                 1},
        FakeCase{"script arguments after it", kSh, Args({"sh", "s.sh", "a", "-b"}), kStatus, true,
                 1},
        FakeCase{"another script first", kSh, Args({"sh", "other.sh", "s.sh"}), kStatus, false},
        FakeCase{"-c command", kSh, Args({"sh", "-c", "sleep 1", "s.sh"}), kStatus, false},
        FakeCase{"-c s.sh", kSh, Args({"sh", "-c", "s.sh"}), kStatus, false},
        FakeCase{"empty first argument", kSh, Args({"sh", "", "s.sh"}), kStatus, false},
        FakeCase{"argv[0] only", kSh, Args({"s.sh"}), kStatus, false},
        FakeCase{"argv[0] only, no NUL", kSh, "sh", kStatus, false},
        FakeCase{"empty cmdline", kSh, "", kStatus, false},
        FakeCase{"no cmdline file", kSh, kNoFile, kStatus, false},
        FakeCase{"only NULs", kSh, std::string(5000, '\0'), kStatus, false},
        FakeCase{"argument longer than PATH_MAX", kSh,
                 Args({"sh", std::string(PATH_MAX + 10, 'a')}), kStatus, false},
        FakeCase{"script past the bytes looked at", kSh, Args({std::string(70000, 's'), "s.sh"}),
                 kStatus, false},
        FakeCase{"long argv[0] within the bytes looked at", kSh,
                 Args({std::string(20000, 's'), "s.sh"}), kStatus, true, 1},
        // Arguments are taken as text: no link followed, no file looked at.
        FakeCase{"script named with symlinks", kSh, Args({"sh", "@/optlink/s.sh"}), kStatus, false},
        FakeCase{"sh with doubled slashes and dots", kSh, Args({"sh", "@//opt/./x/../s.sh"}),
                 kStatus, true, 1},
        FakeCase{"hard link of the script elsewhere", kSh, Args({"sh", "@/hard.sh"}), kStatus,
                 false},
        FakeCase{"the binary as an argument does not count", kSh, Args({"sh", "@/opt/avd"}),
                 kStatus, false},
        // Another program given the script's path is no process of it.
        FakeCase{"cat s.sh", "/usr/bin/cat", Args({"cat", "s.sh"}), kStatus, false},
        FakeCase{"another shell", "@/bin/bash", Args({"bash", "s.sh"}), kStatus, false},
        FakeCase{"su -c s.sh", "/usr/bin/su", Args({"su", "-c", "@/opt/s.sh"}), kStatus, false},
        FakeCase{"zombie interpreter", kSh, Args({"sh", "s.sh"}),
                 StatusWith("S (sleeping)", "Z (zombie)"), false}),
    [](const ::testing::TestParamInfo<FakeCase> &info) {
        return vk_test::ParamName(info.param.label);
    });

// A script declared through a symbolic link is named by the link as well;
// the filter judges a process before its arguments are read.
TEST_F(ProcScanFake, DeclaredPathAndFilter) {
    Make(FakeCase{"sh through the link", kSh, Args({"sh", "@/optlink/s.sh"}), kStatus, false});
    std::vector<proc_program_t> programs = {Resolve(m_dir + "/optlink/s.sh")};
    ASSERT_EQ(programs[0].path, m_dir + "/opt/s.sh");
    EXPECT_EQ(programs[0].declared, m_dir + "/optlink/s.sh");
    std::string error;
    std::vector<proc_match_t> found;
    ASSERT_EQ(proc_scan(m_proc.c_str(), programs, found, kAll, error), 3) << error;
    EXPECT_EQ(found.size(), 1u);

    std::vector<uid_t> judged;
    found.clear();
    auto refuse = [&](const proc_match_t &m) {
        judged.push_back(m.uid);
        return false;
    };
    ASSERT_EQ(proc_scan(m_proc.c_str(), programs, found, kAll, error, refuse), 3) << error;
    EXPECT_TRUE(found.empty());
    EXPECT_EQ(judged, std::vector<uid_t>{2000});
}

// The script's argument read in pieces: a longer path whose first piece
// ends where the script's path does is not the script.
TEST_F(ProcScanFake, ArgumentAcrossReadsIsReadWhole) {
    const std::string script = m_dir + "/opt/s.sh";
    const size_t arg0 = 4096 - 1 - script.size();  // the first read ends after "s.sh"
    for (const std::string &tail : {std::string("-evil"), std::string()}) {
        SCOPED_TRACE(tail);
        std::string p = m_proc + "/4242";
        std::string cmdline = std::string(arg0, 's') + '\0' + script + tail + '\0';
        ASSERT_EQ(cmdline.find(script) + script.size(), 4096u);
        Make(FakeCase{"", kSh, "", kStatus, false});
        WriteFile(p + "/cmdline", cmdline);
        std::vector<proc_match_t> found;
        std::string error;
        // s.sh alone: its path is the last argument looked for.
        ASSERT_EQ(proc_scan(m_proc.c_str(), {m_programs[1]}, found, kAll, error), 3) << error;
        EXPECT_EQ(found.size(), tail.empty() ? 1u : 0u);
        std::filesystem::remove_all(p);
    }
}

TEST(ProcScanFakeExtra, SkipsNonProcessesAndCountsExamined) {
    TempRoot root;
    std::string proc = root.path() + "/proc";
    ASSERT_EQ(mkdir(proc.c_str(), 0755), 0);
    for (const char *name : {"self", "1", "20", "300", "4000", "thread-self", "sys"})
        ASSERT_EQ(mkdir((proc + "/" + name).c_str(), 0755), 0);
    std::vector<proc_match_t> found;
    std::string error;
    std::vector<proc_program_t> programs = {{"/opt/avd", false, "", "", {}}};
    EXPECT_EQ(proc_scan(proc.c_str(), programs, found, kAll, error), 4) << error;
    EXPECT_EQ(proc_scan(proc.c_str(), programs, found, 2, error), 2) << error;
    EXPECT_EQ(proc_scan(proc.c_str(), {}, found, kAll, error), 4) << error;
    EXPECT_TRUE(found.empty());
}

TEST(ProcScanFakeExtra, ProcEuidReadsTheEffectiveUid) {
    TempRoot root;
    std::string proc = root.path();
    for (auto [pid, status, want] : std::vector<std::tuple<int, std::string, long>>{
             {10, kStatus, 2000},
             {11, StatusWith("S (sleeping)", "Z (zombie)"), -1},
             {12, StatusWith("S (sleeping)", "X (dead)"), -1},
             {13, StatusWith("Uid:", "Xid:"), -1},
             {14, StatusWith("Uid:\t1000\t2000", "Uid:\t0\t0"), 0},
             {15, "", -1},
             {16, StatusWith("State:", "Stale:"), -1}}) {
        std::string dir = proc + "/" + std::to_string(pid);
        ASSERT_EQ(mkdir(dir.c_str(), 0755), 0);
        WriteFile(dir + "/status", status);
        EXPECT_EQ(proc_euid(proc.c_str(), pid), want) << pid;
    }
    EXPECT_EQ(proc_euid(proc.c_str(), 17), -1);
}

// A read that fails for another reason than the process being gone fails the
// scan: "not found" would mark a live product dead.
TEST(ProcScanFakeExtra, DescriptorShortageFailsTheScan) {
    TempRoot root;
    std::string dir = RealPath(root.path());
    std::string proc = dir + "/proc";
    ASSERT_EQ(mkdir(proc.c_str(), 0755), 0);
    ASSERT_EQ(mkdir((proc + "/4242").c_str(), 0755), 0);
    File(dir + "/avd", "ELF");
    ASSERT_EQ(symlink((dir + "/avd").c_str(), (proc + "/4242/exe").c_str()), 0);
    WriteFile(proc + "/4242/status", kStatus);
    std::vector<proc_program_t> programs = {Resolve(dir + "/avd")};

    // Room for the descriptor of the directory scanned, none for the process's.
    int lowest = open("/dev/null", O_RDONLY | O_CLOEXEC);
    ASSERT_GE(lowest, 0);
    close(lowest);
    struct rlimit old;
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &old), 0);
    struct rlimit tight = old;
    tight.rlim_cur = static_cast<rlim_t>(lowest) + 1;
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &tight), 0);
    std::vector<proc_match_t> found;
    std::string error;
    int n = proc_scan(proc.c_str(), programs, found, kAll, error);
    setrlimit(RLIMIT_NOFILE, &old);
    EXPECT_EQ(n, -1);
    EXPECT_EQ(error, "openat " + proc + "/4242: Too many open files");

    found.clear();
    EXPECT_EQ(proc_scan(proc.c_str(), programs, found, kAll, error), 1) << error;
    EXPECT_EQ(found.size(), 1u);
}

}  // namespace
