// Decoding of one request line into a packet. The line is used in place:
// log lines print it with a precision of `len`, so nothing past `len` is
// read even when the caller's text is not terminated there.
#include <cjson/cJSON.h>

#include <algorithm>
#include <climits>
#include <string>

#include "log/mylog.h"
#include "net/ae/logbudget.h"
#include "proto/codec/base64.h"
#include "proto/codec/json.h"
#include "proto/codec/number.h"
#include "proto/proto.h"

namespace {

// Deepest nesting of objects and arrays a request body may have, the body
// itself being the first level. Deeper bodies would be printed with one
// tab per level on every line, into every notification.
constexpr int kMoxMaxBodyLevels = 32;

// Whether `item` nests objects and arrays more than `levels` deep; the walk
// never descends further than that.
bool nested_deeper_than(const cJSON *item, int levels) {
    if (!cJSON_IsObject(item) && !cJSON_IsArray(item)) return false;
    if (levels == 0) return true;
    for (const cJSON *child = item->child; child != nullptr; child = child->next)
        if (nested_deeper_than(child, levels - 1)) return true;
    return false;
}

// Fills uuid, id, type and data from the envelope. 0, -2 or -6; `too_deep`
// tells a body refused for its nesting from other bad input.
int decode_envelope(cJSON *root, mox_packet_t &packet, bool &too_deep) {
    if (!cJSON_IsObject(root)) return kProtoBadInput;
    if (get_proto_json_string(packet.uuid, root, "uuid") != 0) return kProtoBadInput;

    double id = 0;
    if (get_proto_json_double(id, root, "id") != 0) return kProtoBadInput;
    packet.id = json_number_to_uint64(id);

    int type = 0;
    if (get_proto_json_int(type, root, "type") != 0) return kProtoBadInput;
    packet.type = static_cast<uint32_t>(type);

    cJSON *data = cJSON_GetObjectItem(root, "data");
    if (cJSON_IsObject(data)) {
        if (nested_deeper_than(data, kMoxMaxBodyLevels)) {
            too_deep = true;
            return kProtoBadInput;
        }
        // Appended after the body's own members, even when it has a "uuid".
        if (cJSON_AddStringToObject(data, "uuid", packet.uuid.c_str()) == nullptr)
            return kProtoNoMemory;
        JsonText text(cJSON_Print(data));
        if (text == nullptr) return kProtoNoMemory;
        packet.data = text.get();
    }
    return 0;
}

}  // namespace

int mox_decode_request(const char *line, unsigned long len, mox_packet_t &packet) {
    const char *text = line != nullptr ? line : "";
    const int shown = line != nullptr ? static_cast<int>(std::min<unsigned long>(len, INT_MAX)) : 0;
    Singleton<MyLog>::Instance()->Write(DEBUG, "handle request: %.*s", shown, text);
    if (line == nullptr || len == 0) return kProtoEmptyLine;
    if (len > kMoxMaxRequestLength) return kProtoTooLong;

    std::string decoded;
    if (!base64_decode(line, len, decoded)) {
        netLogBadInput(packet.log_budget, ERROR, "base64 request: %.*s,base64 decode failed", shown,
                       text);
        return kProtoBadInput;
    }

    int rc;
    bool too_deep = false;
    {
        // Parsed up to the first NUL byte of the decoded text; freed before
        // the request is dispatched.
        JsonPtr tree = json_parse(decoded);
        rc = tree != nullptr ? decode_envelope(tree.get(), packet, too_deep) : kProtoBadInput;
    }
    if (too_deep) {
        netLogBadInput(packet.log_budget, ERROR, "bad request: %.*s,data nested deeper than %d",
                       shown, text, kMoxMaxBodyLevels);
        return rc;
    }
    if (rc != 0)
        netLogBadInput(packet.log_budget, ERROR, "bad request: %.*s,not a json", shown, text);
    return rc;
}

int get_proto_json_int(int &out, const cJSON *object, const char *key) {
    const cJSON *item = cJSON_GetObjectItem(object, key);
    if (!cJSON_IsNumber(item)) return kProtoBadInput;
    // Same value as cJSON's integer view, computed without relying on it.
    out = json_number_to_int32(item->valuedouble);
    return 0;
}

int get_proto_json_double(double &out, const cJSON *object, const char *key) {
    const cJSON *item = cJSON_GetObjectItem(object, key);
    if (!cJSON_IsNumber(item)) return kProtoBadInput;
    out = item->valuedouble;
    return 0;
}

int get_proto_json_string(std::string &out, const cJSON *object, const char *key) {
    const char *value = cJSON_GetStringValue(cJSON_GetObjectItem(object, key));
    if (value == nullptr) return kProtoBadInput;
    out = value;
    return 0;
}
