// Requests of front UIs: register, query the active product's detail and
// status, save and read back the front UI's configuration. Apart from
// registration every request must come from a known front UI. These
// handlers post no notifications but one: a registration that replaces the
// current front UI tells every front UI (1505).
#include <cjson/cJSON.h>
#include <errno.h>
#include <string.h>
#include <unistd.h>

#include "access/access_policy.h"
#include "base/seat.h"
#include "handlers/handler_util.h"
#include "handlers/handlers.h"
#include "handlers/liveness.h"
#include "peer/logbudget.h"
#include "peer/peer.h"
#include "peer/pidfd.h"
#include "proto/codec/json.h"

#define LOG Singleton<MyLog>::Instance()->Write

// A front UI declares its pid and euid; the kernel knows who really holds
// the socket. A mismatch changes no reply but is worth an administrator's
// attention.
static void check_declared_identity(const mox_packet_t &packet, const CFrontUIInfo &info) {
    const net_peer_t *peer = packet.peer;
    if (peer == nullptr || peer->pid < 0) return;
    if (info.pid == peer->pid && info.euid == peer->uid) return;
    LOG(ERROR,
        "frontUI register uuid: %s declares pid: %d,euid: %d,but its peer is pid: %d,uid: %d",
        packet.uuid.c_str(), info.pid, info.euid, peer->pid, peer->uid);
}

// A registration for the connection's own process (the declared pid is
// the peer's) pins that process: a pidfd of it taken from the connection,
// so that it is current only while that very process lives, whatever later
// takes its pid. True with `*pidfd` set (-1 when the registration is on
// behalf of another pid, or from inside the daemon: watched by number, as
// only the trusted may declare another pid); false with the reply's result
// set when that process has exited (403) or cannot be pinned (1).
static bool pin_registrant(mox_packet_t &packet, const CFrontUIInfo &info, int *pidfd) {
    *pidfd = -1;
    const net_peer_t *peer = packet.peer;
    if (peer == nullptr || peer->sock < 0 || peer->pid <= 0 || info.pid != peer->pid) return true;
    int why = 0;
    *pidfd = net_peer_pidfd(*peer, &why);
    if (*pidfd >= 0) return true;
    if (why == ESRCH) {
        netLogRefusal(packet.log_budget, ERROR,
                      "refuse request type: %u,uuid: %s,from pid: %d,uid: %d,exe: %s,rule: %s",
                      packet.type, packet.uuid.c_str(), peer->pid, peer->uid,
                      peer->exe != nullptr ? peer->exe : "?", kAccessRuleFrontUiExited);
        packet.result = KORVANE_RESULT_NOT_PERMITTED;
    } else {
        LOG(ERROR,
            "frontUI register uuid: %s of pid: %d,uid: %d failed,its process cannot be "
            "pinned,because: %s",
            packet.uuid.c_str(), peer->pid, peer->uid, strerror(why));
        packet.result = KORVANE_RESULT_FAILED;
    }
    return false;
}

// The result of a registration body: KORVANE_RESULT_OK with `info` filled,
// KORVANE_RESULT_FAILED when the body cannot be parsed, KORVANE_RESULT_BAD_BODY
// when a member is missing or mistyped.
static int decode_registration(const std::string &data, CFrontUIInfo &info) {
    JsonPtr root(cJSON_ParseWithLength(data.data(), data.size()));
    if (root == nullptr) return KORVANE_RESULT_FAILED;
    if (get_proto_json_string(info.name, root.get(), "name") != kProtoOk ||
        get_proto_json_int(info.loginuid, root.get(), "login_uid") != kProtoOk ||
        get_proto_json_int(info.euid, root.get(), "euid") != kProtoOk ||
        get_proto_json_int(info.pid, root.get(), "pid") != kProtoOk)
        return 3;
    return 0;
}

// Another front UI is current while its process lives: the answer names
// that process, so that a person can tell which program holds the place.
static int refuse_second_frontui(mox_packet_t &packet) {
    CFrontUIInfo cur;
    const bool known = store()->Get(cur) == kMoxOk;
    LOG(INFO, "frontUI register uuid: %s refused,frontUI %s of pid %d is the current one",
        packet.uuid.c_str(), known ? cur.uuid.c_str() : "?", known ? cur.pid : -1);
    packet.result = KORVANE_RESULT_OTHER_FUI;
    if (!known) return encode_resp_final(packet);
    return encode_resp_data_obj("{\"pid\":" + std::to_string(cur.pid) + "}", packet);
}

// Whether the body asks to take the current front UI's place
// ("replace": true).
static bool replace_asked(const std::string &data) {
    JsonPtr root(cJSON_ParseWithLength(data.data(), data.size()));
    return root != nullptr && cJSON_IsTrue(cJSON_GetObjectItemCaseSensitive(root.get(), "replace"));
}

// Whether this registration may take the place of the current front UI:
// root's when it asks to (a plain registration of root's is refused like
// anyone's, so that a try-out never displaces the running UI); the active
// session's owner's when the current one is of another user (left behind
// by a user switch), not root's own.
static bool may_replace(const mox_packet_t &packet) {
    const net_peer_t *peer = packet.peer;
    if (peer == nullptr || peer->uid < 0) return false;
    if (peer->uid == 0) return replace_asked(packet.data);
    seat_owner_t seat = seat_active_owner();
    if (seat.state != kSeatActive || static_cast<uid_t>(peer->uid) != seat.uid) return false;
    CFrontUIInfo cur;
    return store()->Get(cur) == kMoxOk && cur.euid != peer->uid && cur.euid != 0;
}

// Every front UI hears of a replacement (1505), the displaced one too.
static MoxResult replace_current(mox_packet_t &packet, const CFrontUIInfo &info) {
    CFrontUIInfo old;
    MoxResult rc = store()->ReplaceFrontUI(info, &old);
    if (rc == kMoxOk && !old.uuid.empty())
        packet.notices.push_back(mox_notice_t{info.uuid, KORVANE_NOTIFY_FUI_REPLACED,
                                              "{\"pid\":" + std::to_string(info.pid) + "}"});
    if (rc == kMoxOk && !old.uuid.empty())
        LOG(INFO,
            "frontUI %s of pid: %d,euid: %d,registered by uid: %d,replaces frontUI %s of pid: "
            "%d,euid: %d",
            info.uuid.c_str(), info.pid, info.euid, packet.peer->uid, old.uuid.c_str(), old.pid,
            old.euid);
    return rc;
}

int fui_register_handle(mox_packet_t &packet, void *) {
    LOG(DEBUG, "handle frontUI register,type: %d,uuid: %s", static_cast<int>(packet.type),
        packet.uuid.c_str());
    CFrontUIInfo info;
    if (packet.type != KORVANE_REQ_FUI_REGISTER) {
        packet.result = KORVANE_RESULT_WRONG_TYPE;
    } else if (packet.data.empty()) {
        packet.result = KORVANE_RESULT_BAD_BODY;
    } else {
        packet.result = decode_registration(packet.data, info);
        int pidfd = -1;
        if (packet.result == KORVANE_RESULT_OK) {
            info.uuid = packet.uuid;
            check_declared_identity(packet, info);
        }
        if (packet.result == KORVANE_RESULT_OK && pin_registrant(packet, info, &pidfd)) {
            MoxResult rc = store()->Upgrade(info);
            if (rc == kMoxNotCurrent && may_replace(packet)) rc = replace_current(packet, info);
            if (rc == kMoxOk) {
                liveness_frontui_registered(info, pidfd);
                pidfd = -1;
            } else if (rc == kMoxNotCurrent) {
                if (pidfd >= 0) close(pidfd);
                return log_reply(refuse_second_frontui(packet), packet, "frountUI register",
                                 "frountUI register");
            } else {
                packet.result = KORVANE_RESULT_FAILED;
            }
        }
        if (pidfd >= 0) close(pidfd);
    }
    return log_reply(encode_resp_final(packet), packet, "frountUI register", "frountUI register");
}

// The reply to a query of a known front UI: the stored text on success,
// `missing` when the store has none (or only an empty text),
// KORVANE_RESULT_FAILED for any other failure.
static int answer_query(mox_packet_t &packet, MoxResult got, const std::string &text, bool in_array,
                        korvane_result missing) {
    if (got != kMoxOk) {
        packet.result = (got == kMoxNotFound || got == kMoxEmpty) ? missing : KORVANE_RESULT_FAILED;
        return encode_resp_final(packet);
    }
    packet.result = KORVANE_RESULT_OK;
    return in_array ? encode_resp_data_array(text, packet) : encode_resp_data_obj(text, packet);
}

// A query from a front UI the store does not know: no data.
static int answer_unknown(mox_packet_t &packet) {
    packet.result = KORVANE_RESULT_UNKNOWN_FUI;
    return encode_resp_final(packet);
}

int get_secsoft_handle(mox_packet_t &packet, void *) {
    int rc;
    if (!store()->FrontUIValid(packet.uuid)) {
        rc = answer_unknown(packet);
    } else {
        CSecSoftInfo info;
        MoxResult got = store()->Get(info);
        rc = answer_query(packet, got, info.secsoft, true, KORVANE_RESULT_NO_SECSOFT);
    }
    return log_reply(rc, packet, "secsoft", "get_secsoft");
}

int get_secstat_handle(mox_packet_t &packet, void *) {
    int rc;
    if (!store()->FrontUIValid(packet.uuid)) {
        rc = answer_unknown(packet);
    } else {
        CSecStatInfo stat;
        MoxResult got = store()->Get(stat);
        rc = answer_query(packet, got, stat.secstat, true, KORVANE_RESULT_NO_SECSTAT);
    }
    return log_reply(rc, packet, "secstat", "get_secstat");
}

int get_fuiconf_handle(mox_packet_t &packet, void *) {
    int rc;
    if (!store()->FrontUIValid(packet.uuid)) {
        rc = answer_unknown(packet);
    } else {
        CFrontUIConf conf;
        conf.uuid = packet.uuid;
        MoxResult got = store()->Get(conf);
        rc = answer_query(packet, got, conf.data, false, KORVANE_RESULT_NO_FUICONF);
    }
    return log_reply(rc, packet, "GetFuiConf", "GetFuiConf");
}

int save_fuiconf_handle(mox_packet_t &packet, void *) {
    if (packet.type != KORVANE_REQ_SAVE_FUICONF || packet.data.empty() ||
        !store()->FrontUIValid(packet.uuid)) {
        packet.result = KORVANE_RESULT_BAD_BODY;
    } else {
        CFrontUIConf conf;
        conf.uuid = packet.uuid;
        conf.data = packet.data;
        MoxResult rc = store()->Upgrade(conf);
        if (rc == kMoxOk)
            packet.result = KORVANE_RESULT_OK;
        else if (rc == kMoxNotFound)
            packet.result = KORVANE_RESULT_UNKNOWN_FUI;
        else
            packet.result = KORVANE_RESULT_FAILED;
    }
    return log_reply(encode_resp_final(packet), packet, "save-frontUI conf",
                     "save save-frontUI conf");
}
