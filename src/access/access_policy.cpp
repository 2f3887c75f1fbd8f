#include "access/access_policy.h"

#include <unistd.h>

#include <algorithm>

#include "base/korvane_codes.h"
#include "peer/peer.h"

// -1 stands for an id the kernel did not give: it matches nothing.
template <typename Id>
static bool contains(const std::vector<Id> &ids, long id) {
    return id >= 0 && std::find(ids.begin(), ids.end(), static_cast<Id>(id)) != ids.end();
}

bool access_keeps_alive(const proc_match_t &m, const access_policy_t &policy) {
    if (policy.open) return true;
    auto owner = [&policy](uid_t uid) {
        return uid == 0 || uid == policy.owner_uid || contains(policy.products.users, uid);
    };
    auto group = [&policy](gid_t gid) { return contains(policy.products.groups, gid); };
    if (owner(m.ruid) && owner(m.uid) && owner(m.suid)) return true;
    for (gid_t gid : m.groups)
        if (group(gid)) return true;
    return group(m.rgid) && group(m.gid) && group(m.sgid);
}

bool access_listed_by_id(const access_list_t &list, const net_peer_t &peer) {
    if (contains(list.users, peer.uid) || contains(list.groups, peer.gid)) return true;
    for (int i = 0; peer.groups != nullptr && i < peer.ngroups; ++i)
        if (contains(list.groups, static_cast<long>(peer.groups[i]))) return true;
    return false;
}

bool access_listed(const access_list_t &list, const net_peer_t &peer) {
    if (access_listed_by_id(list, peer)) return true;
    if (peer.exe == nullptr) return false;
    for (const std::string &exe : list.executables)
        if (exe == peer.exe) return true;
    return false;
}

// A registration must declare the process that holds the socket: a peer
// whose credentials the kernel did not give matches nothing.
static bool declares_itself(const access_facts_t &f) {
    return f.peer->pid > 0 && f.declared_pid == f.peer->pid && f.declared_euid == f.peer->uid;
}

// Whether the peer is the current front UI's declared process: its pid, on
// a connection accepted no sooner than that process started. Unknown times
// leave the pid alone to tell.
static bool is_fui_process(const access_facts_t &f) {
    if (f.fui_pid <= 0 || f.peer->pid != f.fui_pid) return false;
    return f.fui_started_ns < 0 || f.peer->accepted_ns < 0 ||
           f.fui_started_ns <= f.peer->accepted_ns;
}

bool access_unchecked(const net_peer_t *peer, const access_policy_t &policy) {
    if (policy.open || peer == nullptr) return true;
    return peer->uid == 0 || (peer->uid > 0 && static_cast<uid_t>(peer->uid) == policy.owner_uid);
}

access_verdict_t access_decide(const access_facts_t &f, const access_policy_t &policy) {
    const access_verdict_t allow = {true, nullptr};
    if (access_unchecked(f.peer, policy)) return allow;
    const int uid = f.peer->uid;

    switch (f.type) {
        case KORVANE_REQ_SECSOFT_REGISTER:
        case KORVANE_REQ_SECSOFT_UNREGISTER:
        case KORVANE_REQ_SECSTAT_UPDATE:
        case KORVANE_REQ_SECSOFT_UPDATE:
            // The default product is what the front UIs start: only root,
            // or whom the policy names for it, may speak for its uuid.
            if (f.default_uuid) {
                if (!access_listed(policy.default_product, *f.peer))
                    return {false, kAccessRuleDefaultProduct};
            } else if (!access_listed(policy.products, *f.peer)) {
                return {false, kAccessRuleProducts};
            }
            // A product's uuid is its registrant's: another listed identity
            // may not report, update, unregister or register under it.
            if (f.owner_known &&
                (f.owner_uid != uid ||
                 (!f.owner_exe.empty() && (f.peer->exe == nullptr || f.owner_exe != f.peer->exe))))
                return {false, kAccessRuleProductOwner};
            return allow;
        case KORVANE_REQ_FUI_REGISTER:
            if (!policy.frontui.empty() && !access_listed(policy.frontui, *f.peer))
                return {false, kAccessRuleFrontUiListed};
            // The front UI shows the person at the screen their protection:
            // a background account must not hold that place.
            if (!seat_owned_by(f.seat, uid)) return {false, kAccessRuleFrontUiSession};
            // A body without both numbers is answered by the handler.
            if (f.declared && !declares_itself(f)) return {false, kAccessRuleFrontUiIdentity};
            // Taking over the current front UI's uuid would hand over its
            // configuration, to another user or to another process of its
            // own user while the declared one lives.
            if (f.fui_current && f.uuid == f.fui_uuid) {
                if (f.fui_euid != uid) return {false, kAccessRuleFrontUiUuid};
                if (f.fui_pid > 0 && !is_fui_process(f)) return {false, kAccessRuleFrontUiProcess};
            }
            return allow;
        case KORVANE_REQ_SAVE_FUICONF:
        case KORVANE_REQ_GET_FUICONF:
            if (f.fui_current && f.uuid == f.fui_uuid) {
                if (f.fui_euid != uid) return {false, kAccessRuleFrontUiConfig};
                if (f.fui_pid > 0 && !is_fui_process(f))
                    return {false, kAccessRuleFrontUiConfigProcess};
                return allow;
            }
            // A stored front UI that is not the current one: whose it is
            // cannot be told, so only the trusted reach its row. A uuid the
            // store does not know goes on and is answered as unknown.
            if (f.uuid_stored) return {false, kAccessRuleFrontUiConfig};
            return allow;
        default:
            return allow;
    }
}

static access_policy_t &current() {
    static access_policy_t policy = [] {
        access_policy_t p;
        p.owner_uid = geteuid();
        return p;
    }();
    return policy;
}

const access_policy_t &access_policy_current() {
    return current();
}

void access_policy_set(const access_policy_t &policy) {
    current() = policy;
}
