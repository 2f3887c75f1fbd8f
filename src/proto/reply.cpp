// Reply encoding. Member order on the wire: "data" (when present), "id",
// "type", "result", "uuid". The tree is freed on every path.
#include <cjson/cJSON.h>

#include <cstring>
#include <utility>

#include "proto/codec/base64.h"
#include "proto/codec/json.h"
#include "proto/proto.h"

namespace {

enum class DataForm { kNone, kArray, kObject };

// Stored texts change rarely and are asked for often, so the last text seen
// in each form is kept with its value printed as it stands inside a reply,
// and goes in as a raw item. cJSON breaks lines only between the members of
// an object (a line feed inside a string is escaped) and follows each break
// with one tab per level of nesting, so a value printed on its own appears
// at depth d once d tabs follow every line feed.
struct PrintedValue {
    bool valid = false;
    std::string text;     // the stored text
    std::string printed;  // its value as a reply carries it
};

// Parses `text` as cJSON_Parse does and prints the value at `depth`,
// wrapped in a one-element array when `in_array`: 0, -6 when the text does
// not parse, -2 when printing fails.
int print_nested(const std::string &text, size_t depth, bool in_array, std::string &out) {
    JsonText printed;
    {
        JsonPtr value = json_parse(text);
        if (value == nullptr) return kProtoBadInput;
        printed.reset(cJSON_Print(value.get()));
    }
    if (printed == nullptr) return kProtoNoMemory;
    out.clear();
    if (in_array) out.push_back('[');
    for (const char *p = printed.get(); *p != '\0'; ++p) {
        out.push_back(*p);
        if (*p == '\n') out.append(depth, '\t');
    }
    if (in_array) out.push_back(']');
    return 0;
}

// Points `printed` at the "data" for `text`: 0, or print_nested's code.
int printed_data(DataForm form, const std::string &text, const std::string *&printed) {
    thread_local PrintedValue memo[2];
    const bool in_array = form == DataForm::kArray;
    PrintedValue &m = memo[in_array ? 0 : 1];
    if (!m.valid || m.text != text) {
        m.valid = false;
        int rc = print_nested(text, in_array ? 2 : 1, in_array, m.printed);
        if (rc != 0) return rc;
        m.text = text;
        m.valid = true;
    }
    printed = &m.printed;
    return 0;
}

int encode_and_base64_resp(DataForm form, const std::string *text, mox_packet_t &packet) {
    JsonPtr owned(cJSON_CreateObject());
    cJSON *root = owned.get();
    if (root == nullptr) return kProtoNoMemory;

    if (form != DataForm::kNone) {
        const std::string *printed = nullptr;
        int got = printed_data(form, *text, printed);
        // Out of memory, as when printing the whole reply fails.
        if (got == kProtoNoMemory) return kProtoNoMemory;
        if (got == 0) {
            if (json_add_raw(root, "data", printed->c_str()) == nullptr)
                packet.result = KORVANE_RESULT_FAILED;
        } else {
            // Not JSON: the array form still carries an empty array.
            packet.result = KORVANE_RESULT_FAILED;
            if (form == DataForm::kArray) {
                JsonPtr array(cJSON_CreateArray());
                if (array != nullptr && cJSON_AddItemToObject(root, "data", array.get()))
                    array.release();
            }
        }
    }

    // A reply that silently lacks one of its members would be taken for a
    // different answer, so every failure here fails the reply.
    int rc = 0;
    // The numbers as exact decimal text: what cJSON would print for the
    // 32-bit ones, and an id that its number printing could round.
    if (json_add_integer(root, "id", packet.id) == nullptr ||
        json_add_integer(root, "type", packet.type) == nullptr ||
        json_add_integer(root, "result", packet.result) == nullptr ||
        cJSON_AddStringToObject(root, "uuid", packet.uuid.c_str()) == nullptr) {
        rc = kProtoNoMemory;
    }
    std::string encoded;
    if (rc == 0) rc = base64_json(root, encoded);
    if (rc != 0) return rc;
    packet.response = std::move(encoded);
    packet.response.push_back('\n');
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
    // Printed into a reused buffer when it fits (the same bytes as
    // cJSON_Print), which saves the growing and the final copy of a fresh
    // allocation per message.
    thread_local char buffer[65536];
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
