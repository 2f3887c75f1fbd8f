// Liveness: a product counts while a process runs its program, a front UI
// while the process it declared lives.
//
// A product is watched from the first moment a process of a real owner
// (real, effective and saved uids all root's or listed in access.conf's
// [products], or a member of a listed group) runs its "exec" (a script: its
// own interpreter, with the script's path where the "#!" line puts it). A
// watched product whose program then runs in no such process for `grace`
// seconds is lost and unregistered on its behalf. A product whose program
// runs nowhere when it registers is not watched, so that a wrong "exec"
// never causes a failover. /proc is looked at every kLivenessPeriodMs (at
// a grace's end when that falls within the next period) and as soon as
// possible when a product registers, each look walked in slices of at most
// kLivenessSliceUs on the loop's timer. A process known to run a program
// is watched by a pidfd: its exit touches only the products it ran, and
// one left with no known process starts its grace. Grace and period are
// reckoned on vk_clock_now_ms (base/vk_clock.h), which gives the wait the
// loop's timer is armed for.
//
// The current front UI is forgotten when its declared process exits.
// A front UI registered from its own process is watched through a pidfd
// taken from its connection, never by its pid number.
//
// Everything here runs on the event loop's thread.
#pragma once

#include <string>

#include "db/records.h"
#include "net/ae/ae.h"

constexpr int kLivenessPeriodMs = 5000;
// The loop's time given to a look at /proc between two passes.
constexpr long long kLivenessSliceUs = 2000;
// Processes looked at in one scan of /proc, and pidfds held at most.
constexpr size_t kLivenessMaxProcs = 1u << 20;
constexpr size_t kLivenessMaxPidfds = 256;

struct liveness_config_t {
    bool failover = true;  // false: products are never watched
    int grace = 30;        // seconds
};

// Starts watching on `el`: the stored products (those watched before the
// restart stay watched) and the current front UI, which is forgotten at
// once unless a process with its pid and euid exists. `procdir` is "/proc"
// but for tests. 0, or -1 when the timer cannot be created.
int MoxLivenessInit(aeEventLoop *el, const liveness_config_t &config,
                    const char *procdir = "/proc");
void MoxLivenessUninit();

// Hooks of the request handlers.
void liveness_secsoft_registered(const CSecSoftInfo &info);
void liveness_secsoft_removed(const std::string &uuid);
// After a product request or a loss: the default product is watched while
// it is the active one (registered itself, or told to start, when its
// program has the grace to appear), never unregistered on its behalf.
void liveness_default_follow();
// Whether the product's program has run nowhere for the whole grace (the
// default product, which is never unregistered for it).
bool liveness_secsoft_overdue(const std::string &uuid);
// The current front UI is now `info`. `pidfd` is its process pinned when
// the registration came from that very process (taken over: the watch
// keeps it after the connection closes, as long as the process lives);
// -1 when it was registered on behalf of another pid, which is then
// opened by number.
void liveness_frontui_registered(const CFrontUIInfo &info, int pidfd = -1);

// 1 a process runs the product's program, 0 it is watched and none does,
// -1 it is not watched.
int liveness_secsoft_alive(const std::string &uuid);
// The pid of the front UI `uuid` while it is the one watched and its
// process has not exited (even if the exit is not handled yet); -1 when
// it is not watched or its process has gone.
int liveness_frontui_pid(const std::string &uuid);

// For tests on a fake clock: looks at /proc now, a whole look at once
// (dropping one in progress), as the timer would, and arms the timer anew;
// and the milliseconds until the timer's next run, -1 while products are not
// watched.
void liveness_scan_now();
long long liveness_next_wait_ms();
