// The access decision, one row per rule and per way around it: who sends
// (root, the daemon's own uid, a stranger, a listed user, group or
// executable, a peer the kernel did not name), what it sends, what it
// declares and what the store holds.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "access/access_policy.h"
#include "peer/peer.h"

namespace {

constexpr uid_t kOwner = 990;  // the daemon's own uid in these rows
constexpr int kUser = 1000;    // a desktop user
constexpr int kOther = 1001;   // another desktop user
const char *kAvExe = "/opt/av/bin/avd";
const char *kUiExe = "/usr/bin/korvane-ui";

struct Peer {
    int pid, uid, gid;
    const char *exe;
    std::vector<gid_t> groups;
};

const Peer kRoot = {100, 0, 0, "/usr/bin/anything", {}};
const Peer kDaemonUser = {101, static_cast<int>(kOwner), 990, "/x", {}};
const Peer kStranger = {200, kOther, kOther, "/usr/bin/python3", {100}};
const Peer kUserUi = {300, kUser, kUser, "/usr/bin/korvane-ui", {}};
const Peer kAvUser = {400, 4242, 4242, "/usr/bin/sh", {}};            // uid listed
const Peer kAvGroupMember = {401, 4343, 4343, "/bin/x", {27, 4444}};  // group listed
const Peer kAvPrimaryGroup = {402, 4343, 4444, "/bin/x", {}};         // primary gid listed
const Peer kAvBinary = {403, 65534, 65534, "/opt/av/bin/avd", {}};    // executable listed
const Peer kUnknown = {-1, -1, -1, nullptr, {}};                      // no SO_PEERCRED

// `p` as the kernel would describe it; `groups` holds what `peer` points at.
const net_peer_t *Fill(const Peer &p, net_peer_t *peer, std::vector<gid_t> *groups) {
    *groups = p.groups;
    peer->pid = p.pid;
    peer->uid = p.uid;
    peer->gid = p.gid;
    peer->exe = const_cast<char *>(p.exe);
    peer->groups = groups->empty() ? nullptr : groups->data();
    peer->ngroups = static_cast<int>(groups->size());
    return peer;
}

enum PolicyKind { kDefault, kListed, kOpen, kUiRestricted };

access_policy_t MakePolicy(PolicyKind kind) {
    access_policy_t p;
    p.owner_uid = kOwner;
    if (kind == kListed) {
        p.products.users = {4242};
        p.products.groups = {4444};
        p.products.executables = {kAvExe};
    }
    if (kind == kOpen) p.open = true;
    if (kind == kUiRestricted) {
        p.frontui.users = {static_cast<uid_t>(kOther)};
        p.frontui.executables = {kUiExe};
    }
    return p;
}

struct Row {
    const char *name;
    PolicyKind policy;
    const Peer *peer;  // null: an in-process caller
    uint32_t type;
    const char *uuid;
    // Registration body: declared pid / euid; -2 for "no usable body".
    int declared_pid, declared_euid;
    // The current front UI ("" for none) and its euid; whether the store
    // knows `uuid` as a front UI.
    const char *fui_uuid;
    int fui_euid;
    bool uuid_stored;
    const char *refused_by;  // null: allowed
};

const int kNoBody = -2;

const Row kRows[] = {
    // Product requests: the trusted, then the listed, nobody else.
    {"root registers a product", kDefault, &kRoot, 2000, "av", kNoBody, 0, "", 0, false, nullptr},
    {"daemon's own uid reports", kDefault, &kDaemonUser, 2002, "av", kNoBody, 0, "", 0, false,
     nullptr},
    {"in-process caller", kDefault, nullptr, 2001, "av", kNoBody, 0, "", 0, false, nullptr},
    {"stranger registers", kDefault, &kStranger, 2000, "av", kNoBody, 0, "", 0, false,
     kAccessRuleProducts},
    {"stranger unregisters", kDefault, &kStranger, 2001, "av", kNoBody, 0, "", 0, false,
     kAccessRuleProducts},
    {"stranger reports", kDefault, &kStranger, 2002, "av", kNoBody, 0, "", 0, false,
     kAccessRuleProducts},
    {"stranger updates", kDefault, &kStranger, 2003, "av", kNoBody, 0, "", 0, false,
     kAccessRuleProducts},
    {"peer without credentials", kDefault, &kUnknown, 2000, "av", kNoBody, 0, "", 0, false,
     kAccessRuleProducts},
    {"listed uid, default policy", kDefault, &kAvUser, 2000, "av", kNoBody, 0, "", 0, false,
     kAccessRuleProducts},
    {"listed uid", kListed, &kAvUser, 2000, "av", kNoBody, 0, "", 0, false, nullptr},
    {"listed supplementary group", kListed, &kAvGroupMember, 2002, "av", kNoBody, 0, "", 0, false,
     nullptr},
    {"listed primary group", kListed, &kAvPrimaryGroup, 2003, "av", kNoBody, 0, "", 0, false,
     nullptr},
    {"listed executable", kListed, &kAvBinary, 2001, "av", kNoBody, 0, "", 0, false, nullptr},
    {"not listed", kListed, &kStranger, 2000, "av", kNoBody, 0, "", 0, false, kAccessRuleProducts},
    {"unknown peer, listed policy", kListed, &kUnknown, 2000, "av", kNoBody, 0, "", 0, false,
     kAccessRuleProducts},
    {"open mode", kOpen, &kStranger, 2000, "av", kNoBody, 0, "", 0, false, nullptr},

    // Reads stay open.
    {"stranger asks the product", kDefault, &kStranger, 1001, "ui", kNoBody, 0, "ui", kUser, true,
     nullptr},
    {"stranger asks the status", kDefault, &kUnknown, 1002, "ui", kNoBody, 0, "ui", kUser, true,
     nullptr},

    // Front-UI registration: the declared identity is the peer's.
    {"user declares itself", kDefault, &kUserUi, 1000, "ui", 300, kUser, "", 0, false, nullptr},
    {"user declares pid 1", kDefault, &kUserUi, 1000, "ui", 1, kUser, "", 0, false,
     kAccessRuleFrontUiIdentity},
    {"user declares euid 0", kDefault, &kUserUi, 1000, "ui", 300, 0, "", 0, false,
     kAccessRuleFrontUiIdentity},
    {"unknown peer declares -1", kDefault, &kUnknown, 1000, "ui", -1, -1, "", 0, false,
     kAccessRuleFrontUiIdentity},
    {"body without numbers goes to the handler", kDefault, &kUserUi, 1000, "ui", kNoBody, 0, "", 0,
     false, nullptr},
    {"root declares anyone", kDefault, &kRoot, 1000, "ui", 1, 4321, "", 0, false, nullptr},
    {"user renews its own registration", kDefault, &kUserUi, 1000, "ui", 300, kUser, "ui", kUser,
     true, nullptr},
    {"stranger takes the current uuid", kDefault, &kStranger, 1000, "ui", 200, kOther, "ui", kUser,
     true, kAccessRuleFrontUiUuid},
    {"stranger registers another uuid", kDefault, &kStranger, 1000, "ui-2", 200, kOther, "ui",
     kUser, false, nullptr},
    {"restricted: listed user", kUiRestricted, &kStranger, 1000, "ui", 200, kOther, "", 0, false,
     nullptr},
    {"restricted: listed executable", kUiRestricted, &kUserUi, 1000, "ui", 300, kUser, "", 0, false,
     nullptr},
    {"restricted: neither", kUiRestricted, &kAvUser, 1000, "ui", 400, 4242, "", 0, false,
     kAccessRuleFrontUiListed},
    {"restricted: neither, no body", kUiRestricted, &kAvUser, 1000, "ui", kNoBody, 0, "", 0, false,
     kAccessRuleFrontUiListed},
    {"restricted: root", kUiRestricted, &kRoot, 1000, "ui", 1, 1, "", 0, false, nullptr},
    {"open mode, misdeclared", kOpen, &kUserUi, 1000, "ui", 1, 0, "ui", kOther, true, nullptr},

    // Configuration: the current front UI's euid, or the trusted.
    {"owner saves", kDefault, &kUserUi, 1003, "ui", kNoBody, 0, "ui", kUser, true, nullptr},
    {"owner reads", kDefault, &kUserUi, 1004, "ui", kNoBody, 0, "ui", kUser, true, nullptr},
    {"stranger saves", kDefault, &kStranger, 1003, "ui", kNoBody, 0, "ui", kUser, true,
     kAccessRuleFrontUiConfig},
    {"stranger reads", kDefault, &kStranger, 1004, "ui", kNoBody, 0, "ui", kUser, true,
     kAccessRuleFrontUiConfig},
    {"root reads", kDefault, &kRoot, 1004, "ui", kNoBody, 0, "ui", kUser, true, nullptr},
    {"stranger reads a stored, not current one", kDefault, &kStranger, 1004, "old", kNoBody, 0,
     "ui", kUser, true, kAccessRuleFrontUiConfig},
    {"owner of nothing saves an unknown uuid", kDefault, &kStranger, 1003, "nobody", kNoBody, 0,
     "ui", kUser, false, nullptr},
    {"unknown uuid, no front UI at all", kDefault, &kStranger, 1004, "nobody", kNoBody, 0, "", 0,
     false, nullptr},
    {"open mode, stranger saves", kOpen, &kStranger, 1003, "ui", kNoBody, 0, "ui", kUser, true,
     nullptr},

    // Types no handler serves are not the gate's business.
    {"notification type", kDefault, &kStranger, 1500, "x", kNoBody, 0, "", 0, false, nullptr},
};

TEST(AccessDecide, EveryRule) {
    for (const Row &r : kRows) {
        SCOPED_TRACE(r.name);
        net_peer_t peer = {};
        std::vector<gid_t> groups;
        access_facts_t f;
        f.type = r.type;
        f.uuid = r.uuid;
        if (r.peer != nullptr) f.peer = Fill(*r.peer, &peer, &groups);
        f.declared = r.declared_pid != kNoBody;
        f.declared_pid = r.declared_pid;
        f.declared_euid = r.declared_euid;
        f.fui_current = r.fui_uuid[0] != '\0';
        f.fui_uuid = r.fui_uuid;
        f.fui_euid = r.fui_euid;
        f.uuid_stored = r.uuid_stored;

        access_verdict_t v = access_decide(f, MakePolicy(r.policy));
        if (r.refused_by == nullptr) {
            EXPECT_TRUE(v.allow) << "refused by " << (v.rule ? v.rule : "?");
            EXPECT_EQ(v.rule, nullptr);
        } else {
            EXPECT_FALSE(v.allow);
            EXPECT_STREQ(v.rule, r.refused_by);
        }
    }
}

// The facts of a product request of `who` for `uuid` ("default" standing
// for the default product's); the peer they point at lives as long as they
// do.
struct ProductRequest {
    net_peer_t peer = {};
    std::vector<gid_t> groups;
    access_facts_t facts;
    ProductRequest(const Peer &who, uint32_t type, const char *uuid) {
        facts.type = type;
        facts.uuid = uuid;
        facts.default_uuid = uuid == std::string("default");
        facts.peer = Fill(who, &peer, &groups);
    }
    ProductRequest(const ProductRequest &) = delete;
};

// A product's uuid is its registrant's: its uid, and its program when only
// that made it a product. The trusted act for any; an unbound uuid is free.
TEST(AccessDecide, ProductUuidOwner) {
    const struct {
        const char *name;
        const Peer *peer;
        uint32_t type;
        bool bound;
        int owner_uid;
        const char *owner_exe;  // "" binds the uid alone
        bool allowed;
    } rows[] = {
        {"no binding yet", &kAvUser, 2002, false, 0, "", true},
        {"its registrant", &kAvUser, 2002, true, 4242, "", true},
        {"another listed uid reports", &kAvGroupMember, 2002, true, 4242, "", false},
        {"another listed uid registers", &kAvGroupMember, 2000, true, 4242, "", false},
        {"another listed uid unregisters", &kAvBinary, 2001, true, 4242, "", false},
        {"root's product, a listed uid", &kAvUser, 2003, true, 0, "", false},
        {"root acts for a listed uid's", &kRoot, 2001, true, 4242, "", true},
        {"the daemon's own uid", &kDaemonUser, 2002, true, 4242, "", true},
        {"bound to its program, same program", &kAvBinary, 2002, true, 65534, kAvExe, true},
        {"bound to its program, other program", &kAvBinary, 2002, true, 65534, "/opt/other", false},
        {"the store could not say", &kAvUser, 2002, true, -1, "", false},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(r.name);
        ProductRequest q(*r.peer, r.type, "av");
        access_facts_t &f = q.facts;
        f.owner_known = r.bound;
        f.owner_uid = r.owner_uid;
        f.owner_exe = r.owner_exe;
        access_verdict_t v = access_decide(f, MakePolicy(kListed));
        EXPECT_EQ(r.allowed, v.allow);
        EXPECT_STREQ(r.allowed ? nullptr : kAccessRuleProductOwner, v.rule);
    }
}

// The default product's uuid: what the front UIs start is root's, or
// whom [default-product] names; being listed as a product is not enough.
TEST(AccessDecide, DefaultProductUuid) {
    const Peer kNamed = {500, 4545, 4545, "/usr/sbin/ambrel-installer", {}};
    access_policy_t named = MakePolicy(kListed);
    named.default_product.users = {4545};
    const struct {
        const char *name;
        const access_policy_t policy;
        const Peer *peer;
        uint32_t type;
        bool allowed;
    } rows[] = {
        {"root registers it", MakePolicy(kListed), &kRoot, 2000, true},
        {"the daemon's own uid reports for it", MakePolicy(kListed), &kDaemonUser, 2002, true},
        {"a listed product uid registers it", MakePolicy(kListed), &kAvUser, 2000, false},
        {"a listed group member reports for it", MakePolicy(kListed), &kAvGroupMember, 2002, false},
        {"a listed executable updates it", MakePolicy(kListed), &kAvBinary, 2003, false},
        {"a listed product uid unregisters it", MakePolicy(kListed), &kAvUser, 2001, false},
        {"a stranger registers it", MakePolicy(kDefault), &kStranger, 2000, false},
        {"named for it", named, &kNamed, 2000, true},
        {"named for it, unregisters", named, &kNamed, 2001, true},
        {"listed product uid, another is named", named, &kAvUser, 2000, false},
        {"open mode", MakePolicy(kOpen), &kStranger, 2000, true},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(r.name);
        ProductRequest q(*r.peer, r.type, "default");
        access_verdict_t v = access_decide(q.facts, r.policy);
        EXPECT_EQ(r.allowed, v.allow);
        EXPECT_STREQ(r.allowed ? nullptr : kAccessRuleDefaultProduct, v.rule);
    }
    // Named for it, it is still bound to whoever registered it first.
    ProductRequest q(kNamed, 2002, "default");
    q.facts.owner_known = true;
    q.facts.owner_uid = 0;
    EXPECT_STREQ(access_decide(q.facts, named).rule, kAccessRuleProductOwner);
}

// Who owns the active session, and whether the current front UI's declared
// process still lives: a registration or a configuration request of the
// current uuid belongs to that process alone while it does.
struct ProcessRow {
    const char *name;
    PolicyKind policy;
    const Peer *peer;
    uint32_t type;
    const char *uuid;
    seat_state_t seat;
    int seat_uid;
    const char *fui_uuid;  // "" for none
    int fui_euid;
    int fui_pid;  // -1: not watched, or gone
    const char *refused_by;
};

const ProcessRow kProcessRows[] = {
    // Registration and the session: kUserUi (uid 1000, pid 300) is the
    // desktop user, kStranger (uid 1001, pid 200) a background account.
    {"no logind: anyone", kDefault, &kStranger, 1000, "ui", kSeatNoLogind, 0, "", 0, -1, nullptr},
    {"session owner", kDefault, &kUserUi, 1000, "ui", kSeatActive, kUser, "", 0, -1, nullptr},
    {"background account squats", kDefault, &kStranger, 1000, "ui", kSeatActive, kUser, "", 0, -1,
     kAccessRuleFrontUiSession},
    {"nobody active", kDefault, &kUserUi, 1000, "ui", kSeatNobody, 0, "", 0, -1,
     kAccessRuleFrontUiSession},
    {"unknown peer, session active", kDefault, &kUnknown, 1000, "ui", kSeatActive, kUser, "", 0, -1,
     kAccessRuleFrontUiSession},
    {"root, nobody active", kDefault, &kRoot, 1000, "ui", kSeatNobody, 0, "ui-2", kOther, 77,
     nullptr},
    {"listed but not the session's", kUiRestricted, &kStranger, 1000, "ui", kSeatActive, kUser, "",
     0, -1, kAccessRuleFrontUiSession},
    {"session's but not listed", kUiRestricted, &kAvUser, 1000, "ui", kSeatActive, 4242, "", 0, -1,
     kAccessRuleFrontUiListed},
    {"open mode, nobody active", kOpen, &kStranger, 1000, "ui", kSeatNobody, 0, "", 0, -1, nullptr},
    {"another uuid while one is current", kDefault, &kUserUi, 1000, "ui-2", kSeatActive, kUser,
     "ui", kUser, 555, nullptr},

    // The current uuid while its declared process (pid 555) lives.
    {"other process re-registers the uuid", kDefault, &kUserUi, 1000, "ui", kSeatActive, kUser,
     "ui", kUser, 555, kAccessRuleFrontUiProcess},
    {"the declared process renews", kDefault, &kUserUi, 1000, "ui", kSeatActive, kUser, "ui", kUser,
     300, nullptr},
    {"after the declared process exited", kDefault, &kUserUi, 1000, "ui", kSeatActive, kUser, "ui",
     kUser, -1, nullptr},
    {"other user, process alive", kDefault, &kStranger, 1000, "ui", kSeatNoLogind, 0, "ui", kUser,
     555, kAccessRuleFrontUiUuid},
    {"other process reads", kDefault, &kUserUi, 1004, "ui", kSeatNoLogind, 0, "ui", kUser, 555,
     kAccessRuleFrontUiConfigProcess},
    {"other process saves", kDefault, &kUserUi, 1003, "ui", kSeatNoLogind, 0, "ui", kUser, 555,
     kAccessRuleFrontUiConfigProcess},
    {"the declared process reads", kDefault, &kUserUi, 1004, "ui", kSeatNoLogind, 0, "ui", kUser,
     300, nullptr},
    {"same user once it exited", kDefault, &kUserUi, 1003, "ui", kSeatNoLogind, 0, "ui", kUser, -1,
     nullptr},
    {"root reads while it lives", kDefault, &kRoot, 1004, "ui", kSeatNoLogind, 0, "ui", kUser, 555,
     nullptr},
    {"another uuid's configuration", kDefault, &kUserUi, 1004, "nobody", kSeatNoLogind, 0, "ui",
     kUser, 555, nullptr},
    {"open mode, other process reads", kOpen, &kUserUi, 1004, "ui", kSeatNoLogind, 0, "ui", kUser,
     555, nullptr},
};

TEST(AccessDecide, SessionAndDeclaredProcess) {
    for (const ProcessRow &r : kProcessRows) {
        SCOPED_TRACE(r.name);
        net_peer_t peer = {};
        peer.pid = r.peer->pid;
        peer.uid = r.peer->uid;
        peer.gid = r.peer->gid;
        peer.exe = const_cast<char *>(r.peer->exe);
        access_facts_t f;
        f.type = r.type;
        f.uuid = r.uuid;
        f.peer = &peer;
        // A registration declares its own process.
        f.declared = r.type == 1000;
        f.declared_pid = r.peer->pid;
        f.declared_euid = r.peer->uid;
        f.seat.state = r.seat;
        f.seat.uid = static_cast<uid_t>(r.seat_uid);
        f.fui_current = r.fui_uuid[0] != '\0';
        f.fui_uuid = r.fui_uuid;
        f.fui_euid = r.fui_euid;
        f.fui_pid = r.fui_pid;
        f.uuid_stored = f.fui_current && f.uuid == f.fui_uuid;

        access_verdict_t v = access_decide(f, MakePolicy(r.policy));
        if (r.refused_by == nullptr) {
            EXPECT_TRUE(v.allow) << "refused by " << (v.rule ? v.rule : "?");
        } else {
            EXPECT_FALSE(v.allow);
            EXPECT_STREQ(v.rule, r.refused_by);
        }
    }
}

// A connection keeps the pid of the process that made it after that
// process has exited; the current front UI's process may have got the pid
// since. Its requests are that process's only if it connected no sooner
// than that process started.
TEST(AccessDecide, DeclaredProcessIsTheOneThatConnected) {
    struct Case {
        const char *name;
        uint32_t type;
        long long accepted_ns, fui_started_ns;
        const char *refused_by;
    } cases[] = {
        {"older connection registers", 1000, 100, 200, kAccessRuleFrontUiProcess},
        {"older connection saves", 1003, 100, 200, kAccessRuleFrontUiConfigProcess},
        {"older connection reads", 1004, 100, 200, kAccessRuleFrontUiConfigProcess},
        {"connected in the tick it started", 1004, 200, 200, nullptr},
        {"connected later", 1003, 900, 200, nullptr},
        {"start unknown", 1004, 100, -1, nullptr},
        {"accept unknown", 1004, -1, 200, nullptr},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        net_peer_t peer = {kUserUi.pid, kUser, kUser, nullptr, nullptr, 0};
        peer.accepted_ns = c.accepted_ns;
        access_facts_t f;
        f.type = c.type;
        f.uuid = "ui";
        f.peer = &peer;
        f.declared = c.type == 1000;
        f.declared_pid = peer.pid;
        f.declared_euid = kUser;
        f.fui_current = true;
        f.fui_uuid = "ui";
        f.fui_euid = kUser;
        f.fui_pid = kUserUi.pid;
        f.fui_started_ns = c.fui_started_ns;
        f.uuid_stored = true;
        access_verdict_t v = access_decide(f, MakePolicy(kDefault));
        EXPECT_EQ(v.allow, c.refused_by == nullptr) << (v.rule ? v.rule : "allowed");
        if (c.refused_by != nullptr) {
            EXPECT_STREQ(v.rule, c.refused_by);
        }
    }
}

TEST(AccessDecide, OwnerUidZeroTrustsNoOneElse) {
    // The default owner is root itself: uid 990 is then a stranger.
    access_policy_t p;
    net_peer_t peer = {};
    peer.pid = 5;
    peer.uid = 990;
    peer.gid = 990;
    access_facts_t f;
    f.type = 2000;
    f.peer = &peer;
    EXPECT_FALSE(access_decide(f, p).allow);
}

}  // namespace
