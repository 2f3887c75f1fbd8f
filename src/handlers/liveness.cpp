// Watching products' programs and the current front UI's process.
//
// Invariants: `products` holds every stored product but the default one;
// a product is `alive` only while `watched`; `missing_since` is meaningful
// only for a watched product that is not alive; every pid in a product's
// `pids` has its pidfd in `pidfds`. Every pidfd in `pidfds` is registered
// for reading in the loop and closed when it fires, when a look finds no
// product's program in its process, or at uninit. A look never changes
// anything when /proc cannot be read: a failure to look is not a product
// gone. A look walks /proc in slices of the loop's timer, at most
// kLivenessSliceUs each; looks begin at most once per kLivenessPeriodMs,
// sooner only for a product that registers; a watched process's exit
// touches only the products it ran and never starts a look.
#include "handlers/liveness.h"

#include <errno.h>
#include <poll.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <map>
#include <set>
#include <vector>

#include "access/access_policy.h"
#include "base/pidfd_open.h"
#include "base/proc_scan.h"
#include "base/vk_clock.h"
#include "handlers/handler_util.h"
#include "handlers/handlers.h"
#include "handlers/health.h"
#include "peer/peer.h"

#define LOG Singleton<MyLog>::Instance()->Write

namespace {

struct Product {
    std::string name;
    std::string exec;
    proc_program_t program;
    bool resolved = false;
    bool watched = false;
    bool alive = false;
    long long missing_since = 0;  // vk_clock_now_ms
    // The default product while it is the active one: watched like any
    // product, but never unregistered on its behalf (the front UIs start
    // it); past the grace it is overdue instead.
    bool is_default = false;
    // Told to start (1503) at this time and not seen running since: its
    // program has the grace to appear. -1 when nothing is expected.
    long long expected_since = -1;
    // Processes the last look saw running its program, each watched by a
    // pidfd, less those that exited since; `unwatched` more seen without
    // one (past kLivenessMaxPidfds), which keep it alive until the next look.
    std::set<int> pids;
    size_t unwatched = 0;
    // Registered or changed since the last look, which tells whether it is
    // watched (and logs it when not).
    bool fresh = false;
};

// A look at /proc: begun with the products of that moment, walked in
// slices, judged when the walk ends.
struct Look {
    proc_walk_t *walk = nullptr;
    std::vector<proc_program_t> programs;
    std::vector<std::vector<std::string>> owners;  // programs[i] -> uuids
    std::map<std::string, std::string> looked;     // uuid -> exec when it began
    std::vector<proc_match_t> matches;
};

struct Looks {
    Look now;
    bool running = false;
    bool wanted = false;                   // a product registered: a look as soon as possible
    long long last_began = LLONG_MIN / 2;  // vk_clock_now_ms; long ago
};

struct State {
    aeEventLoop *el = nullptr;
    liveness_config_t config;
    std::string procdir = "/proc";
    std::map<std::string, Product> products;
    std::map<int, int> pidfds;  // pid -> pidfd, products' processes
    long long timer = -1;
    bool in_timer = false;     // the timer's own run sets its next period
    bool scan_failed = false;  // logged once until a scan works again
    // The current front UI's declared process.
    std::string fui_uuid;
    int fui_pid = -1;
    int fui_fd = -1;
    // The default product's mark when last followed (0: not active).
    int default_mark = 0;
};

State g;
Looks g_look;

// Process directories examined between two looks at the clock.
constexpr size_t kSliceProcs = 32;

const char *name_of(const std::string &uuid, const Product &p) {
    return p.name.empty() ? uuid.c_str() : p.name.c_str();
}

void forget_pidfds() {
    for (auto &entry : g.pidfds) {
        if (g.el != nullptr) aeDeleteFileEvent(g.el, entry.second, AE_MASK_READ);
        close(entry.second);
    }
    g.pidfds.clear();
}

// Resolved again at each look: an upgrade may point a link at a new
// version. A program that no longer resolves keeps the path it had, since
// its process may still run the deleted file.
bool resolve(Product &p) {
    std::string error;
    proc_program_t now;
    if (proc_resolve_program(p.exec, now, error) == 0) {
        p.program = now;
        p.resolved = true;
    }
    return p.resolved;
}

void persist(const std::string &uuid, const Product &p) {
    store()->SetSecSoftLiveness(uuid, p.watched, p.watched ? (p.alive ? 1 : 0) : -1);
    health_facts_changed();
}

// The filter of every look: only a real owner's process keeps a product
// alive (access_keeps_alive).
bool keeps_alive(const proc_match_t &m) {
    return access_keeps_alive(m, access_policy_current());
}

void schedule();

void pidfd_fired(aeEventLoop *el, int fd, void *data, int) {
    // The descriptor may have been closed and reused by another handler.
    if (aeGetFileEvents(el, fd) == AE_MASK_NONE) return;
    const int pid = static_cast<int>(reinterpret_cast<intptr_t>(data));
    aeDeleteFileEvent(el, fd, AE_MASK_READ);
    close(fd);
    g.pidfds.erase(pid);
    // Only the products that process ran: one whose last known process it
    // was starts its grace; whether another process runs it now, the next
    // look tells.
    const long long now = vk_clock_now_ms();
    for (auto &entry : g.products) {
        Product &p = entry.second;
        if (p.pids.erase(pid) == 0 || !p.pids.empty() || p.unwatched > 0) continue;
        if (!p.watched || !p.alive) continue;
        p.alive = false;
        p.missing_since = now;
        LOG(INFO, "product %s (%s): no process of %s,lost in %d s unless one comes back",
            entry.first.c_str(), name_of(entry.first, p), p.exec.c_str(), g.config.grace);
        persist(entry.first, p);
    }
    schedule();
}

void end_walk() {
    proc_walk_close(g_look.now.walk);
    g_look.now.walk = nullptr;
    g_look.running = false;
}

void begin_look() {
    end_walk();
    Look &l = g_look.now;
    l = Look();
    g_look.last_began = vk_clock_now_ms();
    g_look.wanted = false;
    std::map<std::string, size_t> index;  // program path -> programs[]
    for (auto &entry : g.products) {
        Product &p = entry.second;
        l.looked[entry.first] = p.exec;
        if (!resolve(p)) continue;
        auto it = index.find(p.program.path);
        if (it == index.end()) {
            it = index.emplace(p.program.path, l.programs.size()).first;
            l.programs.push_back(p.program);
            l.owners.emplace_back();
        }
        l.owners[it->second].push_back(entry.first);
    }
    if (!l.programs.empty()) {
        std::string error;
        l.walk = proc_walk_open(g.procdir.c_str(), error);
        if (l.walk == nullptr) {
            if (!g.scan_failed) LOG(ERROR, "liveness: cannot look at processes,%s", error.c_str());
            g.scan_failed = true;
            return;
        }
    }
    g_look.running = true;
}

enum Seen { kSeenWatched, kSeenUnwatched, kSeenGone };

// A process the walk saw running `program`: watched by a pidfd, opened
// now unless held, and looked at again once it is open, so that the pidfd
// is of a process that runs it (the one seen may have ended and its pid
// been reused since).
Seen watch_seen(int pid, const proc_program_t &program) {
    if (g.pidfds.count(pid) != 0) return kSeenWatched;
    if (g.pidfds.size() >= kLivenessMaxPidfds) return kSeenUnwatched;
    int fd = vk_pidfd_open(pid);
    if (fd < 0) return errno == ESRCH ? kSeenGone : kSeenUnwatched;
    std::vector<proc_match_t> again;
    std::string error;
    const int r = proc_scan_pid(g.procdir.c_str(), pid, {program}, again, error, keeps_alive);
    // Not to be read again: counted as the walk saw it, without a pidfd.
    const Seen seen = r == 0 ? kSeenGone : r < 0 ? kSeenUnwatched : kSeenWatched;
    if (seen == kSeenWatched &&
        aeCreateFileEvent(g.el, fd, AE_MASK_READ, pidfd_fired,
                          reinterpret_cast<void *>(static_cast<intptr_t>(pid))) == 0) {
        g.pidfds[pid] = fd;
        return kSeenWatched;
    }
    close(fd);
    return seen == kSeenWatched ? kSeenUnwatched : seen;
}

// The walk has ended: products whose program runs become watched and
// alive, watched ones whose program runs nowhere start their grace, and
// those past it are lost. Only products as they were when the look began
// are judged.
void finish_look() {
    Look l = std::move(g_look.now);
    g_look.now = Look();
    proc_walk_close(l.walk);
    g_look.running = false;
    g.scan_failed = false;

    std::map<std::string, std::set<int>> pids;
    std::map<std::string, size_t> unwatched;
    std::map<std::string, int> first;  // uuid -> a pid running its program
    for (const proc_match_t &m : l.matches) {
        const Seen seen = watch_seen(m.pid, l.programs[m.program]);
        if (seen == kSeenGone) continue;
        for (const std::string &uuid : l.owners[m.program]) {
            if (seen == kSeenWatched)
                pids[uuid].insert(m.pid);
            else
                ++unwatched[uuid];
            first.emplace(uuid, m.pid);
        }
    }

    const long long now = vk_clock_now_ms();
    std::vector<std::string> lost;
    for (auto &entry : g.products) {
        const std::string &uuid = entry.first;
        Product &p = entry.second;
        auto looked = l.looked.find(uuid);
        if (looked == l.looked.end() || looked->second != p.exec) continue;
        p.pids = pids[uuid];
        p.unwatched = unwatched[uuid];
        const bool fresh = p.fresh;
        p.fresh = false;
        auto run = first.find(uuid);
        if (run != first.end()) {
            p.expected_since = -1;
            if (!p.watched || !p.alive) {
                LOG(INFO, "product %s (%s) %s: %s runs in pid %d", uuid.c_str(), name_of(uuid, p),
                    p.watched ? "runs again" : "watched", p.program.path.c_str(), run->second);
                p.watched = true;
                p.alive = true;
                persist(uuid, p);
            }
        } else if (fresh) {
            LOG(WARNING, "product %s (%s) is not watched: no process runs %s", uuid.c_str(),
                name_of(uuid, p), p.exec.c_str());
        } else if (p.watched && p.alive) {
            p.alive = false;
            p.missing_since = now;
            LOG(INFO, "product %s (%s): no process of %s,lost in %d s unless one comes back",
                uuid.c_str(), name_of(uuid, p), p.exec.c_str(), g.config.grace);
            persist(uuid, p);
        } else if (p.expected_since >= 0 && !p.watched &&
                   now - p.expected_since >= g.config.grace * 1000LL) {
            // Told to start and never seen: as missing since then.
            p.watched = true;
            p.alive = false;
            p.missing_since = p.expected_since;
            p.expected_since = -1;
            LOG(WARNING, "default product %s (%s): told to start %d s ago,no process of %s runs",
                uuid.c_str(), name_of(uuid, p), g.config.grace, p.exec.c_str());
            persist(uuid, p);
        } else if (p.watched && !p.is_default && now - p.missing_since >= g.config.grace * 1000LL) {
            lost.push_back(uuid);
        }
    }

    // Processes that run no product's program any more.
    std::set<int> kept;
    for (const auto &entry : g.products)
        kept.insert(entry.second.pids.begin(), entry.second.pids.end());
    for (auto it = g.pidfds.begin(); it != g.pidfds.end();) {
        if (kept.count(it->first) != 0) {
            ++it;
            continue;
        }
        aeDeleteFileEvent(g.el, it->second, AE_MASK_READ);
        close(it->second);
        it = g.pidfds.erase(it);
    }

    for (const std::string &uuid : lost) {
        auto it = g.products.find(uuid);
        if (it == g.products.end()) continue;
        Product p = it->second;
        g.products.erase(it);
        LOG(WARNING, "product %s (%s) lost: no process of %s for %d s, unregistered on its behalf",
            uuid.c_str(), name_of(uuid, p), p.exec.c_str(), g.config.grace);
        secsoft_unregister_lost(uuid);
        health_facts_changed();
    }
}

// One slice of the look in progress, of at most `budget_us` (checked
// every kSliceProcs process directories); true once the look has ended.
bool step_look(int64_t budget_us) {
    if (!g_look.running) return true;
    Look &l = g_look.now;
    const int64_t start = vk_clock_real_us();
    while (l.walk != nullptr) {
        bool done = false;
        std::string error;
        if (proc_walk_step(l.walk, l.programs, l.matches, kSliceProcs, done, error, keeps_alive) <
            0) {
            if (!g.scan_failed) LOG(ERROR, "liveness: cannot look at processes,%s", error.c_str());
            g.scan_failed = true;
            end_walk();
            return true;
        }
        if (done) break;
        if (vk_clock_real_us() - start >= budget_us) return false;
    }
    finish_look();
    return true;
}

// A look as soon as possible, for a product that registered.
void request_look() {
    g_look.wanted = true;
    if (!g_look.running) schedule();
}

// How long until the timer's next run: the next slice of a look in
// progress or asked for; else one period after the last look began, or,
// when a grace ends within the period after that, that grace's end, so
// that a loss is decided at its grace's end while looks stay a period
// apart.
long long next_wait() {
    if (g_look.running || g_look.wanted) return 1;
    const long long now = vk_clock_now_ms();
    const long long floor = g_look.last_began + kLivenessPeriodMs;
    long long grace_end = LLONG_MAX;
    bool before_floor = false;
    for (const auto &entry : g.products) {
        const Product &p = entry.second;
        long long since;
        if (p.expected_since >= 0 && !p.watched)
            since = p.expected_since;
        else if (p.watched && !p.alive &&
                 !(p.is_default && now - p.missing_since >= g.config.grace * 1000LL))
            since = p.missing_since;
        else
            continue;
        const long long end = since + g.config.grace * 1000LL;
        if (end < floor)
            before_floor = true;
        else
            grace_end = std::min(grace_end, end);
    }
    long long next = floor;
    if (!before_floor && grace_end < floor + kLivenessPeriodMs) next = grace_end;
    return next - now < 1 ? 1 : next - now;
}

int timer_fired(aeEventLoop *, long long, void *) {
    g.in_timer = true;
    if (!g_look.running) begin_look();
    step_look(kLivenessSliceUs);
    g.in_timer = false;
    return static_cast<int>(next_wait());
}

// Arms the timer anew after a change outside it: a look asked for, or a
// grace begun that may end before the timer's next run.
void schedule() {
    if (g.el == nullptr || !g.config.failover || g.in_timer) return;
    if (g.timer >= 0) aeDeleteTimeEvent(g.el, g.timer);
    g.timer = aeCreateTimeEvent(g.el, next_wait(), timer_fired, nullptr, nullptr);
}

void unwatch_frontui() {
    if (g.fui_fd >= 0) {
        if (g.el != nullptr) aeDeleteFileEvent(g.el, g.fui_fd, AE_MASK_READ);
        close(g.fui_fd);
    }
    g.fui_fd = -1;
    g.fui_pid = -1;
    g.fui_uuid.clear();
}

void frontui_exited(aeEventLoop *el, int fd, void *, int) {
    if (aeGetFileEvents(el, fd) == AE_MASK_NONE || fd != g.fui_fd) return;
    std::string uuid = g.fui_uuid;
    int pid = g.fui_pid;
    unwatch_frontui();
    if (store()->ForgetFrontUI(uuid) == kMoxOk)
        LOG(INFO, "frontUI %s: its process %d ended,it is no longer the current one", uuid.c_str(),
            pid);
}

// `pidfd`, when not -1, is the declared process's, pinned by the caller,
// and is taken over; else the pid is opened.
void watch_frontui(const std::string &uuid, int pid, int pidfd = -1) {
    unwatch_frontui();
    if (g.el == nullptr) {
        if (pidfd >= 0) close(pidfd);
        return;
    }
    int fd = pidfd >= 0 ? pidfd : vk_pidfd_open(pid);
    if (fd < 0) {
        LOG(INFO, "frontUI %s: pid %d names no process,not watched", uuid.c_str(), pid);
        return;
    }
    if (aeCreateFileEvent(g.el, fd, AE_MASK_READ, frontui_exited, nullptr) != 0) {
        close(fd);
        return;
    }
    g.fui_fd = fd;
    g.fui_pid = pid;
    g.fui_uuid = uuid;
}

}  // namespace

int MoxLivenessInit(aeEventLoop *el, const liveness_config_t &config, const char *procdir) {
    MoxLivenessUninit();
    g.el = el;
    g.config = config;
    g.procdir = procdir != nullptr ? procdir : "/proc";

    // The stored front UI is current only while its process lives.
    CFrontUIInfo fui;
    if (store()->Get(fui) == kMoxOk) {
        long euid = proc_euid(g.procdir.c_str(), fui.pid);
        if (euid < 0 || euid != fui.euid) {
            store()->ForgetFrontUI(fui.uuid);
            LOG(INFO, "frontUI %s: no process %d of euid %d runs,it is not the current one",
                fui.uuid.c_str(), fui.pid, fui.euid);
        } else {
            watch_frontui(fui.uuid, fui.pid);
        }
    }

    if (!config.failover) {
        LOG(INFO, "liveness: off,products are not watched");
        return 0;
    }
    std::vector<CSecSoftInfo> stored;
    store()->ListSecSofts(stored);
    const long long now = vk_clock_now_ms();
    for (const CSecSoftInfo &info : stored) {
        Product p;
        p.name = info.name;
        p.exec = info.exec;
        CSecSoftState state;
        state.uuid = info.uuid;
        // Watched before the restart: its grace starts now.
        p.watched = store()->GetSecSoftState(state) == kMoxOk && state.watched;
        p.missing_since = now;
        resolve(p);
        g.products[info.uuid] = p;
    }
    LOG(INFO, "liveness: failover after %d s,%d products known", config.grace,
        static_cast<int>(g.products.size()));
    g.default_mark = 0;
    g_look = Looks();
    liveness_default_follow();
    request_look();
    return g.timer >= 0 ? 0 : -1;
}

void MoxLivenessUninit() {
    forget_pidfds();
    unwatch_frontui();
    if (g.el != nullptr && g.timer >= 0) aeDeleteTimeEvent(g.el, g.timer);
    g.timer = -1;
    g.products.clear();
    end_walk();
    g_look = Looks();
    g.el = nullptr;
}

void liveness_secsoft_registered(const CSecSoftInfo &info) {
    if (g.el == nullptr || !g.config.failover || info.uuid == kDefSecSoftUuid) return;
    Product &p = g.products[info.uuid];
    const bool same = p.exec == info.exec && p.watched;
    p.name = info.name;
    if (same) return;  // the same program, already watched
    p = Product();
    p.name = info.name;
    p.exec = info.exec;
    // Not watched until a look finds its program; that look logs it when
    // it does not.
    p.fresh = true;
    persist(info.uuid, p);
    request_look();
}

void liveness_default_follow() {
    if (g.el == nullptr || !g.config.failover) return;
    CSecSoftInfo def;
    const bool active = store()->CurrentSecSoft() == kDefSecSoftUuid &&
                        store()->GetDefSecSoft(def) == kMoxOk &&
                        (def.status == 1 || def.status == 2);
    auto it = g.products.find(kDefSecSoftUuid);
    if (!active) {
        g.default_mark = 0;
        if (it != g.products.end()) {
            g.products.erase(it);
            health_facts_changed();
        }
        return;
    }
    const bool started = def.status == 2 && g.default_mark != 2;
    g.default_mark = def.status;
    if (it != g.products.end() && it->second.exec == def.exec && !started) return;
    Product p;
    p.name = def.name;
    p.exec = def.exec;
    p.is_default = true;
    if (started) p.expected_since = vk_clock_now_ms();
    g.products[kDefSecSoftUuid] = p;
    request_look();
    health_facts_changed();
}

bool liveness_secsoft_overdue(const std::string &uuid) {
    auto it = g.products.find(uuid);
    if (it == g.products.end()) return false;
    const Product &p = it->second;
    return p.watched && !p.alive && vk_clock_now_ms() - p.missing_since >= g.config.grace * 1000LL;
}

void liveness_secsoft_removed(const std::string &uuid) {
    g.products.erase(uuid);
}

void liveness_frontui_registered(const CFrontUIInfo &info, int pidfd) {
    // A pinned process replaces the watch even under the same uuid and pid:
    // the watched one may have exited unnoticed so far.
    if (pidfd < 0 && info.uuid == g.fui_uuid && info.pid == g.fui_pid) return;
    watch_frontui(info.uuid, info.pid, pidfd);
}

int liveness_secsoft_alive(const std::string &uuid) {
    auto it = g.products.find(uuid);
    if (it == g.products.end() || !it->second.watched) return -1;
    return it->second.alive ? 1 : 0;
}

int liveness_frontui_pid(const std::string &uuid) {
    if (g.fui_fd < 0 || uuid != g.fui_uuid) return -1;
    // A pidfd becomes readable when its process exits: the loop may not
    // have handled that yet.
    struct pollfd p = {g.fui_fd, POLLIN, 0};
    if (poll(&p, 1, 0) != 0) return -1;
    return g.fui_pid;
}

void liveness_scan_now() {
    if (g.el == nullptr || !g.config.failover) return;
    begin_look();
    step_look(INT64_MAX);
    schedule();
}

long long liveness_next_wait_ms() {
    return g.el != nullptr && g.config.failover ? next_wait() : -1;
}
