// Entry point: brings the subsystems up in a fixed order, runs the event loop
// until SIGINT or SIGTERM, tears down in reverse order and ends with _exit.
// The exit status tells a failed start from an orderly stop (exit_status.h).
#include <errno.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <string>

#include "access/access_config.h"
#include "base/paths.h"
#include "base/seat.h"
#include "base/state_dir.h"
#include "base/utils.h"
#include "bus/bus.h"
#include "config/daemon_config.h"
#include "daemon/detach.h"
#include "daemon/exit_status.h"
#include "daemon/monitor.h"
#include "daemon/pidfile.h"
#include "daemon/sd_notify.h"
#include "db/moxdb.h"
#include "handlers/dispatch.h"
#include "handlers/handlers.h"
#include "handlers/health.h"
#include "handlers/liveness.h"
#include "log/mylog.h"
#include "net/net_core.h"
#include "net/net_fui.h"
#include "proto/notify.h"

// The build's own date unless the build gave one (SOURCE_DATE_EPOCH).
#ifndef VK_BUILD_DATE
#define VK_BUILD_DATE __DATE__
#define VK_BUILD_TIME __TIME__
#endif

static volatile sig_atomic_t debug_flag = 0;

static const int kHandledSignals[] = {SIGINT, SIGTERM, SIGUSR1};

// Only async-signal-safe work: the loop's stop flag and the log level.
static void sig_handler(int signo) {
    switch (signo) {
        case SIGINT:
        case SIGTERM:
            MoxNetCoreStop();
            break;
        case SIGUSR1:
            debug_flag = !debug_flag;
            MoxLogSetDebugNoAlloc(debug_flag != 0);
            break;
        default:
            break;
    }
}

static void install_signals() {
    struct sigaction ignore = {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    for (int sig : {SIGPIPE, SIGHUP, SIGCONT}) sigaction(sig, &ignore, nullptr);

    struct sigaction handle = {};
    handle.sa_handler = sig_handler;
    // As with signal(): interrupted calls resume. The loop does not wait for
    // EINTR: a stop wakes it through the connection core's wake pipe.
    handle.sa_flags = SA_RESTART;
    sigemptyset(&handle.sa_mask);
    for (int sig : kHandledSignals) sigaddset(&handle.sa_mask, sig);
    for (int sig : kHandledSignals) sigaction(sig, &handle, nullptr);
}

// From here on a handler could reach the log or the loop while they are
// freed: the signals stay pending until the process ends.
static void hold_signals() {
    sigset_t set;
    sigemptyset(&set);
    for (int sig : kHandledSignals) sigaddset(&set, sig);
    sigprocmask(SIG_BLOCK, &set, nullptr);
}

static void print_usage() {
    std::string root = vk_paths::Root();
    std::string rootnote = root.empty() ? std::string("unset") : "now " + root;
    std::string confdir = Utils::get_runpath();
    printf(
        "Usage: veskkorvaned [ARGUMENT...]\n"
        "Keeps the registry of the installed security software and serves it to the\n"
        "desktop's user interfaces.\n"
        "\n"
        "  (no argument)   detach and run under a supervisor that starts the daemon\n"
        "                  again when it dies\n"
        "  --foreground    (or any other argument) run in the foreground, without a\n"
        "                  supervisor, as the systemd unit does\n"
        "  -h, --help      print this help and exit\n"
        "  --version       print the version and exit\n"
        "\n"
        "Environment:\n"
        "  VESKKORVANED_ROOT  directory put in front of every file path and socket\n"
        "                     name below (for tests and try-outs), root's or the\n"
        "                     daemon user's alone; %s\n"
        "\n"
        "Files:\n"
        "  database        %s\n"
        "  log             %s\n"
        "  supervisor log  %s\n"
        "  PID file        %s (locked while the daemon runs)\n"
        "  instance lock   %s (root's only)\n"
        "  supervisor PID  %s\n"
        "  supervisor lock %s\n"
        "  log settings    %s (optional), else %s/conf/log.conf\n"
        "  access policy   %s (optional)\n"
        "  settings        %s (optional)\n"
        "Sockets:\n"
        "  security software  %s\n"
        "  front UIs          %s\n"
        "\n"
        "SIGTERM or SIGINT stops the daemon, SIGUSR1 toggles DEBUG logging.\n"
        "Exit status: 0 after an orderly stop, or when another instance runs; %d the\n"
        "PID file, %d the log, %d the database, %d the sockets could not be set up\n"
        "(a directory of theirs that others may write counts), %d the access policy\n"
        "or the settings are wrong, or others may change the relocation root or the\n"
        "directories of the seat or the journal, %d the instance lock is held by a\n"
        "process that is not veskkorvaned (standard error and the log say why).\n",
        rootnote.c_str(), vk_paths::File(vk_paths::kDbFile).c_str(),
        vk_paths::File(vk_paths::kLogFile).c_str(),
        vk_paths::File(vk_paths::kMonitorLogFile).c_str(),
        vk_paths::File(vk_paths::kWorkerPidFile).c_str(),
        vk_paths::File(vk_paths::kWorkerLockFile).c_str(),
        vk_paths::File(vk_paths::kMonitorPidFile).c_str(),
        vk_paths::File(vk_paths::kMonitorLockFile).c_str(),
        vk_paths::File(vk_paths::kLogConfFile).c_str(),
        confdir.empty() ? "<executable's directory>" : confdir.c_str(),
        vk_paths::File(vk_paths::kAccessFile).c_str(),
        vk_paths::File(vk_paths::kDaemonConfFile).c_str(),
        vk_paths::Socket(vk_paths::kSecSoftSocket).c_str(),
        vk_paths::Socket(vk_paths::kFuiSocket).c_str(), vk_exit::kPidFile, vk_exit::kLog,
        vk_exit::kStore, vk_exit::kListen, vk_exit::kConfig, vk_exit::kLocked);
}

// Answers --help, -h and --version (the first of them wins): true when one
// was asked for. Any other argument only means the foreground.
static bool answer_query(int argc, char **argv) {
    for (int i = 1; i < argc; ++i) {
        if (strcmp(argv[i], "--help") == 0 || strcmp(argv[i], "-h") == 0) {
            print_usage();
            return true;
        }
        if (strcmp(argv[i], "--version") == 0) {
            printf("veskkorvaned %s\n", VK_VERSION);
            return true;
        }
    }
    return false;
}

// Reads the access policy and applies it: false after a message on standard
// error and in the log when the file is wrong. Never a fall-back to a more
// open policy.
static bool load_access_policy() {
    std::string path = vk_paths::File(vk_paths::kAccessFile);
    access_policy_t policy;
    std::string error;
    int rc = access_policy_load(path, policy, error);
    if (rc < 0) {
        Singleton<MyLog>::Instance()->Write(ERROR, "access policy: %s", error.c_str());
        fprintf(stderr, "veskkorvaned: bad access policy: %s\n", error.c_str());
        return false;
    }
    access_policy_set(policy);
    static_assert(kAccessMaxConnectionsPerUid == kNetMaxClients - kNetRootReserve,
                  "the policy's bound is what the client tables can give one uid");
    net_set_uid_connection_limit(policy.connections_per_uid);
    if (policy.connections_per_uid_asked > 0)
        Singleton<MyLog>::Instance()->Write(
            WARNING,
            "access policy %s: connections_per_uid = %d is more than a uid can hold,%d "
            "taken instead",
            path.c_str(), policy.connections_per_uid_asked, policy.connections_per_uid);
    std::string summary = access_policy_summary(policy);
    Singleton<MyLog>::Instance()->Write(
        INFO, "%s %s: %s", rc == 0 ? "access policy from" : "default access policy, no",
        path.c_str(), summary.c_str());
    return true;
}

// Reads the daemon's settings and makes them current: false after a
// message on standard error and in the log when the file is wrong.
static bool load_daemon_config() {
    std::string path = vk_paths::File(vk_paths::kDaemonConfFile);
    daemon_config_t cfg;
    std::string error;
    int rc = daemon_config_load(path, cfg, error);
    if (rc < 0) {
        Singleton<MyLog>::Instance()->Write(ERROR, "daemon configuration: %s", error.c_str());
        fprintf(stderr, "veskkorvaned: bad daemon configuration: %s\n", error.c_str());
        return false;
    }
    daemon_config_set(cfg);
    std::string summary = daemon_config_summary(cfg);
    Singleton<MyLog>::Instance()->Write(
        INFO, "%s %s: %s",
        rc == 0 ? "daemon configuration from" : "default daemon configuration, no", path.c_str(),
        summary.c_str());
    return true;
}

// Log, access policy, settings, store, signals, sockets; serves until a
// stop signal, then tears down in reverse order. The exit status.
// "" when the directory that holds `path` (made when missing) and those
// above it are safe to keep state in, else why not.
static std::string unsafe_dir_of(const std::string &path) {
    Utils::make_parent_dirs(path);
    return state_dir_check(path_dir(path));
}

// The end of a pass of the loop: what its requests wrote becomes durable.
static bool commit_pass() {
    return Singleton<CMoxDb>::Instance()->CommitPass();
}

static int serve(CSimpleMonitor &monitor) {
    std::string unsafe = unsafe_dir_of(vk_paths::File(vk_paths::kLogFile));
    if (!unsafe.empty()) {
        fprintf(stderr, "veskkorvaned: unsafe log directory %s\n", unsafe.c_str());
        return vk_exit::kLog;
    }
    if (MoxLogInit() != 0) {
        fprintf(stderr, "failed to init log\n");
        return vk_exit::kLog;
    }
    std::string logpath = vk_paths::File(vk_paths::kLogFile);
    Singleton<MyLog>::Instance()->Write(INFO, "veskkorvaned build at %s %s", VK_BUILD_DATE,
                                        VK_BUILD_TIME);
    if (!load_access_policy() || !load_daemon_config()) {
        monitor.Stop();
        MoxLogUninit();
        return vk_exit::kConfig;
    }

    int status = vk_exit::kOk;
    unsafe = unsafe_dir_of(vk_paths::File(vk_paths::kDbFile));
    if (!unsafe.empty()) {
        Singleton<MyLog>::Instance()->Write(ERROR, "unsafe database directory %s", unsafe.c_str());
        fprintf(stderr, "veskkorvaned: unsafe database directory %s\n", unsafe.c_str());
        status = vk_exit::kStore;
    } else if (MoxDbInit() != 0) {
        Singleton<MyLog>::Instance()->Write(ERROR, "init db failed");
        fprintf(stderr, "veskkorvaned: cannot open the database %s, see %s\n",
                vk_paths::File(vk_paths::kDbFile).c_str(), logpath.c_str());
        status = vk_exit::kStore;
    } else {
        install_signals();
        MoxProtoInit();
        // The stored default product names the configured program from
        // now on, whoever registered it under an earlier configuration.
        if (!secsoft_default_settings_apply())
            Singleton<MyLog>::Instance()->Write(
                ERROR, "cannot record the configured default product's program");
        // The only place where the connection core and the protocol meet:
        // every line goes to the request entry, every notification to the
        // front-UI connections; the bus hears of the notifications and of
        // every change to what it shows.
        net_set_line_handler(mox_serve_line);
        mox_set_broadcast(mox_post_fui);
        // The writes of a pass are one commit, made before its replies and
        // notifications leave.
        Singleton<CMoxDb>::Instance()->SetGroupCommit(true);
        net_set_pass_end(commit_pass);
        mox_set_notify_observer(bus_notify);
        health_set_change_hook(bus_mark_dirty);
        std::string secsoft = vk_paths::Socket(vk_paths::kSecSoftSocket);
        std::string fui = vk_paths::Socket(vk_paths::kFuiSocket);
        if (MoxNetCoreInit(secsoft.c_str(), fui.c_str()) != 0) {
            hold_signals();
            fprintf(stderr, "veskkorvaned: cannot listen on %s and %s, see %s\n", secsoft.c_str(),
                    fui.c_str(), logpath.c_str());
            status = vk_exit::kListen;
        } else {
            const daemon_config_t &settings = daemon_config_current();
            liveness_config_t liveness;
            liveness.failover = settings.liveness_failover;
            liveness.grace = settings.liveness_grace;
            if (MoxLivenessInit(elp_main, liveness) != 0)
                Singleton<MyLog>::Instance()->Write(
                    ERROR, "liveness: cannot start its timer,products are not watched");
            MoxBusInit(elp_main, settings.dbus);
            // One datagram: the manager shows the status from the moment
            // the service counts as started.
            std::string ready =
                "READY=1\nSTATUS=serving products on " + secsoft + " and front UIs on " + fui;
            vk_sd_notify(ready.c_str());
            MoxNetCoreRunLoop();
            hold_signals();
            vk_sd_notify("STOPPING=1");
            MoxBusUninit();
            MoxLivenessUninit();
            MoxNetCoreUninit();
        }
        MoxDbUninit();
        if (status == vk_exit::kOk) Singleton<MyLog>::Instance()->Write(INFO, "veskkorvaned exit!");
    }
    // Ending the supervisor and removing the PID files is logged too: the
    // log closes last.
    monitor.Stop();
    MoxLogUninit();
    return status;
}

// Takes the instance lock into `*fd`: the status to end with when it
// cannot be taken (0 when another instance holds it: that one serves).
static int take_instance_lock(int *fd) {
    std::string path = vk_paths::File(vk_paths::kWorkerLockFile);
    lock_holder_t holder;
    *fd = CPidFile::take_instance_lock(path.c_str(), &holder);
    if (*fd >= 0) return vk_exit::kOk;
    if (errno != EWOULDBLOCK) {
        fprintf(stderr, "veskkorvaned: cannot take the instance lock %s: %s\n", path.c_str(),
                strerror(errno));
        return vk_exit::kPidFile;
    }
    if (CPidFile::holder_is_us(holder)) return vk_exit::kOk;  // another instance: end quietly
    // Nothing serves, and a restart would meet the same holder: say who.
    std::string who = CPidFile::describe(holder);
    fprintf(stderr, "veskkorvaned: the instance lock %s is held by %s, not by veskkorvaned\n",
            path.c_str(), who.c_str());
    if (unsafe_dir_of(vk_paths::File(vk_paths::kLogFile)).empty() && MoxLogInit() == 0) {
        Singleton<MyLog>::Instance()->Write(
            ERROR, "the instance lock %s is held by %s, not by veskkorvaned", path.c_str(),
            who.c_str());
        MoxLogUninit();
    }
    return vk_exit::kLocked;
}

// Before anything is created or read: the relocation root and the
// directories above it, then those where the session's seat and the
// journal's socket are looked for, may be changed by no one but root and
// the daemon's own user. 0, or the status after a line on standard error.
static int check_trusted_tree() {
    const std::string root = vk_paths::Root();
    if (!root.empty()) {
        // Made when missing, then judged like one that was there.
        if (root[0] == '/') Utils::make_dirs(root);
        std::string why = state_root_check();
        if (!why.empty()) {
            fprintf(stderr, "veskkorvaned: unsafe relocation root %s: %s\n", root.c_str(),
                    why.c_str());
            return vk_exit::kConfig;
        }
    }
    const struct {
        const char *what;
        std::string dir;
    } looked_up[] = {{"seat", vk_paths::File(kSeatDir)},
                     {"journal", path_dir(vk_paths::File(vk_paths::kJournalSocket))}};
    for (const auto &d : looked_up) {
        std::string why = state_dir_check(d.dir);
        if (!why.empty()) {
            fprintf(stderr, "veskkorvaned: unsafe %s directory %s\n", d.what, why.c_str());
            return vk_exit::kConfig;
        }
    }
    return vk_exit::kOk;
}

int main(int argc, char **argv) {
    if (answer_query(argc, argv)) return 0;
    const int untrusted = check_trusted_tree();
    if (untrusted != vk_exit::kOk) return untrusted;

    CSimpleMonitor monitor;
    std::string exepath = Utils::get_exepath();
    if (exepath.empty()) fprintf(stderr, "cannot read /proc/self/exe: %s\n", strerror(errno));
    std::string runpath = Utils::dir_of(exepath);
    std::string pidfile = vk_paths::File(vk_paths::kWorkerPidFile);

    if (argc < 2) {
        becomeDeamon(runpath.c_str());
        monitor.CreateMonitor(exepath, runpath, pidfile);
    }

    int status = vk_exit::kOk;
    int lockfd = -1;
    std::string unsafe = unsafe_dir_of(pidfile);
    if (!unsafe.empty()) {
        fprintf(stderr, "veskkorvaned: unsafe PID file directory %s\n", unsafe.c_str());
        status = vk_exit::kPidFile;
    } else {
        status = take_instance_lock(&lockfd);
    }
    if (lockfd >= 0) {
        int pidfd = CPidFile::write_pid_file(pidfile.c_str());
        if (pidfd >= 0) {
            monitor.SetChildPidFile(pidfile, pidfd);
            status = serve(monitor);
        } else {
            fprintf(stderr, "veskkorvaned: cannot write the PID file %s: %s\n", pidfile.c_str(),
                    strerror(errno));
            status = vk_exit::kPidFile;
        }
    }

    // A worker that failed still ends its supervisor: no restart loop.
    monitor.Stop();
    _exit(status);
}
