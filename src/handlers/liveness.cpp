// Watching products' programs and the current front UI's process.
//
// Invariants: `products` holds every stored product but the default one;
// a product is `alive` only while `watched`; `missing_since` is meaningful
// only for a watched product that is not alive. Every pidfd in `pidfds` is
// registered for reading in the loop and closed when it fires or at
// uninit. A scan never changes anything when /proc cannot be read: a
// failure to look is not a product gone.
#include "handlers/liveness.h"

#include <errno.h>
#include <poll.h>
#include <string.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <map>
#include <set>
#include <vector>

#include "access/access_policy.h"
#include "base/proc_scan.h"
#include "base/vk_clock.h"
#include "handlers/handler_util.h"
#include "handlers/handlers.h"
#include "handlers/health.h"
#include "peer/peer.h"

#define LOG Singleton<MyLog>::Instance()->Write

#ifndef SYS_pidfd_open
#define SYS_pidfd_open 434
#endif

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
};

struct State {
    aeEventLoop *el = nullptr;
    liveness_config_t config;
    std::string procdir = "/proc";
    std::map<std::string, Product> products;
    std::map<int, int> pidfds;  // pid -> pidfd, products' processes
    long long timer = -1;
    bool scanning = false;
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

int open_pidfd(int pid) {
    if (pid <= 0) return -1;
    return static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
}

const char *name_of(const std::string &uuid, const Product &p) {
    return p.name.empty() ? uuid.c_str() : p.name.c_str();
}

// Whether the process may speak as a product: only then does it keep one
// alive, so that a user running a copy of a program proves nothing.
bool may_speak_as_product(const proc_match_t &m) {
    net_peer_t peer;
    peer.pid = m.pid;
    peer.uid = static_cast<int>(m.uid);
    peer.gid = static_cast<int>(m.gid);
    peer.exe = const_cast<char *>(m.exe.c_str());
    // Read only by the policy; no copy on this per-process path.
    peer.groups = const_cast<gid_t *>(m.groups.data());
    peer.ngroups = static_cast<int>(m.groups.size());
    const access_policy_t &policy = access_policy_current();
    return access_unchecked(&peer, policy) || access_listed(policy.products, peer);
}

void scan();
void schedule();

void pidfd_fired(aeEventLoop *el, int fd, void *data, int) {
    // The descriptor may have been closed and reused by another handler.
    if (aeGetFileEvents(el, fd) == AE_MASK_NONE) return;
    const int pid = static_cast<int>(reinterpret_cast<intptr_t>(data));
    aeDeleteFileEvent(el, fd, AE_MASK_READ);
    close(fd);
    g.pidfds.erase(pid);
    scan();
}

void watch_pid(int pid) {
    if (g.pidfds.count(pid) != 0 || g.pidfds.size() >= kLivenessMaxPidfds) return;
    int fd = open_pidfd(pid);
    if (fd < 0) return;  // gone already, or no pidfds: the timer still looks
    if (aeCreateFileEvent(g.el, fd, AE_MASK_READ, pidfd_fired,
                          reinterpret_cast<void *>(static_cast<intptr_t>(pid))) != 0) {
        close(fd);
        return;
    }
    g.pidfds[pid] = fd;
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

// One look at /proc: products whose program runs become watched and alive,
// watched ones whose program runs nowhere start their grace, and those
// past it are lost.
void scan() {
    if (g.scanning || g.el == nullptr || !g.config.failover) return;
    g.scanning = true;
    std::vector<proc_program_t> programs;
    std::map<std::string, size_t> index;  // program path -> programs[]
    std::vector<std::vector<std::string>> owners;
    for (auto &entry : g.products) {
        Product &p = entry.second;
        if (!resolve(p)) continue;
        auto it = index.find(p.program.path);
        if (it == index.end()) {
            it = index.emplace(p.program.path, programs.size()).first;
            programs.push_back(p.program);
            owners.emplace_back();
        }
        owners[it->second].push_back(entry.first);
    }
    std::vector<proc_match_t> matches;
    std::string error;
    if (!programs.empty() && proc_scan(g.procdir.c_str(), programs, matches, kLivenessMaxProcs,
                                       error, may_speak_as_product) < 0) {
        if (!g.scan_failed) LOG(ERROR, "liveness: cannot look at processes,%s", error.c_str());
        g.scan_failed = true;
        g.scanning = false;
        return;
    }
    g.scan_failed = false;

    std::map<std::string, int> running;  // uuid -> a pid running its program
    for (const proc_match_t &m : matches) {
        for (const std::string &uuid : owners[m.program]) running.emplace(uuid, m.pid);
        watch_pid(m.pid);
    }

    const long long now = vk_clock_now_ms();
    std::vector<std::string> lost;
    for (auto &entry : g.products) {
        const std::string &uuid = entry.first;
        Product &p = entry.second;
        auto run = running.find(uuid);
        if (run != running.end()) {
            p.expected_since = -1;
            if (!p.watched || !p.alive) {
                LOG(INFO, "product %s (%s) %s: %s runs in pid %d", uuid.c_str(), name_of(uuid, p),
                    p.watched ? "runs again" : "watched", p.program.path.c_str(), run->second);
                p.watched = true;
                p.alive = true;
                persist(uuid, p);
            }
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
    g.scanning = false;

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
    schedule();
}

// How long until the next look: the period, or less when a missing
// product's grace ends sooner.
long long next_wait() {
    long long next = kLivenessPeriodMs;
    const long long now = vk_clock_now_ms();
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
        long long left = since + g.config.grace * 1000LL - now;
        if (left < next) next = left < 10 ? 10 : left;
    }
    return next;
}

int timer_fired(aeEventLoop *, long long, void *) {
    g.in_timer = true;
    scan();
    g.in_timer = false;
    return static_cast<int>(next_wait());
}

// Arms the timer anew after a look outside it, which may have started a
// grace that ends before the timer's next run.
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
    int fd = pidfd >= 0 ? pidfd : open_pidfd(pid);
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
    liveness_default_follow();
    scan();
    if (g.timer < 0) schedule();
    return g.timer >= 0 ? 0 : -1;
}

void MoxLivenessUninit() {
    forget_pidfds();
    unwatch_frontui();
    if (g.el != nullptr && g.timer >= 0) aeDeleteTimeEvent(g.el, g.timer);
    g.timer = -1;
    g.products.clear();
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
    resolve(p);
    scan();
    auto it = g.products.find(info.uuid);
    if (it == g.products.end() || it->second.watched) return;
    LOG(WARNING, "product %s (%s) is not watched: no process runs %s", info.uuid.c_str(),
        name_of(info.uuid, it->second), info.exec.c_str());
    persist(info.uuid, it->second);
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
    resolve(p);
    g.products[kDefSecSoftUuid] = p;
    scan();
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
    scan();
}

long long liveness_next_wait_ms() {
    return g.el != nullptr && g.config.failover ? next_wait() : -1;
}
