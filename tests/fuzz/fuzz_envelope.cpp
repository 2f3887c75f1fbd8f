// Arbitrary bytes as the decoded text of a request. Whenever the envelope
// scanner answers quickly, cJSON reading the same text must agree on every
// member; and the whole decoder must match its reference,
// mox_decode_request_slow, on the base64 line of those bytes. The log is
// never opened: nothing is written.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "proto/codec/base64.h"
#include "proto/codec/envelope.h"
#include "proto/codec/json.h"
#include "proto/proto.h"

namespace {

bool SameDouble(double a, double b) {
    return memcmp(&a, &b, sizeof(double)) == 0;
}

std::string Compact(const cJSON *item) {
    std::string out;
    if (!json_print_compact(item, out)) abort();
    return out;
}

// The scanner's quick answer against cJSON_Parse and cJSON_GetObjectItem.
void CheckScan(const char *text, size_t size) {
    envelope_t env;
    if (envelope_scan(text, size, &env) != kEnvelopeFast) return;
    JsonPtr body;
    if (env.data != nullptr) {
        const char *end = nullptr;
        body.reset(cJSON_ParseWithLengthOpts(env.data, env.data_len, &end, false));
        if (body != nullptr && end != env.data + env.data_len) abort();
    }
    // Parsed up to the first NUL byte, as the daemon parses.
    const std::string copy(text, size);
    JsonPtr root(cJSON_Parse(copy.c_str()));
    if (root == nullptr) {
        // Only a body cJSON refuses can sink an envelope the scanner took.
        if (env.data == nullptr || body != nullptr) abort();
        return;
    }
    if (!cJSON_IsObject(root.get())) abort();
    const char *uuid = cJSON_GetStringValue(cJSON_GetObjectItem(root.get(), "uuid"));
    if (uuid == nullptr || strlen(uuid) != env.uuid_len || memcmp(uuid, env.uuid, env.uuid_len))
        abort();
    const cJSON *id = cJSON_GetObjectItem(root.get(), "id");
    const cJSON *type = cJSON_GetObjectItem(root.get(), "type");
    if (!cJSON_IsNumber(id) || !SameDouble(id->valuedouble, env.id)) abort();
    if (!cJSON_IsNumber(type) || !SameDouble(type->valuedouble, env.type)) abort();
    const cJSON *data = cJSON_GetObjectItem(root.get(), "data");
    if (cJSON_IsObject(data) != (env.data != nullptr)) abort();
    if (env.data != nullptr && (body == nullptr || Compact(data) != Compact(body.get()))) abort();
}

void CheckDecoders(const uint8_t *data, size_t size) {
    const std::string line = base64_encode(data, size);
    mox_packet_t quick, slow;
    const int rc_quick = mox_decode_request(line.data(), line.size(), quick);
    const int rc_slow = mox_decode_request_slow(line.data(), line.size(), slow);
    if (rc_quick != rc_slow || quick.uuid != slow.uuid || quick.id != slow.id ||
        quick.type != slow.type || quick.data != slow.data)
        abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    // The bytes as they are, then as the rest of an envelope whose three
    // members are already there and as its "data" value, for a type that
    // takes no body (its "data" only checked) and one that does: most
    // inputs then reach the scanner's quick answer.
    const std::string bytes(reinterpret_cast<const char *>(data), size);
    const std::string texts[] = {bytes, R"({"uuid":"u1","id":1,"type":1005,)" + bytes,
                                 R"({"uuid":"u1","id":1,"type":1005,"data":)" + bytes + "}",
                                 R"({"uuid":"u1","id":1,"type":2002,"data":)" + bytes + "}"};
    for (const std::string &text : texts) {
        CheckScan(text.data(), text.size());
        CheckDecoders(reinterpret_cast<const uint8_t *>(text.data()), text.size());
    }
    return 0;
}
