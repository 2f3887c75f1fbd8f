// The log under a flood from one unprivileged user: the real daemon under a
// temporary root, and a process that becomes uid 65534 and, for --seconds,
// connects, sends an undecodable line of 8191 bytes and a refused product
// report with a uuid of 6000 bytes, and closes, as fast as it can, on both
// sockets in turn. Its first connection sends one refused request with a
// short uuid: the line that must still be in the log afterwards.
//
// Counts what the log took: bytes of lines written (the file's growth plus
// half the ceiling for every cut, which the benchmark sees as a rename into
// the log's name), cuts, the connections made, and whether the first
// refusal line is still there. Counts, not timings: the flood's length only
// sets how much it could write.
//
// Usage: log_flood_bench [--seconds N] [--daemon PATH] [--keep]
// --keep leaves the temporary root (and its log) for a look, and says where.
// Runs as root (it switches the attacker to uid 65534); leaves nothing
// behind, stops what it started by its id.
#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "bench_daemon.h"
#include "bench_util.h"
#include "client/korvane_client.h"

using namespace vk_bench;

namespace {

const char *const kFirstUuid = "flood-first-refusal";
constexpr long long kCeiling = 10485760;  // the default; a cut keeps half

[[noreturn]] void Fail(const std::string &what) {
    fprintf(stderr, "log_flood_bench: %s\n", what.c_str());
    exit(1);
}

long long FileSize(const std::string &path) {
    std::error_code ec;
    auto n = std::filesystem::file_size(path, ec);
    return ec ? -1 : static_cast<long long>(n);
}

// The attacker, in a child that has become uid 65534: connections made,
// written to `report`.
void Attack(const std::string &sec, const std::string &fui, int seconds, int report) {
    if (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0) _exit(2);
    const std::string garbage = std::string(8191, '!') + "\n";
    auto refused = [](const std::string &uuid) {
        auto line = korvane::EncodeRequest(uuid, 1, 2002, std::string("{}"));
        return line ? *line : std::string();
    };
    const std::string first = refused(kFirstUuid);
    const std::string flood = garbage + refused(std::string(6000, 'u'));
    const int64_t end = NowNs() + static_cast<int64_t>(seconds) * 1000000000;
    long connections = 0;
    for (long i = 0; NowNs() < end; ++i) {
        int fd = ConnectAbstract(i % 2 == 0 ? sec : fui);
        if (fd < 0) continue;  // over its share for a moment
        const std::string &what = i == 0 ? first : flood;
        WriteAll(fd, what.data(), what.size());
        close(fd);
        ++connections;
        if (i == 0) WaitFor([] { return false; }, 50);  // the marker goes in first
    }
    dprintf(report, "%ld\n", connections);
    _exit(0);
}

}  // namespace

int main(int argc, char **argv) {
    int seconds = 15;
    std::string daemon = VK_DAEMON_PATH;
    bool keep = false;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--seconds" && i + 1 < argc)
            seconds = atoi(argv[++i]);
        else if (a == "--daemon" && i + 1 < argc)
            daemon = argv[++i];
        else if (a == "--keep")
            keep = true;
        else {
            fprintf(stderr, "usage: %s [--seconds N] [--daemon PATH] [--keep]\n", argv[0]);
            return 2;
        }
    }
    if (geteuid() != 0) Fail("needs root: the attacker switches to uid 65534");
    signal(SIGPIPE, SIG_IGN);

    char tmpl[] = "/tmp/vk-logflood-XXXXXX";
    if (mkdtemp(tmpl) == nullptr) Fail("mkdtemp failed");
    const std::string root = tmpl;
    const std::string log = root + "/var/log/veskkorvaned.log";
    const std::string sec = SecSocketOf(root);
    const std::string fui = FuiSocketOf(root);

    pid_t d = SpawnDaemon(daemon, root);
    if (d < 0) Fail("fork failed");
    bool up = WaitListening(root);
    if (!up) Fail("the daemon did not start listening");
    WaitFor([] { return false; }, 300);  // its own lines about the probes

    // Every cut renames a copy over the log.
    int in = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (in < 0 || inotify_add_watch(in, (root + "/var/log").c_str(), IN_MOVED_TO) < 0)
        Fail("inotify failed");
    const long long before = FileSize(log);

    int pipefd[2];
    if (pipe2(pipefd, O_CLOEXEC) != 0) Fail("pipe failed");
    const int64_t t0 = NowNs();
    pid_t attacker = fork();
    if (attacker == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        close(pipefd[0]);
        Attack(sec, fui, seconds, pipefd[1]);
    }
    if (attacker < 0) Fail("fork failed");
    close(pipefd[1]);

    long cuts = 0;
    auto count_cuts = [&] {
        alignas(struct inotify_event) char buf[4096];
        ssize_t n;
        while ((n = read(in, buf, sizeof(buf))) > 0) {
            for (char *p = buf; p < buf + n;) {
                auto *ev = reinterpret_cast<struct inotify_event *>(p);
                if (ev->len > 0 && strcmp(ev->name, "veskkorvaned.log") == 0) ++cuts;
                p += sizeof(struct inotify_event) + ev->len;
            }
        }
    };
    int st = 0;
    while (waitpid(attacker, &st, WNOHANG) != attacker) {
        count_cuts();
        WaitFor([] { return false; }, 5);
    }
    const double flood_s = static_cast<double>(NowNs() - t0) / 1e9;
    char text[32] = {};
    ssize_t r = read(pipefd[0], text, sizeof(text) - 1);
    const long connections = r > 0 ? atol(text) : -1;
    if (connections < 0) Fail("the attacker did not report (could it switch to uid 65534?)");

    // What the daemon still had queued (it logs nothing of it once the
    // budget is spent, so a quiet file does not mean it is done), then the
    // quiet interval's count: done once the count is there, or the file has
    // not grown for 10 s.
    long long last = -1;
    for (int still = 0, polls = 0; polls < 1200; ++polls) {  // 100 ms each
        usleep(100000);
        count_cuts();
        long long now = FileSize(log);
        still = now == last ? still + 1 : 0;
        last = now;
        if (still >= 100) break;
        if (still >= 10 && ReadFile(log).find("|WARNING|suppressed ") != std::string::npos) break;
    }
    count_cuts();
    const long long after = FileSize(log);
    const std::string text_log = ReadFile(log);
    StopDaemon(d);
    close(in);
    std::error_code ec;
    if (keep)
        printf("kept %s\n", root.c_str());
    else
        std::filesystem::remove_all(root, ec);

    const long long written = after - before + cuts * (kCeiling - kCeiling / 2);
    const bool first_kept = text_log.find(std::string("refuse request type: 2002,uuid: ") +
                                          kFirstUuid) != std::string::npos;
    size_t summaries = 0;
    for (size_t at = 0; (at = text_log.find("|WARNING|suppressed ", at)) != std::string::npos; ++at)
        ++summaries;
    const double per_s = static_cast<double>(written) / flood_s;
    printf("log flood as uid 65534: %.1f s, %ld connections (%.0f/s), daemon %s\n", flood_s,
           connections, static_cast<double>(connections) / flood_s, daemon.c_str());
    printf("log bytes written: %lld (%.3f MB/s, %.1f MB extrapolated to 60 s), cuts: %ld\n",
           written, per_s / 1e6, per_s * 60 / 1e6, cuts);
    printf("first refusal line still in the log: %s; summary lines: %zu; log now %lld bytes\n",
           first_kept ? "yes" : "no", summaries, after);
    return 0;
}
