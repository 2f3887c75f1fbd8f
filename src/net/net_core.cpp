// Invariants: elp_main is null outside MoxNetCoreInit..MoxNetCoreUninit.
// The wake pipe lets MoxNetCoreStop, called from a signal handler, end a
// wait that began just before the stop flag was set.
#include "net/net_core.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <unistd.h>

#include "log/mylog.h"

aeEventLoop *elp_main = nullptr;

static int s_wake[2] = {-1, -1};

static void drain_wake_pipe(aeEventLoop *, int fd, void *, int) {
    char buf[64];
    while (read(fd, buf, sizeof(buf)) > 0) {
    }
}

static void close_wake_pipe() {
    for (int &fd : s_wake) {
        if (fd >= 0) close(fd);
        fd = -1;
    }
}

int MoxNetCoreInit(const char *secsoft, const char *fui) {
    (void)secsoft;
    (void)fui;
    elp_main = aeCreateEventLoop(4096);
    if (elp_main == nullptr) {
        Singleton<MyLog>::Instance()->Write(ERROR, "create event loop failed,because no memory");
        return -2;
    }
    if (pipe2(s_wake, O_NONBLOCK | O_CLOEXEC) != 0 ||
        aeCreateFileEvent(elp_main, s_wake[0], AE_MASK_READ, drain_wake_pipe, nullptr) != 0) {
        Singleton<MyLog>::Instance()->Write(ERROR, "create wake pipe failed,because: %s",
                                            strerror(errno));
        close_wake_pipe();
        aeDeleteEventLoop(elp_main);
        elp_main = nullptr;
        return -2;
    }
    Singleton<MyLog>::Instance()->Write(INFO, "net-core init ok");
    return 0;
}

int MoxNetCoreRunLoop() {
    if (elp_main == nullptr) {
        Singleton<MyLog>::Instance()->Write(ERROR, "net-core run loop failed,invalid event-loop");
        return -3;
    }
    Singleton<MyLog>::Instance()->Write(INFO, "net-core run loop");
    aeMain(elp_main);
    return 0;
}

void MoxNetCoreStop() {
    aeEventLoop *el = elp_main;
    if (el == nullptr) return;
    aeStop(el);
    int saved = errno;
    if (s_wake[1] >= 0) {
        ssize_t ignored = write(s_wake[1], "x", 1);
        (void)ignored;
    }
    errno = saved;
}

void MoxNetCoreUninit() {
    aeEventLoop *el = elp_main;
    if (el == nullptr) return;
    // Cleared first: a stop signal arriving now must not reach a freed loop.
    elp_main = nullptr;
    aeDeleteEventLoop(el);
    close_wake_pipe();
    Singleton<MyLog>::Instance()->Write(INFO, "net-core uninit");
}
