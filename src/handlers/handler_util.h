// What the request handlers share: the store they work on and the log line
// that follows every reply.
#pragma once

#include "db/moxdb.h"
#include "log/mylog.h"
#include "proto/proto.h"

inline CMoxDb *store() {
    return Singleton<CMoxDb>::Instance();
}

// Logs how encoding a reply went: `error_format` with the code when it
// failed, `debug_format` with the reply line when it is ready. Returns rc.
inline int log_reply(int rc, const mox_packet_t &packet, const char *error_format,
                     const char *debug_format) {
    MyLog *log = Singleton<MyLog>::Instance();
    if (rc != 0)
        log->Write(ERROR, error_format, rc);
    else
        log->Write(DEBUG, debug_format, packet.response.c_str());
    return rc;
}
