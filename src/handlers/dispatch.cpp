// Dispatch by request type. The tables are constant and indexed only after
// the bounds check; a null entry would be rejected like an unknown type.
// A served request passes the access gate before its handler runs.
#include "handlers/dispatch.h"

#include <utility>

#include "handlers/access_gate.h"
#include "handlers/handlers.h"
#include "log/mylog.h"
#include "net/ae/logbudget.h"

const mox_handle_t fui_handles[kMoxFuiHandleCount] = {
    fui_register_handle,  // 1000
    get_secsoft_handle,   // 1001
    get_secstat_handle,   // 1002
    save_fuiconf_handle,  // 1003
    get_fuiconf_handle,   // 1004
};

const mox_handle_t secsoft_handles[kMoxSecSoftHandleCount] = {
    secsoft_register_handle,    // 2000
    secsoft_unregister_handle,  // 2001
    secstat_update_handle,      // 2002
    secsoft_update_handle,      // 2003
};

int handle_request(mox_packet_t &packet) {
    const uint32_t type = packet.type;
    mox_handle_t handle = nullptr;
    if (type < kMoxSecSoftTypeBase) {
        // Notification types and above are never requests; a type below
        // 1000 wraps to a huge index and fails the bound.
        uint32_t index = type - kMoxFuiTypeBase;
        if (type <= 1499 && index < kMoxFuiHandleCount) handle = fui_handles[index];
    } else {
        uint32_t index = type - kMoxSecSoftTypeBase;
        if (index < kMoxSecSoftHandleCount) handle = secsoft_handles[index];
    }
    if (handle == nullptr) {
        netLogBadInput(packet.log_budget, ERROR, "bad request type: %u", type);
        return -6;
    }
    int rc = 0;
    if (access_gate_refuses(packet, &rc)) return rc;
    return handle(packet, nullptr);
}

int mox_handle_request(const char *line, unsigned long len, mox_packet_t &packet) {
    int rc = mox_decode_request(line, len, packet);
    if (rc != 0) return rc;
    return handle_request(packet);
}

int mox_serve_line(const char *line, unsigned long len, const net_peer_t *peer,
                   net_log_budget_t *log_budget, std::string &reply) {
    mox_packet_t packet;
    packet.peer = peer;
    packet.log_budget = log_budget;
    int rc = mox_handle_request(line, len, packet);
    if (rc == 0) reply = std::move(packet.response);
    return rc;
}
