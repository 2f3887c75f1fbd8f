// Who may send which request. Both sockets are abstract (no file
// permissions), so the daemon itself decides, from the identity the kernel
// gave for each connection. Root and the daemon's own uid are trusted; any
// other local process may be hostile.
//
// access_decide is pure: the gate (handlers/access_gate.h) gathers the facts
// of one request and asks it; the policy comes from /etc/korvane/access.conf
// (access_config.h), or is the default one below when that file is absent.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

#include "base/proc_scan.h"
#include "base/seat.h"

struct net_peer_t;

// Peers named by a section of the policy file: a peer is listed when its
// uid is among `users`, its gid or one of its supplementary groups among
// `groups`, or its executable is one of `executables`.
struct access_list_t {
    std::vector<uid_t> users;
    std::vector<gid_t> groups;
    std::vector<std::string> executables;  // absolute, as /proc/<pid>/exe shows them

    bool empty() const { return users.empty() && groups.empty() && executables.empty(); }
};

struct access_policy_t {
    // mode = open: every request from everyone, as without a policy at all.
    bool open = false;
    // Trusted besides uid 0: the uid the daemon runs as, which can do
    // anything to it anyway.
    uid_t owner_uid = 0;
    // May send product requests (2000..2003) besides the trusted.
    access_list_t products;
    // When not empty, only these (and the trusted) may register a front UI.
    access_list_t frontui;
    // May send product requests for the default product's uuid besides the
    // trusted: named for it alone, since the front UIs start what it names.
    access_list_t default_product;
    // Connections one non-root uid may hold; 0 keeps the connection core's
    // default.
    int connections_per_uid = 0;
    // What the file asked for when it was more than a uid can hold (and so
    // more than connections_per_uid); 0 otherwise.
    int connections_per_uid_asked = 0;
};

// What the gate knows about one request.
struct access_facts_t {
    uint32_t type = 0;
    std::string uuid;
    // Null for a caller inside the daemon's own process (tests, fuzzers):
    // nothing but a connection has a peer, and such callers are trusted.
    const net_peer_t *peer = nullptr;
    // Front-UI registration: "pid" and "euid" of its body, when it has both.
    bool declared = false;
    int declared_pid = 0;
    int declared_euid = 0;
    // Front-UI registration: who owns the active session (base/seat.h).
    seat_owner_t seat;
    // The current front UI, when there is one.
    bool fui_current = false;
    std::string fui_uuid;
    int fui_euid = 0;
    // Its declared process while that is watched and alive, else -1: the
    // uuid then belongs to that process alone.
    int fui_pid = -1;
    // When that process started (CLOCK_BOOTTIME ns, to the clock tick), read
    // when the peer has its pid; -1 when unknown. A connection accepted
    // before then is another process's, one that has exited and whose pid
    // the front UI's process got since.
    long long fui_started_ns = -1;
    // Configuration requests: the store holds a front UI with `uuid`.
    bool uuid_stored = false;
    // Product requests: `uuid` is the default product's.
    bool default_uuid = false;
    // Product requests: who registered `uuid`, when it is known. An empty
    // `owner_exe` binds the uuid to the uid alone.
    bool owner_known = false;
    int owner_uid = -1;
    std::string owner_exe;
};

struct access_verdict_t {
    bool allow;
    const char *rule;  // the rule that refused; null when allowed
};

// Names of the rules, as the refusal's log line gives them.
constexpr const char *kAccessRuleProducts = "products";
constexpr const char *kAccessRuleProductOwner = "product-uuid-owner";
constexpr const char *kAccessRuleDefaultProduct = "default-product";
constexpr const char *kAccessRuleFrontUiListed = "frontui-listed";
constexpr const char *kAccessRuleFrontUiIdentity = "frontui-identity";
constexpr const char *kAccessRuleFrontUiSession = "frontui-session";
constexpr const char *kAccessRuleFrontUiUuid = "frontui-uuid-owner";
constexpr const char *kAccessRuleFrontUiProcess = "frontui-uuid-process";
constexpr const char *kAccessRuleFrontUiConfig = "frontui-config-owner";
constexpr const char *kAccessRuleFrontUiConfigProcess = "frontui-config-process";
// Not decided here (it asks the kernel): a front UI's registration for its
// own process once that process has exited (handlers/fui_handlers.cpp).
constexpr const char *kAccessRuleFrontUiExited = "frontui-process-exited";

access_verdict_t access_decide(const access_facts_t &facts, const access_policy_t &policy);

// Whether no rule applies: the policy is open, or the peer is in-process
// (null) or trusted.
bool access_unchecked(const net_peer_t *peer, const access_policy_t &policy);

// Whether a process running a product's program keeps that product alive:
// its real, effective and saved uids are each root's, the daemon's or
// listed by uid in [products], or it is in a listed group (a supplementary
// group, or real, effective and saved gids all listed); in open mode any.
// So a setuid or setgid program that another user started (su waiting for
// a password) never counts, and neither does a user running a copy of the
// program or a listed executable, which anyone may run.
bool access_keeps_alive(const proc_match_t &process, const access_policy_t &policy);

// Whether the peer is named by the list.
bool access_listed(const access_list_t &list, const net_peer_t &peer);
// Whether the list names the peer's uid or one of its groups (not only its
// executable).
bool access_listed_by_id(const access_list_t &list, const net_peer_t &peer);

// The policy the gate applies; until access_policy_set it is the default
// with the process's own euid as owner.
const access_policy_t &access_policy_current();
void access_policy_set(const access_policy_t &policy);
