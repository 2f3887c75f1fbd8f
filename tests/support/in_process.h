// Requests handled in this process through dispatch, with no connection
// behind them (such a caller is trusted, as one inside the daemon is). For
// the tests that link the handlers.
#pragma once

#include <cstdint>
#include <string>

#include "handlers/dispatch.h"

namespace vk_test {

inline mox_packet_t HandleInProcess(const std::string &uuid, uint32_t type,
                                    const std::string &data = "") {
    static uint64_t id = 0;
    mox_packet_t packet;
    packet.id = ++id;
    packet.type = type;
    packet.uuid = uuid;
    packet.data = data;
    handle_request(packet);
    return packet;
}

}  // namespace vk_test
