// The request envelope: one line of base64 text whose JSON object carries
// "uuid", "id", "type" and an optional "data" object. Its decoding and the
// reply encoders every handler uses; dispatch by type is the handlers'
// (handlers/dispatch.h).
//
// Everything here runs on the event-loop thread, one line at a time.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "base/korvane_codes.h"

struct cJSON;
struct net_peer_t;
struct net_log_budget_t;

// One request and its reply while it is handled.
// A notification a request causes, for every front UI.
struct mox_notice_t {
    std::string uuid;
    int type = 0;
    std::string data;
};

struct mox_packet_t {
    uint64_t id = 0;
    uint32_t type = 0;
    std::string uuid;
    // The request's "data" object with "uuid" appended, as formatted JSON
    // text; empty when the request has no "data" object or its type takes
    // no body (mox_type_takes_body).
    std::string data;
    int32_t result = 0;
    // The finished reply line: base64 text and one '\n'.
    std::string response;
    // Who sent it, as the kernel reported it when the connection was
    // accepted; null when unknown (not part of the wire format).
    const net_peer_t *peer = nullptr;
    // The sending connection's budget of log lines about bad input, for
    // netLogBadInput; null when no connection is behind the packet.
    net_log_budget_t *log_budget = nullptr;
    // The notifications the request causes, in the order they are to be
    // sent (all before its reply); filled by the handler.
    std::vector<mox_notice_t> notices;
    // Whether the request's writes were kept by the store (they are undone
    // with the pass's transaction if its commit fails).
    bool stored = false;
};

// What decoding, encoding and handling a request return (never on the
// wire): kProtoOk, or why no reply is to be sent.
enum {
    kProtoOk = 0,
    kProtoNoMemory = -2,   // out of memory, or printing JSON failed
    kProtoEmptyLine = -3,  // an empty line
    kProtoTooLong = -5,    // longer than kMoxMaxRequestLength
    kProtoBadInput = -6,   // not base64, not JSON, a member missing or mistyped,
                           // a type not served, or a malformed encoding
};

constexpr unsigned kMoxFuiTypeBase = KORVANE_REQ_FUI_REGISTER;
constexpr unsigned kMoxSecSoftTypeBase = KORVANE_REQ_SECSOFT_REGISTER;
constexpr unsigned kMoxFuiHandleCount = KORVANE_REQ_GET_HEALTH - KORVANE_REQ_FUI_REGISTER + 1;
constexpr unsigned kMoxSecSoftHandleCount =
    KORVANE_REQ_SECSOFT_UPDATE - KORVANE_REQ_SECSOFT_REGISTER + 1;
// Longest request line in bytes, without its '\n'.
constexpr unsigned long kMoxMaxRequestLength = 8192;

// Whether requests of `type` read their "data": registrations, updates and
// the configuration save. Any other type's "data" is checked as strictly
// (the line must be JSON, the body no deeper than the limit) but neither
// built nor printed, so a large body it ignores costs one reading of it.
bool mox_type_takes_body(uint32_t type);

// Decodes one line (without its '\n') into uuid, id, type and data:
// kProtoOk, ready for dispatch; kProtoNoMemory; kProtoEmptyLine;
// kProtoTooLong; kProtoBadInput for what is not base64, not JSON, or has a
// member missing or mistyped (logged as the sender's bad input).
int mox_decode_request(const char *line, unsigned long len, mox_packet_t &packet);
// The reference mox_decode_request must agree with in every packet field,
// return code and log line: the base64 text into a fresh string, the whole
// envelope parsed with cJSON, no quick scan. For tests and fuzzers.
int mox_decode_request_slow(const char *line, unsigned long len, mox_packet_t &packet);

// Reply encoders: set `response` and return kProtoOk, kProtoNoMemory or
// kProtoBadInput. The stored text is parsed for "data"; text that does not
// parse sets `result` to KORVANE_RESULT_FAILED.
int encode_resp_final(mox_packet_t &packet);
int encode_resp_data_array(const std::string &text, mox_packet_t &packet);
int encode_resp_data_obj(const std::string &text, mox_packet_t &packet);

// Prints the tree (formatted) and stores its base64 text in `out`:
// kProtoOk, kProtoNoMemory when printing fails, kProtoBadInput when the
// encoding has the wrong length.
int base64_json(cJSON *tree, std::string &out);

// Reads a member looked up with cJSON_GetObjectItem (ASCII case ignored,
// first match): kProtoOk and the value, or kProtoBadInput with `out`
// untouched when the member is missing or of the wrong type. The int form
// truncates toward zero and clamps to the int32 range.
int get_proto_json_int(int &out, const cJSON *object, const char *key);
int get_proto_json_double(double &out, const cJSON *object, const char *key);
int get_proto_json_string(std::string &out, const cJSON *object, const char *key);
