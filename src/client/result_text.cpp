// The words for a reply's "result", one table for the C and C++ interfaces
// and korvanectl, so that a result reads the same wherever it is met.
#include <cjson/cJSON.h>

#include <cmath>
#include <string>

#include "client/korvane_client.h"
#include "proto/codec/json.h"

namespace korvane {

const char *ResultText(int result) {
    switch (result) {
        case KORVANE_RESULT_OK:
            return "success";
        case KORVANE_RESULT_FAILED:
            return "internal failure in the daemon";
        case KORVANE_RESULT_WRONG_TYPE:
            return "request type does not match the handler";
        case KORVANE_RESULT_BAD_BODY:
            return "bad body";
        case KORVANE_RESULT_UNKNOWN_FUI:
            return "sender is not a registered front UI";
        case KORVANE_RESULT_NO_SECSOFT:
            return "no such security product";
        case KORVANE_RESULT_NO_SECSTAT:
            return "no security status stored";
        case KORVANE_RESULT_NO_FUICONF:
            return "no front-UI configuration stored";
        case KORVANE_RESULT_OTHER_FUI:
            return "another front UI is registered";
        case KORVANE_RESULT_NOT_REGISTERED:
            return "no such security product registered";
        case KORVANE_RESULT_NOT_ACTIVE:
            return "stored, but another security product is active";
        case KORVANE_RESULT_NOT_PERMITTED:
            return "not permitted";
        default:
            return "unknown result";
    }
}

std::string ReplyText(const Message &reply) {
    std::string text = ResultText(reply.result);
    if (reply.result != KORVANE_RESULT_OTHER_FUI || !reply.has_data) return text;
    // Only a whole number that fits a pid is named: the line came from a
    // socket, not necessarily from the daemon.
    JsonPtr data = json_parse(reply.data);
    const cJSON *pid = cJSON_GetObjectItemCaseSensitive(data.get(), "pid");
    if (!cJSON_IsNumber(pid)) return text;
    const double v = pid->valuedouble;
    if (!(v >= 0 && v <= 2147483647.0) || std::trunc(v) != v) return text;
    return text + " (pid " + std::to_string(static_cast<long>(v)) + ")";
}

}  // namespace korvane
