// The gate in front of the handlers: gathers what access_decide needs about
// one request (the registration body's declared identity, the current front
// UI) and answers a refused request itself.
#include "handlers/access_gate.h"

#include <cjson/cJSON.h>

#include "access/access_policy.h"
#include "base/seat.h"
#include "db/moxdb.h"
#include "handlers/liveness.h"
#include "log/mylog.h"
#include "peer/logbudget.h"
#include "peer/peer.h"
#include "peer/pidfd.h"
#include "proto/codec/json.h"
#include "proto/proto.h"

#define LOG Singleton<MyLog>::Instance()->Write

namespace {

// "pid" and "euid" of a registration body, when it parses and has both.
void read_declared(const std::string &data, access_facts_t &f) {
    if (data.empty()) return;
    JsonPtr root(cJSON_ParseWithLength(data.data(), data.size()));
    if (root == nullptr) return;
    f.declared = get_proto_json_int(f.declared_pid, root.get(), "pid") == kProtoOk &&
                 get_proto_json_int(f.declared_euid, root.get(), "euid") == kProtoOk;
}

void read_current_fui(access_facts_t &f) {
    CMoxDb *store = Singleton<CMoxDb>::Instance();
    CFrontUIInfo current;
    if (store->Get(current) == kMoxOk) {
        f.fui_current = true;
        f.fui_uuid = current.uuid;
        f.fui_euid = current.euid;
        f.fui_pid = liveness_frontui_pid(current.uuid);
        // Only for a peer with that pid: whether it is that process.
        if (f.fui_pid > 0 && f.peer != nullptr && f.peer->pid == f.fui_pid)
            f.fui_started_ns = net_peer_start_ns("/proc", f.fui_pid);
    }
    if (f.type != KORVANE_REQ_FUI_REGISTER && !(f.fui_current && f.fui_uuid == f.uuid))
        f.uuid_stored = store->FrontUIValid(f.uuid);
}

// Who registered the product's uuid. A store that cannot say refuses: a
// product's uuid is never handed to another because a read failed.
void read_owner(access_facts_t &f) {
    CSecSoftOwner owner;
    owner.uuid = f.uuid;
    MoxResult rc = Singleton<CMoxDb>::Instance()->GetSecSoftOwner(owner);
    if (rc == kMoxNotFound) return;
    f.owner_known = true;
    f.owner_uid = rc == kMoxOk ? owner.uid : -1;
    f.owner_exe = owner.exe;
}

// Who holds the place a refused registration wanted, so that a person can
// tell which program to look at.
void log_holder(const mox_packet_t &packet, const access_facts_t &f) {
    const net_peer_t *peer = packet.peer;
    if (!f.fui_current) {
        LOG(INFO, "frontUI register uuid: %s of pid: %d,uid: %d refused,no frontUI is current",
            packet.uuid.c_str(), peer->pid, peer->uid);
        return;
    }
    CFrontUIInfo cur;
    const bool known = Singleton<CMoxDb>::Instance()->Get(cur) == kMoxOk && cur.uuid == f.fui_uuid;
    LOG(INFO,
        "frontUI register uuid: %s of pid: %d,uid: %d refused,the current frontUI is %s of pid: "
        "%d,euid: %d",
        packet.uuid.c_str(), peer->pid, peer->uid, f.fui_uuid.c_str(), known ? cur.pid : -1,
        f.fui_euid);
}

}  // namespace

bool access_gate_refuses(mox_packet_t &packet, int *rc) {
    const access_policy_t &policy = access_policy_current();
    if (access_unchecked(packet.peer, policy)) return false;

    access_facts_t facts;
    facts.type = packet.type;
    facts.uuid = packet.uuid;
    facts.peer = packet.peer;
    if (packet.type == KORVANE_REQ_FUI_REGISTER) {
        read_declared(packet.data, facts);
        facts.seat = seat_active_owner();
    }
    if (packet.type == KORVANE_REQ_FUI_REGISTER || packet.type == KORVANE_REQ_SAVE_FUICONF ||
        packet.type == KORVANE_REQ_GET_FUICONF)
        read_current_fui(facts);
    if (packet.type >= KORVANE_REQ_SECSOFT_REGISTER && packet.type <= KORVANE_REQ_SECSOFT_UPDATE) {
        facts.default_uuid = packet.uuid == kDefSecSoftUuid;
        read_owner(facts);
    }

    access_verdict_t verdict = access_decide(facts, policy);
    if (verdict.allow) return false;

    const net_peer_t *peer = packet.peer;
    const bool logged =
        netLogRefusal(packet.log_budget, ERROR,
                      "refuse request type: %u,uuid: %s,from pid: %d,uid: %d,exe: %s,rule: %s",
                      packet.type, packet.uuid.c_str(), peer->pid, peer->uid,
                      peer->exe != nullptr ? peer->exe : "?", verdict.rule);
    if (logged && packet.type == KORVANE_REQ_FUI_REGISTER) log_holder(packet, facts);
    packet.result = KORVANE_RESULT_NOT_PERMITTED;
    *rc = encode_resp_final(packet);
    return true;
}
