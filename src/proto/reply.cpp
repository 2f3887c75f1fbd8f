// Reply encoding. Member order on the wire: "data" (when present), "id",
// "type", "result", "uuid". The reply is printed straight in the layout of
// cJSON_Print, the same bytes as printing the whole object as a tree.
#include <cjson/cJSON.h>

#include <charconv>
#include <cstring>
#include <memory>
#include <utility>

#include "proto/codec/base64.h"
#include "proto/codec/json.h"
#include "proto/codec/json_print.h"
#include "proto/proto.h"

namespace {

enum class DataForm { kNone, kArray, kObject };

// cJSON_Print's layout of an object at top level: "{", then for each member
// "\n\t", its key as a JSON string, ":\t" and its value, with "," before the
// next member's line feed; "\n}" after the last.
constexpr char kOpenWithData[] = "{\n\t\"data\":\t";
constexpr char kDataThenId[] = ",\n\t\"id\":\t";
constexpr char kOpenWithId[] = "{\n\t\"id\":\t";
constexpr char kThenType[] = ",\n\t\"type\":\t";
constexpr char kThenResult[] = ",\n\t\"result\":\t";
constexpr char kThenUuid[] = ",\n\t\"uuid\":\t";
constexpr char kClose[] = "\n}";
// Longest decimal text of the id (64 bits), the type and the result.
constexpr size_t kIdDigits = 20, kTypeDigits = 10, kResultDigits = 11;

// Everything before the id's value depends only on the form and the stored
// text, so its base64 is worked out once. Base64 turns each group of three
// bytes into four characters on its own: the reply's base64 is that of the
// prefix's whole groups followed by that of the rest of the reply.
struct Prefix {
    std::string base64;  // of the prefix's leading whole groups of three bytes
    char rest[2] = {};   // the zero to two bytes after them
    size_t rest_len = 0;
};

Prefix make_prefix(const std::string &json) {
    Prefix p;
    const size_t whole = json.size() - json.size() % 3;
    p.base64 = base64_encode(json.data(), whole);
    p.rest_len = json.size() - whole;
    memcpy(p.rest, json.data() + whole, p.rest_len);
    return p;
}

// No "data": also the object form's reply for a text that does not parse.
const Prefix &no_data_prefix() {
    static const Prefix p = make_prefix(kOpenWithId);
    return p;
}

// The array form's reply for a text that does not parse: an empty array.
const Prefix &empty_array_prefix() {
    static const Prefix p = make_prefix(std::string(kOpenWithData) + "[]" + kDataThenId);
    return p;
}

// Stored texts change rarely and are asked for often, so the last text seen
// in each form is kept with the prefix of its replies.
struct PrintedData {
    bool valid = false;
    std::string text;  // the stored text
    Prefix prefix;
};

// Appends the value of `text`, parsed as cJSON_Parse does and printed at
// `depth`, wrapped in a one-element array when `in_array`: 0, -6 when the
// text does not parse, -2 when printing fails.
int print_nested(const std::string &text, size_t depth, bool in_array, std::string &out) {
    JsonPtr value = json_parse(text);
    if (value == nullptr) return kProtoBadInput;
    if (in_array) out.push_back('[');
    if (!json_print_nested(value.get(), depth, out)) return kProtoNoMemory;
    if (in_array) out.push_back(']');
    return 0;
}

// Points `prefix` at the one for `text` in `form`: 0, or print_nested's
// code.
int data_prefix(DataForm form, const std::string &text, const Prefix *&prefix) {
    thread_local PrintedData memo[2];
    const bool in_array = form == DataForm::kArray;
    PrintedData &m = memo[in_array ? 0 : 1];
    if (!m.valid || m.text != text) {
        m.valid = false;
        std::string json = kOpenWithData;
        int rc = print_nested(text, in_array ? 2 : 1, in_array, json);
        if (rc != 0) return rc;
        json += kDataThenId;
        m.prefix = make_prefix(json);
        m.text = text;
        m.valid = true;
    }
    prefix = &m.prefix;
    return 0;
}

template <size_t N>
char *put(char *out, const char (&s)[N]) {
    memcpy(out, s, N - 1);
    return out + N - 1;
}

int encode_and_base64_resp(DataForm form, const std::string *text, mox_packet_t &packet) {
    const Prefix *prefix = &no_data_prefix();
    if (form != DataForm::kNone) {
        int got = data_prefix(form, *text, prefix);
        if (got == kProtoNoMemory) return kProtoNoMemory;
        if (got != 0) {
            // Not JSON: the array form still carries an empty array.
            packet.result = KORVANE_RESULT_FAILED;
            prefix = form == DataForm::kArray ? &empty_array_prefix() : &no_data_prefix();
        }
    }

    // The rest of the reply: the numbers as exact decimal text (what cJSON
    // prints for the 32-bit ones; its own printing could round a 64-bit
    // id), and the uuid up to its first NUL, as a cJSON string holds it.
    const char *uuid = packet.uuid.c_str();
    const size_t uuid_len = strlen(uuid);
    const size_t most = sizeof(prefix->rest) + kIdDigits + sizeof(kThenType) + kTypeDigits +
                        sizeof(kThenResult) + kResultDigits + sizeof(kThenUuid) +
                        json_print_string_max(uuid_len) + sizeof(kClose);
    char small[512];
    std::unique_ptr<char[]> large;
    char *const tail = most <= sizeof(small) ? small : (large.reset(new char[most]), large.get());
    char *p = tail;
    memcpy(p, prefix->rest, prefix->rest_len);
    p += prefix->rest_len;
    p = std::to_chars(p, p + kIdDigits, packet.id).ptr;
    p = put(p, kThenType);
    p = std::to_chars(p, p + kTypeDigits, packet.type).ptr;
    p = put(p, kThenResult);
    p = std::to_chars(p, p + kResultDigits, packet.result).ptr;
    p = put(p, kThenUuid);
    p = json_print_string(p, uuid, uuid_len);
    p = put(p, kClose);
    const size_t tail_len = static_cast<size_t>(p - tail);

    // One allocation, with room for the line feed.
    std::string &line = packet.response;
    line.clear();
    line.reserve(prefix->base64.size() + base64_encoded_length(tail_len) + 1);
    line.append(prefix->base64);
    base64_encode_append(line, tail, tail_len);
    line.push_back('\n');
    return 0;
}

}  // namespace

int encode_resp_final(mox_packet_t &packet) {
    return encode_and_base64_resp(DataForm::kNone, nullptr, packet);
}

int encode_resp_data_array(const std::string &text, mox_packet_t &packet) {
    return encode_and_base64_resp(DataForm::kArray, &text, packet);
}

int encode_resp_data_obj(const std::string &text, mox_packet_t &packet) {
    return encode_and_base64_resp(DataForm::kObject, &text, packet);
}

int base64_json(cJSON *tree, std::string &out) {
    // Printed into a buffer on the stack when it fits (the same bytes as
    // cJSON_Print), which saves the growing and the final copy of a fresh
    // allocation for the usual short message; nothing is held between
    // calls.
    char buffer[4096];
    char *printed = buffer;
    JsonText allocated;
    if (!cJSON_PrintPreallocated(tree, buffer, sizeof(buffer), 1)) {
        allocated.reset(cJSON_Print(tree));
        printed = allocated.get();
        if (printed == nullptr) return kProtoNoMemory;
    }
    const size_t n = strlen(printed);
    std::string encoded;
    // Room for the line feed every caller appends.
    encoded.reserve(base64_encoded_length(n) + 1);
    base64_encode_append(encoded, printed, n);
    if (encoded.size() != base64_encoded_length(n)) return kProtoBadInput;
    out = std::move(encoded);
    return 0;
}
