// The event loop: registrations, passes and timers. The epoll calls live in
// ae_epoll.cpp.
//
// A pass re-reads a descriptor's registration before every handler call, so
// a handler may remove any registration, its own or a later one's. A timer
// runs at most once per pass, and a timer created during a pass waits for
// the next one; the timer walk restarts from the head after every run
// because the procedure may have removed other timers.
#include "net/ae/ae.h"

#include <poll.h>
#include <climits>
#include <ctime>

#include "net/ae/ae_epoll.h"
#include "net/ae/zmalloc.h"

static void aeFreeLoop(aeEventLoop *el) {
    aeApiFree(el);
    zfree(el->file_events);
    zfree(el->ready);
    zfree(el);
}

aeEventLoop *aeCreateEventLoop(int setsize) {
    if (setsize <= 0) return nullptr;
    auto *el = static_cast<aeEventLoop *>(zcalloc(sizeof(aeEventLoop)));
    if (el == nullptr) return nullptr;
    size_t n = static_cast<size_t>(setsize);
    el->file_events = static_cast<aeFileHandler *>(zcalloc(sizeof(aeFileHandler) * n));
    el->ready = static_cast<aeReadyEvent *>(zcalloc(sizeof(aeReadyEvent) * n));
    el->set_size = setsize;
    el->max_fd = -1;
    if (el->file_events == nullptr || el->ready == nullptr || aeApiCreate(el) == -1) {
        aeFreeLoop(el);
        return nullptr;
    }
    return el;
}

void aeDeleteEventLoop(aeEventLoop *el) {
    if (el == nullptr) return;
    // Timer records are freed, but their finalizers are not called: what
    // they would release may already be gone when the loop is torn down.
    aeTimer *te = el->timers;
    while (te != nullptr) {
        aeTimer *next = te->next;
        zfree(te);
        te = next;
    }
    aeFreeLoop(el);
}

void aeStop(aeEventLoop *el) {
    el->stop = 1;
}

void aeSetBeforeSleepProc(aeEventLoop *el, aeBeforeSleepProc *proc) {
    el->before_sleep = proc;
}

void aeSetDontWait(aeEventLoop *el, int noWait) {
    el->dont_wait = noWait != 0;
}

const char *aeGetApiName() {
    return aeApiName();
}

static bool aeValidFd(const aeEventLoop *el, int fd) {
    return fd >= 0 && fd < el->set_size;
}

int aeCreateFileEvent(aeEventLoop *el, int fd, int mask, aeFileProc *proc, void *client_data) {
    if (!aeValidFd(el, fd)) return -1;
    mask &= AE_MASK_READ | AE_MASK_WRITE;
    if (mask == 0) return 0;  // nothing to register
    aeFileHandler *fe = &el->file_events[fd];
    if (aeApiUpdate(el, fd, fe->mask, fe->mask | mask) == -1) return -1;
    fe->mask |= mask;
    if (mask & AE_MASK_READ) fe->read_proc = proc;
    if (mask & AE_MASK_WRITE) fe->write_proc = proc;
    fe->client_data = client_data;
    if (fd > el->max_fd) el->max_fd = fd;
    return 0;
}

void aeDeleteFileEvent(aeEventLoop *el, int fd, int mask) {
    if (!aeValidFd(el, fd)) return;
    aeFileHandler *fe = &el->file_events[fd];
    if (fe->mask == AE_MASK_NONE) return;
    int old_mask = fe->mask;
    fe->mask = old_mask & ~mask;
    if (fe->mask == old_mask) return;
    if (fe->mask == AE_MASK_NONE && fd == el->max_fd) {
        int j = fd - 1;
        while (j >= 0 && el->file_events[j].mask == AE_MASK_NONE) j--;
        el->max_fd = j;
    }
    aeApiUpdate(el, fd, old_mask, fe->mask);  // a descriptor already closed is not an error here
}

int aeGetFileEvents(aeEventLoop *el, int fd) {
    return aeValidFd(el, fd) ? el->file_events[fd].mask : 0;
}

static int aeAddOneEvent(aeEventLoop *el, int fd, int bit, aeFileProc *proc, void *client_data) {
    if (!aeValidFd(el, fd)) return -1;
    if (el->file_events[fd].mask & bit) return 0;
    return aeCreateFileEvent(el, fd, bit, proc, client_data);
}

int aeAddReadEvent(aeEventLoop *el, int fd, aeFileProc *proc, void *client_data) {
    return aeAddOneEvent(el, fd, AE_MASK_READ, proc, client_data);
}

int aeAddWriteEvent(aeEventLoop *el, int fd, aeFileProc *proc, void *client_data) {
    return aeAddOneEvent(el, fd, AE_MASK_WRITE, proc, client_data);
}

void aeDeleteReadEvent(aeEventLoop *el, int fd) {
    aeDeleteFileEvent(el, fd, AE_MASK_READ);
}

void aeDeleteWriteEvent(aeEventLoop *el, int fd) {
    aeDeleteFileEvent(el, fd, AE_MASK_WRITE);
}

static void aeGetTime(long *sec, long *ms) {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    *sec = ts.tv_sec;
    *ms = ts.tv_nsec / 1000000;
}

long aeGetMonoticNow() {
    long sec, ms;
    aeGetTime(&sec, &ms);
    return sec;
}

void aeAddMillisecondsToNow(long long ms, long *sec, long *msec) {
    long now_sec, now_ms;
    aeGetTime(&now_sec, &now_ms);
    long when_sec = now_sec + static_cast<long>(ms / 1000);
    long when_ms = now_ms + static_cast<long>(ms % 1000);
    if (when_ms >= 1000) {
        when_sec++;
        when_ms -= 1000;
    } else if (when_ms < 0) {  // a negative period: due in the past
        when_sec--;
        when_ms += 1000;
    }
    *sec = when_sec;
    *msec = when_ms;
}

long long aeCreateTimeEvent(aeEventLoop *el, long long ms, aeTimeProc *proc, void *client_data,
                            aeEventFinalizerProc *finalizer) {
    long long id = el->next_timer_id++;
    auto *te = static_cast<aeTimer *>(zcalloc(sizeof(aeTimer)));
    if (te == nullptr) return -1;
    te->id = id;
    aeAddMillisecondsToNow(ms, &te->when_sec, &te->when_ms);
    te->time_proc = proc;
    te->finalizer_proc = finalizer;
    te->client_data = client_data;
    te->next = el->timers;
    el->timers = te;
    return id;
}

int aeDeleteTimeEvent(aeEventLoop *el, long long id) {
    for (aeTimer **link = &el->timers; *link != nullptr; link = &(*link)->next) {
        aeTimer *te = *link;
        if (te->id != id) continue;
        *link = te->next;
        if (te->finalizer_proc) te->finalizer_proc(el, te->client_data);
        zfree(te);
        return 0;
    }
    return -1;
}

static aeTimer *aeFindTimer(aeEventLoop *el, long long id) {
    for (aeTimer *te = el->timers; te != nullptr; te = te->next)
        if (te->id == id) return te;
    return nullptr;
}

// Milliseconds until the nearest timer is due (0 when overdue), or -1 with no timer.
static int aeMsUntilNearestTimer(aeEventLoop *el) {
    aeTimer *nearest = nullptr;
    for (aeTimer *te = el->timers; te != nullptr; te = te->next) {
        if (nearest == nullptr || te->when_sec < nearest->when_sec ||
            (te->when_sec == nearest->when_sec && te->when_ms < nearest->when_ms))
            nearest = te;
    }
    if (nearest == nullptr) return -1;
    long now_sec, now_ms;
    aeGetTime(&now_sec, &now_ms);
    long long sec = nearest->when_sec - now_sec;
    long long ms = nearest->when_ms - now_ms;
    if (ms < 0) {
        sec--;
        ms += 1000;
    }
    if (sec < 0) sec = 0;
    if (ms < 0) ms = 0;
    long long total = sec * 1000 + ms;
    return total > INT_MAX ? INT_MAX : static_cast<int>(total);
}

static int aeProcessTimers(aeEventLoop *el, long long cutoff) {
    int processed = 0;
    unsigned long long pass = ++el->timer_pass;
    aeTimer *te = el->timers;
    while (te != nullptr) {
        if (te->id >= cutoff || te->last_pass == pass) {
            te = te->next;
            continue;
        }
        long now_sec, now_ms;
        aeGetTime(&now_sec, &now_ms);
        if (now_sec < te->when_sec || (now_sec == te->when_sec && now_ms < te->when_ms)) {
            te = te->next;
            continue;
        }
        long long id = te->id;
        te->last_pass = pass;
        int r = te->time_proc(el, id, te->client_data);
        processed++;
        // The procedure may have deleted its own timer: look it up again.
        aeTimer *again = aeFindTimer(el, id);
        if (again != nullptr) {
            if (r == AE_TIMER_STOP)
                aeDeleteTimeEvent(el, id);
            else  // a period below 1 ms would make the timer due again at once
                aeAddMillisecondsToNow(r < 1 ? 1 : r, &again->when_sec, &again->when_ms);
        }
        te = el->timers;
    }
    return processed;
}

static int aeProcessReady(aeEventLoop *el, int numevents) {
    for (int j = 0; j < numevents; j++) {
        int fd = el->ready[j].fd;
        int mask = el->ready[j].mask;
        // Read afresh: an earlier handler may have removed or changed it.
        const aeFileHandler *fe = &el->file_events[fd];
        if (fe->mask & mask & AE_MASK_READ) {
            fe->read_proc(el, fd, fe->client_data, mask);
            if ((mask & AE_MASK_WRITE) && (fe->mask & AE_MASK_WRITE) &&
                fe->write_proc != fe->read_proc)
                fe->write_proc(el, fd, fe->client_data, mask);
        } else if (fe->mask & mask & AE_MASK_WRITE) {
            fe->write_proc(el, fd, fe->client_data, mask);
        }
    }
    return numevents;
}

int aeProcessEvents(aeEventLoop *el, int flags) {
    if (!(flags & AE_PROCESS_ALL)) return 0;
    // Timers created from here on, by file handlers or timers, wait for the next pass.
    long long cutoff = el->next_timer_id;
    bool files = (flags & AE_PROCESS_FILES) != 0;
    bool sleep_for_timers = (flags & AE_PROCESS_TIMERS) && !(flags & AE_PROCESS_NOWAIT);
    int processed = 0;
    if ((files && el->max_fd != -1) || sleep_for_timers) {
        int timeout = -1;
        if (sleep_for_timers) timeout = aeMsUntilNearestTimer(el);
        if ((flags & AE_PROCESS_NOWAIT) || el->dont_wait) timeout = 0;
        int n = aeApiPoll(el, timeout);
        if (files) processed = aeProcessReady(el, n);
    }
    if (flags & AE_PROCESS_TIMERS) processed += aeProcessTimers(el, cutoff);
    return processed;
}

void aeMain(aeEventLoop *el) {
    el->stop = 0;
    do {
        if (el->before_sleep != nullptr) el->before_sleep(el);
        aeProcessEvents(el, AE_PROCESS_ALL);
    } while (!el->stop);
}

int aeWait(int fd, int mask, int ms) {
    pollfd pfd{};
    pfd.fd = fd;
    if (mask & AE_MASK_READ) pfd.events |= POLLIN;
    if (mask & AE_MASK_WRITE) pfd.events |= POLLOUT;
    int r = poll(&pfd, 1, ms);
    if (r != 1) return r;
    int ready = 0;
    if (pfd.revents & POLLIN) ready |= AE_MASK_READ;
    if (pfd.revents & (POLLOUT | POLLERR | POLLHUP)) ready |= AE_MASK_WRITE;
    return ready;
}
