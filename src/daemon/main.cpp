// Entry point: brings the subsystems up in a fixed order, runs the event loop
// until SIGINT or SIGTERM, tears down in reverse order and ends with
// _exit(0) on every path.
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <string>

#include "daemon/detach.h"
#include "daemon/monitor.h"
#include "daemon/paths.h"
#include "daemon/pidfile.h"
#include "daemon/sd_notify.h"
#include "daemon/utils.h"
#include "db/moxdb.h"
#include "log/mylog.h"
#include "net/net_core.h"
#include "proto/notify.h"

static volatile sig_atomic_t debug_flag = 0;

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

int main(int argc, char **argv) {
    (void)argv;
    CSimpleMonitor monitor;
    std::string exepath = Utils::get_exepath();
    if (exepath.empty()) fprintf(stderr, "cannot read /proc/self/exe: %s\n", strerror(errno));
    std::string runpath = Utils::dir_of(exepath);
    std::string pidfile = vk_paths::File(vk_paths::kWorkerPidFile);

    if (argc < 2) {
        becomeDeamon(runpath.c_str());
        monitor.CreateMonitor(exepath, runpath, pidfile);
    }

    // The run directory may be missing under a fresh relocation root.
    Utils::make_parent_dirs(pidfile);
    if (CPidFile::write_pid_file(pidfile.c_str()) < 0) goto stop;

    if (MoxLogInit() != 0) {
        fprintf(stderr, "failed to init log\n");
        goto stop;
    }
    Singleton<MyLog>::Instance()->Write(INFO, "veskkorvaned build at %s %s", __DATE__, __TIME__);

    if (MoxDbInit() != 0) {
        Singleton<MyLog>::Instance()->Write(ERROR, "init db failed");
        goto uninit_log;
    }

    signal(SIGPIPE, SIG_IGN);
    signal(SIGHUP, SIG_IGN);
    signal(SIGCONT, SIG_IGN);
    signal(SIGINT, sig_handler);
    signal(SIGTERM, sig_handler);
    signal(SIGUSR1, sig_handler);

    MoxProtoInit();

    if (MoxNetCoreInit(vk_paths::Socket(vk_paths::kSecSoftSocket).c_str(),
                       vk_paths::Socket(vk_paths::kFuiSocket).c_str()) != 0) {
        MoxDbUninit();
        goto uninit_log;
    }
    vk_sd_notify("READY=1");

    MoxNetCoreRunLoop();
    vk_sd_notify("STOPPING=1");
    MoxNetCoreUninit();
    MoxDbUninit();
    Singleton<MyLog>::Instance()->Write(INFO, "veskkorvaned exit!");

uninit_log:
    MoxLogUninit();
stop:
    monitor.Stop();
    _exit(0);
}
