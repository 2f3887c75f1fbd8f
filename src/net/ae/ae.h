// A single-threaded readiness loop over epoll, with timers run between polls.
//
// Invariants: registrations are indexed by descriptor, 0 <= fd < set_size;
// max_fd is the highest descriptor with a non-zero mask, or -1. The loop owns
// its tables, timers and epoll state, never the descriptors or the handler
// data. Timers are due on the monotonic clock, so setting the system time
// does not move them. Only aeStop may be called from a signal handler.
#pragma once

#include <csignal>

struct aeEventLoop;

// Handler of one direction of a descriptor; mask is the ready mask of the pass.
typedef void aeFileProc(aeEventLoop *el, int fd, void *client_data, int mask);
// Timer procedure: the next period in milliseconds, or AE_TIMER_STOP.
typedef int aeTimeProc(aeEventLoop *el, long long id, void *client_data);
// Called with the timer's data when the timer is removed.
typedef void aeEventFinalizerProc(aeEventLoop *el, void *client_data);
typedef void aeBeforeSleepProc(aeEventLoop *el);

constexpr int AE_MASK_NONE = 0;
constexpr int AE_MASK_READ = 1;
constexpr int AE_MASK_WRITE = 2;

constexpr int AE_PROCESS_FILES = 1;
constexpr int AE_PROCESS_TIMERS = 2;
constexpr int AE_PROCESS_ALL = AE_PROCESS_FILES | AE_PROCESS_TIMERS;
constexpr int AE_PROCESS_NOWAIT = 4;

constexpr int AE_TIMER_STOP = -1;

struct aeFileHandler {
    int mask;  // AE_MASK_* bits; 0 = not registered
    aeFileProc *read_proc;
    aeFileProc *write_proc;
    void *client_data;  // one for both directions
};

struct aeTimer {
    long long id;
    long when_sec;  // monotonic seconds
    long when_ms;   // 0..999
    aeTimeProc *time_proc;
    aeEventFinalizerProc *finalizer_proc;  // may be null
    void *client_data;
    unsigned long long last_pass;  // timer pass in which it last ran; it runs once per pass
    aeTimer *next;
};

struct aeReadyEvent {
    int fd;
    int mask;
};

struct epoll_event;
struct aeEpollState {
    int epfd;
    struct epoll_event *events;  // set_size records handed to epoll_wait
};

struct aeEventLoop {
    int max_fd;
    int set_size;
    long long next_timer_id;
    aeFileHandler *file_events;  // set_size entries, indexed by descriptor
    aeReadyEvent *ready;         // set_size entries, the ready descriptors of a pass
    aeTimer *timers;             // newest first
    volatile sig_atomic_t stop;  // written by aeStop, possibly from a signal handler
    aeEpollState *backend;
    aeBeforeSleepProc *before_sleep;
    unsigned long long timer_pass;  // count of timer walks, for aeTimer::last_pass
    int dont_wait;                  // non-zero: passes poll without sleeping
};

// Null when set_size is not positive or on any allocation or epoll failure.
aeEventLoop *aeCreateEventLoop(int setsize);
// Registered descriptors are not closed and timers are not finalized.
void aeDeleteEventLoop(aeEventLoop *el);
void aeStop(aeEventLoop *el);
void aeMain(aeEventLoop *el);
// One pass: the number of file events handled plus timers run.
int aeProcessEvents(aeEventLoop *el, int flags);

// 0, or -1 when fd is outside 0..set_size-1 or epoll refuses it.
int aeCreateFileEvent(aeEventLoop *el, int fd, int mask, aeFileProc *proc, void *client_data);
void aeDeleteFileEvent(aeEventLoop *el, int fd, int mask);
int aeGetFileEvents(aeEventLoop *el, int fd);
// Like aeCreateFileEvent for one direction, but an existing registration for
// that direction is kept as it is (result 0).
int aeAddReadEvent(aeEventLoop *el, int fd, aeFileProc *proc, void *client_data);
int aeAddWriteEvent(aeEventLoop *el, int fd, aeFileProc *proc, void *client_data);
void aeDeleteReadEvent(aeEventLoop *el, int fd);
void aeDeleteWriteEvent(aeEventLoop *el, int fd);

// The timer id, or -1 when out of memory.
long long aeCreateTimeEvent(aeEventLoop *el, long long ms, aeTimeProc *proc, void *client_data,
                            aeEventFinalizerProc *finalizer);
// 0, or -1 when no timer has that id.
int aeDeleteTimeEvent(aeEventLoop *el, long long id);

// Part of the loop's interface that the daemon itself does not call, kept
// for code built on the loop: aeAddMillisecondsToNow, aeWait, aeGetApiName.
// Monotonic now plus ms, as seconds and milliseconds (0..999).
void aeAddMillisecondsToNow(long long ms, long *sec, long *msec);
// Whole seconds of CLOCK_MONOTONIC.
long aeGetMonoticNow();

// Waits up to ms for one descriptor: the ready AE_MASK_* bits, 0 on timeout, -1 on error.
int aeWait(int fd, int mask, int ms);
const char *aeGetApiName();
void aeSetBeforeSleepProc(aeEventLoop *el, aeBeforeSleepProc *proc);
// While set, every pass polls with a timeout of 0, as with AE_PROCESS_NOWAIT,
// but timers still run: for work left over that no descriptor will report,
// such as input already read and not yet handled.
void aeSetDontWait(aeEventLoop *el, int noWait);
