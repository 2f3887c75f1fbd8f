// What the request handlers share: the store they work on and the log line
// that follows every reply.
#pragma once

#include "db/moxdb.h"
#include "log/mylog.h"
#include "proto/proto.h"

inline CMoxDb *store() {
    return Singleton<CMoxDb>::Instance();
}

// Logs how encoding a reply went: the code when it failed ("badly,we can't
// process <failed> packet,rc: ..."), the reply line when it is ready
// ("handle <handled> packet,respones: ..."). Returns rc.
inline int log_reply(int rc, const mox_packet_t &packet, const char *failed, const char *handled) {
    MyLog *log = Singleton<MyLog>::Instance();
    if (rc != 0)
        log->Write(ERROR, "badly,we can't process %s packet,rc: %d", failed, rc);
    else
        log->Write(DEBUG, "handle %s packet,respones: %s", handled, packet.response.c_str());
    return rc;
}
