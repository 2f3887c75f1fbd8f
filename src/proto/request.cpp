// Decoding of one request line into a packet. The line is used in place:
// log lines print it with a precision of `len`, so nothing past `len` is
// read even when the caller's text is not terminated there.
#include <cjson/cJSON.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <string>
#include <utility>

#include "log/mylog.h"
#include "peer/logbudget.h"
#include "proto/codec/base64.h"
#include "proto/codec/envelope.h"
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
        if (!mox_type_takes_body(packet.type)) return 0;
        // Appended after the body's own members, even when it has a "uuid".
        if (cJSON_AddStringToObject(data, "uuid", packet.uuid.c_str()) == nullptr)
            return kProtoNoMemory;
        JsonText text(cJSON_Print(data));
        if (text == nullptr) return kProtoNoMemory;
        packet.data = text.get();
    }
    return 0;
}

// Bytes of a refused request line its log line shows: enough to recognise
// it, not enough for a peer to fill the log with its own text.
constexpr int kMoxShownBytes = 256;

// The text a log line shows of the request line: the whole line, or its
// first kMoxShownBytes and its length ("...(8192 bytes)") in `more`.
struct LineShown {
    const char *text;
    int len;   // of the whole line
    int head;  // of what a refusal shows
    char more[32];
};

// What both decoders do first: the DEBUG line, then the empty and too long
// lines; kProtoOk to go on.
int check_line(const char *line, unsigned long len, LineShown &shown) {
    shown.text = line != nullptr ? line : "";
    shown.len = line != nullptr ? static_cast<int>(std::min<unsigned long>(len, INT_MAX)) : 0;
    shown.head = std::min(shown.len, kMoxShownBytes);
    shown.more[0] = '\0';
    if (shown.head < shown.len)
        snprintf(shown.more, sizeof(shown.more), "...(%d bytes)", shown.len);
    Singleton<MyLog>::Instance()->Write(DEBUG, "handle request: %.*s", shown.len, shown.text);
    if (line == nullptr || len == 0) return kProtoEmptyLine;
    if (len > kMoxMaxRequestLength) return kProtoTooLong;
    return kProtoOk;
}

int refuse_base64(const LineShown &shown, mox_packet_t &packet) {
    netLogBadInput(packet.log_budget, ERROR, "base64 request: %.*s%s,base64 decode failed",
                   shown.head, shown.text, shown.more);
    return kProtoBadInput;
}

// The envelope read with cJSON from the decoded text, which ends at its
// first NUL byte; decides every refusal and logs it.
int decode_json(const char *decoded, const LineShown &shown, mox_packet_t &packet) {
    int rc;
    bool too_deep = false;
    {
        // Freed before the request is dispatched.
        JsonPtr tree(cJSON_Parse(decoded));
        rc = tree != nullptr ? decode_envelope(tree.get(), packet, too_deep) : kProtoBadInput;
    }
    if (too_deep) {
        netLogBadInput(packet.log_budget, ERROR, "bad request: %.*s%s,data nested deeper than %d",
                       shown.head, shown.text, shown.more, kMoxMaxBodyLevels);
        return rc;
    }
    if (rc != 0)
        netLogBadInput(packet.log_budget, ERROR, "bad request: %.*s%s,not a json", shown.head,
                       shown.text, shown.more);
    return rc;
}

// The packet from what the scanner found, "data" parsed alone as cJSON
// would have parsed it inside the envelope; a type that takes no body has
// its "data" only checked, never built. False, with the packet untouched,
// for anything cJSON is to decide: a body that does not parse (or that the
// check is not sure of), one nested too deep, or no memory.
bool decode_scanned(const envelope_t &env, mox_packet_t &packet) {
    const uint32_t type = static_cast<uint32_t>(json_number_to_int32(env.type));
    std::string uuid(env.uuid, env.uuid_len);
    JsonText body;
    if (env.data != nullptr && !mox_type_takes_body(type)) {
        if (!envelope_value_ok(env.data, env.data_len, kMoxMaxBodyLevels)) return false;
    } else if (env.data != nullptr) {
        const char *end = nullptr;
        JsonPtr data(cJSON_ParseWithLengthOpts(env.data, env.data_len, &end, false));
        if (data == nullptr || end != env.data + env.data_len ||
            nested_deeper_than(data.get(), kMoxMaxBodyLevels))
            return false;
        // Appended after the body's own members, even when it has a "uuid".
        if (cJSON_AddStringToObject(data.get(), "uuid", uuid.c_str()) == nullptr) return false;
        body.reset(cJSON_Print(data.get()));
        if (body == nullptr) return false;
    }
    packet.uuid = std::move(uuid);
    packet.id = json_number_to_uint64(env.id);
    packet.type = type;
    if (body != nullptr) packet.data = body.get();
    return true;
}

}  // namespace

bool mox_type_takes_body(uint32_t type) {
    switch (type) {
        case KORVANE_REQ_FUI_REGISTER:
        case KORVANE_REQ_SAVE_FUICONF:
        case KORVANE_REQ_SECSOFT_REGISTER:
        case KORVANE_REQ_SECSTAT_UPDATE:
        case KORVANE_REQ_SECSOFT_UPDATE:
            return true;
        default:
            return false;
    }
}

int mox_decode_request(const char *line, unsigned long len, mox_packet_t &packet) {
    LineShown shown;
    const int rc = check_line(line, len, shown);
    if (rc != kProtoOk) return rc;

    // On the stack: no allocation for the decoded text.
    constexpr size_t kCap = base64_max_decoded_length(kMoxMaxRequestLength);
    char decoded[kCap + 1];
    size_t n = 0;
    if (!base64_decode_to(line, len, decoded, kCap, n)) return refuse_base64(shown, packet);
    decoded[n] = '\0';

    envelope_t env;
    if (envelope_scan(decoded, n, &env) == kEnvelopeFast && decode_scanned(env, packet))
        return kProtoOk;
    return decode_json(decoded, shown, packet);
}

int mox_decode_request_slow(const char *line, unsigned long len, mox_packet_t &packet) {
    LineShown shown;
    const int rc = check_line(line, len, shown);
    if (rc != kProtoOk) return rc;

    std::string decoded;
    if (!base64_decode(line, len, decoded)) return refuse_base64(shown, packet);
    return decode_json(decoded.c_str(), shown, packet);
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
