// Dispatch by request type. The tables are constant and indexed only after
// the bounds check; a null entry would be rejected like an unknown type.
// A served request passes the access gate before its handler runs.
#include "handlers/dispatch.h"

#include <new>
#include <utility>

#include "handlers/access_gate.h"
#include "handlers/handler_util.h"
#include "handlers/handlers.h"
#include "handlers/health.h"
#include "handlers/liveness.h"
#include "log/mylog.h"
#include "peer/logbudget.h"
#include "proto/notify.h"

const mox_handle_t fui_handles[kMoxFuiHandleCount] = {
    fui_register_handle,  // KORVANE_REQ_FUI_REGISTER
    get_secsoft_handle,   // KORVANE_REQ_GET_SECSOFT
    get_secstat_handle,   // KORVANE_REQ_GET_SECSTAT
    save_fuiconf_handle,  // KORVANE_REQ_SAVE_FUICONF
    get_fuiconf_handle,   // KORVANE_REQ_GET_FUICONF
    get_health_handle,    // KORVANE_REQ_GET_HEALTH
};

const mox_handle_t secsoft_handles[kMoxSecSoftHandleCount] = {
    secsoft_register_handle,    // KORVANE_REQ_SECSOFT_REGISTER
    secsoft_unregister_handle,  // KORVANE_REQ_SECSOFT_UNREGISTER
    secstat_update_handle,      // KORVANE_REQ_SECSTAT_UPDATE
    secsoft_update_handle,      // KORVANE_REQ_SECSOFT_UPDATE
};

int handle_request(mox_packet_t &packet) {
    const uint32_t type = packet.type;
    mox_handle_t handle = nullptr;
    if (type < kMoxSecSoftTypeBase) {
        // Notification types and above are never requests; a type below
        // 1000 wraps to a huge index and fails the bound.
        uint32_t index = type - kMoxFuiTypeBase;
        if (type < KORVANE_NOTIFY_SECSOFT && index < kMoxFuiHandleCount)
            handle = fui_handles[index];
    } else {
        uint32_t index = type - kMoxSecSoftTypeBase;
        if (index < kMoxSecSoftHandleCount) handle = secsoft_handles[index];
    }
    if (handle == nullptr) {
        netLogBadInput(packet.log_budget, ERROR, "bad request type: %u", type);
        return kProtoBadInput;
    }
    // An empty uuid names no product and no front UI: stored, it would read
    // back as "any row" and take another's place.
    if (packet.uuid.empty()) {
        netLogBadInput(packet.log_budget, ERROR, "request %u with an empty uuid refused", type);
        packet.result = KORVANE_RESULT_BAD_BODY;
        return log_reply(encode_resp_final(packet), packet, "empty uuid", "empty uuid");
    }
    int rc = 0;
    if (access_gate_refuses(packet, &rc)) return rc;
    // The request's writes are one transaction: a failure of any of them
    // undoes all, and the reply says so.
    store()->BeginRequest();
    rc = handle(packet, nullptr);
    const MoxResult ended = store()->EndRequest();
    packet.stored = ended == kMoxOk;
    if (ended == kMoxFailed) {
        packet.notices.clear();
        if (rc == kProtoOk && packet.result == KORVANE_RESULT_OK) {
            packet.result = KORVANE_RESULT_FAILED;
            rc = log_reply(encode_resp_final(packet), packet, "undone", "undone");
        }
    }
    if (type >= kMoxSecSoftTypeBase) {
        // A status report never changes which product is active nor the
        // default product's mark: no look at them on that busiest path.
        if (type != KORVANE_REQ_SECSTAT_UPDATE) liveness_default_follow();
        health_facts_changed();
    }
    return rc;
}

int mox_handle_request(const char *line, unsigned long len, mox_packet_t &packet) {
    int rc = mox_decode_request(line, len, packet);
    if (rc != kProtoOk) return rc;
    return handle_request(packet);
}

// One of the two places that catch std::bad_alloc (the store's operations
// are the other): a string or container that cannot grow while a line is
// handled costs that line its reply, not the daemon.
int mox_serve_line(const char *line, unsigned long len, const net_peer_t *peer,
                   net_log_budget_t *log_budget, net_line_out_t *out) {
    try {
        mox_packet_t packet;
        packet.peer = peer;
        packet.log_budget = log_budget;
        int rc = mox_handle_request(line, len, packet);
        // The notifications go before the reply, even when it could not be
        // made.
        mox_encode_notices(packet.notices, out->notices);
        if (rc == kProtoOk) {
            out->reply = std::move(packet.response);
            // Writes kept now are undone if the pass's commit fails: the
            // reply then says so.
            if (packet.stored) {
                packet.result = KORVANE_RESULT_FAILED;
                if (encode_resp_final(packet) == kProtoOk)
                    out->reply_failed = std::move(packet.response);
            }
        }
        return rc;
    } catch (const std::bad_alloc &) {
        Singleton<MyLog>::Instance()->Write(ERROR, "handle request failed,no memory");
        return kProtoNoMemory;
    }
}
