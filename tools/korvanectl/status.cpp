// korvanectl status: whether the daemon runs, judged from the outside and
// without touching anything of it. The PID file is only read; whether its
// lock is held is looked up in /proc/locks rather than tried, because even
// a brief lock of ours would make a daemon starting at that moment take
// itself for a second instance and end. The PID file is readable by all, so
// anyone may hold its lock once the daemon is gone: only a lock held by the
// process the file names counts. Then each socket is connected to,
// and the front-UI socket asked a read-only question (1001).
#include <cjson/cJSON.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <time.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <optional>
#include <sstream>
#include <string>

#include "base/paths.h"
#include "korvanectl/cli.h"

namespace korvanectl {

namespace {

using korvane::Client;
using korvane::Endpoint;

enum class Lock { kHeld, kFree, kUnknown };

struct PidFileState {
    std::string path;
    bool exists = false;
    std::string error;  // why it cannot be read
    long pid = 0;       // 0: none in it
    Lock lock = Lock::kUnknown;
    std::string other;      // pid of a process that holds the lock, not the one named
    long long written = 0;  // its modification time, seconds since the epoch
};

struct ProcessState {
    bool exists = false;
    long long started = 0;  // seconds since the epoch, 0 when unknown
};

struct SocketState {
    std::string name;
    bool answers = false;
    std::string detail;  // what answered, or why not
};

// Whether /proc/locks lists a flock(2) lock on the file held by the pid the
// file names (any holder when it names none): its inode on its device, or
// its inode alone (where the kernel's device number is not the one stat(2)
// shows, as on btrfs or overlayfs). `*other` gets the pid of any other
// holder.
Lock FlockHeld(const struct stat &st, long file_pid, std::string *other) {
    std::ifstream in("/proc/locks");
    if (!in) return Lock::kUnknown;
    char want[64];
    snprintf(want, sizeof(want), "%02x:%02x:%llu", major(st.st_dev), minor(st.st_dev),
             static_cast<unsigned long long>(st.st_ino));
    const std::string named = std::to_string(file_pid);
    std::string line;
    while (std::getline(in, line)) {
        // "1: FLOCK  ADVISORY  WRITE 1234 00:2b:567 0 EOF"; waiters carry "->".
        std::istringstream fields(line);
        std::string id, kind, mode, access, pid, where;
        if (!(fields >> id >> kind >> mode >> access >> pid >> where)) continue;
        if (kind != "FLOCK") continue;
        size_t colon = where.rfind(':');
        const bool same_inode =
            colon != std::string::npos && where.substr(colon + 1) == std::to_string(st.st_ino);
        if (where == want && (file_pid <= 0 || pid == named)) return Lock::kHeld;
        if (file_pid > 0 && pid == named && same_inode) return Lock::kHeld;
        if (where == want) *other = pid;
    }
    return Lock::kFree;
}

PidFileState ReadPidFile() {
    PidFileState s;
    s.path = vk_paths::File(vk_paths::kWorkerPidFile);
    int fd = open(s.path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        if (errno != ENOENT) {
            s.exists = true;
            s.error = strerror(errno);
        }
        return s;
    }
    s.exists = true;
    struct stat st;
    char buf[32] = {0};
    ssize_t n = fstat(fd, &st) == 0 ? read(fd, buf, sizeof(buf) - 1) : -1;
    close(fd);
    if (n < 0) {
        s.error = strerror(errno);
        return s;
    }
    s.written = static_cast<long long>(st.st_mtime);
    char *end = nullptr;
    long pid = strtol(buf, &end, 10);
    if (end != buf && (*end == '\0' || *end == '\n') && pid > 0) s.pid = pid;
    s.lock = FlockHeld(st, s.pid, &s.other);
    return s;
}

// The boot time from /proc/stat ("btime"), 0 when unknown.
long long BootTime() {
    std::ifstream in("/proc/stat");
    std::string key;
    long long value = 0;
    while (in >> key) {
        if (key == "btime" && in >> value) return value;
        in.ignore(1 << 20, '\n');
    }
    return 0;
}

ProcessState Process(long pid) {
    ProcessState p;
    if (pid <= 0) return p;
    p.exists = kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM;
    if (!p.exists) return p;
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    // The name in parentheses may hold blanks: fields count from its end.
    size_t close = stat.rfind(')');
    if (close == std::string::npos) return p;
    std::istringstream fields(stat.substr(close + 1));
    std::string field;
    unsigned long long ticks = 0;
    // Field 22, start time in clock ticks after boot; field 3 comes first.
    for (int i = 3; i <= 22 && fields >> field; i++)
        if (i == 22) ticks = strtoull(field.c_str(), nullptr, 10);
    long hz = sysconf(_SC_CLK_TCK);
    long long boot = BootTime();
    if (ticks > 0 && hz > 0 && boot > 0) p.started = boot + static_cast<long long>(ticks / hz);
    return p;
}

SocketState Probe(Endpoint endpoint, int timeout_ms) {
    SocketState s;
    s.name = korvane::EndpointName(endpoint);
    Client client;
    client.SetConnectTimeout(timeout_ms);
    const std::string why = ConnectToDaemon(client, endpoint);
    if (!why.empty()) {
        s.detail = why;
        return s;
    }
    if (endpoint == Endpoint::kSecSoft) {
        s.answers = true;
        s.detail = "accepts connections";
        return s;
    }
    // Read-only, and answered even for a uuid that is not registered.
    if (!client.SendRequest("korvanectl-status", 1, KORVANE_REQ_GET_SECSOFT)) {
        s.detail = client.error();
        return s;
    }
    struct timespec t0, t1;
    clock_gettime(CLOCK_MONOTONIC, &t0);
    while (true) {
        clock_gettime(CLOCK_MONOTONIC, &t1);
        long long spent = (t1.tv_sec - t0.tv_sec) * 1000LL + (t1.tv_nsec - t0.tv_nsec) / 1000000;
        long long left = timeout_ms - spent;
        std::optional<korvane::Message> msg =
            client.ReadMessage(left > 0 ? static_cast<int>(left) : 0);
        if (!msg) {
            s.detail = client.TimedOut()
                           ? "no reply to request 1001 within " + std::to_string(timeout_ms) + " ms"
                           : "no reply to request 1001: " + client.error();
            return s;
        }
        if (!msg->has_result) continue;  // a notification
        s.answers = true;
        // The probe is no front UI: 100 is the answer a working daemon gives.
        s.detail =
            "answers (request 1001: result " + std::to_string(msg->result) + ", " +
            korvane::ResultText(msg->result) +
            (msg->result == KORVANE_RESULT_UNKNOWN_FUI ? ", as expected for this probe" : "") + ")";
        return s;
    }
}

std::string Duration(long long seconds) {
    char buf[64];
    long long d = seconds / 86400, h = seconds / 3600 % 24, m = seconds / 60 % 60, s = seconds % 60;
    if (d > 0)
        snprintf(buf, sizeof(buf), "%lldd %lldh %02lldm %02llds", d, h, m, s);
    else if (h > 0)
        snprintf(buf, sizeof(buf), "%lldh %02lldm %02llds", h, m, s);
    else
        snprintf(buf, sizeof(buf), "%lldm %02llds", m, s);
    return buf;
}

const char *LockWord(Lock lock) {
    switch (lock) {
        case Lock::kHeld:
            return "locked";
        case Lock::kFree:
            return "not locked";
        default:
            return "lock unknown";
    }
}

cJSON *SocketJson(const SocketState &s) {
    cJSON *o = cJSON_CreateObject();
    cJSON_AddStringToObject(o, "name", s.name.c_str());
    cJSON_AddBoolToObject(o, "answers", s.answers);
    cJSON_AddStringToObject(o, "detail", s.detail.c_str());
    return o;
}

}  // namespace

int RunStatus(const Args &args) {
    PidFileState file = ReadPidFile();
    ProcessState proc = Process(file.pid);
    // The lock says whether the daemon holds its PID file; where it cannot
    // be looked up, the process named in the file decides.
    const bool running = file.lock == Lock::kHeld || (file.lock == Lock::kUnknown && proc.exists);
    SocketState products = Probe(Endpoint::kSecSoft, args.timeout_ms);
    SocketState uis = Probe(Endpoint::kFrontUi, args.timeout_ms);

    std::string problem;
    int code = kExitOk;
    if (!running) {
        code = kExitNoDaemon;
        if (!file.error.empty())
            problem = "cannot read the PID file " + file.path + ": " + file.error;
        else if (!file.exists)
            problem = "no PID file " + file.path;
        else
            problem = "stale PID file " + file.path +
                      (file.other.empty() ? ": no process holds its lock"
                                          : ": its lock is held by pid " + file.other +
                                                ", not by the pid it names") +
                      (file.pid > 0 && proc.exists
                           ? " (pid " + std::to_string(file.pid) + " is another process)"
                           : "");
        if (products.answers || uis.answers) {
            code = kExitDegraded;
            problem += "; yet a socket answers: another daemon without its PID file?";
        }
    } else if (!products.answers || !uis.answers) {
        code = kExitDegraded;
        problem = std::string(!products.answers ? "the products' socket" : "the front-UI socket") +
                  (!products.answers && !uis.answers ? " and the front-UI socket" : "") + " do" +
                  (!products.answers && !uis.answers ? "" : "es") + " not answer";
    }
    const long long now = static_cast<long long>(time(nullptr));
    // The process may have begun as something else (a shell that built the
    // daemon, then exec'ed it) long before the daemon started: the daemon
    // writes its PID file as it starts, so the later of the two counts.
    if (proc.started > 0 && file.written > proc.started && file.written <= now)
        proc.started = file.written;
    const bool known_start = running && proc.exists && proc.started > 0;

    if (args.json) {
        JsonPtr tree(cJSON_CreateObject());
        cJSON *root = tree.get();
        cJSON_AddBoolToObject(root, "running", running);
        cJSON_AddStringToObject(root, "pid_file", file.path.c_str());
        cJSON_AddBoolToObject(root, "pid_file_exists", file.exists);
        if (file.lock == Lock::kUnknown)
            cJSON_AddNullToObject(root, "pid_file_locked");
        else
            cJSON_AddBoolToObject(root, "pid_file_locked", file.lock == Lock::kHeld);
        if (file.pid > 0)
            cJSON_AddNumberToObject(root, "pid", static_cast<double>(file.pid));
        else
            cJSON_AddNullToObject(root, "pid");
        cJSON_AddBoolToObject(root, "process_exists", proc.exists);
        if (known_start) {
            cJSON_AddStringToObject(root, "started",
                                    LocalTime(proc.started, "%Y-%m-%dT%H:%M:%S%z").c_str());
            cJSON_AddNumberToObject(root, "uptime", static_cast<double>(now - proc.started));
        } else {
            cJSON_AddNullToObject(root, "started");
            cJSON_AddNullToObject(root, "uptime");
        }
        cJSON *sockets = cJSON_AddObjectToObject(root, "sockets");
        cJSON_AddItemToObject(sockets, "products", SocketJson(products));
        cJSON_AddItemToObject(sockets, "front_uis", SocketJson(uis));
        if (problem.empty())
            cJSON_AddNullToObject(root, "problem");
        else
            cJSON_AddStringToObject(root, "problem", problem.c_str());
        std::string text;
        printf("%s\n", json_print_compact(root, text) ? text.c_str() : "{}");
    } else {
        if (running) {
            printf("daemon:    running, pid %ld", file.pid);
            if (known_start)
                printf(", up %s (since %s)", Duration(now - proc.started).c_str(),
                       LocalTime(proc.started, "%Y-%m-%dT%H:%M:%S%z").c_str());
            printf("\n");
        } else {
            printf("daemon:    not running\n");
        }
        if (!file.exists)
            printf("PID file:  %s: none\n", file.path.c_str());
        else if (!file.error.empty())
            printf("PID file:  %s: %s\n", file.path.c_str(), file.error.c_str());
        else
            printf("PID file:  %s, %s, pid %s%s\n", file.path.c_str(), LockWord(file.lock),
                   file.pid > 0 ? std::to_string(file.pid).c_str() : "(none)",
                   file.pid <= 0 ? ""
                   : proc.exists ? ""
                                 : " (no such process)");
        printf("products:  %s %s\n", products.name.c_str(), products.detail.c_str());
        printf("front UIs: %s %s\n", uis.name.c_str(), uis.detail.c_str());
    }
    fflush(stdout);
    if (!problem.empty()) Fail(code, problem);
    return code;
}

}  // namespace korvanectl
