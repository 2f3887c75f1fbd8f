// Reply encoding. Member order on the wire: "data" (when present), "id",
// "type", "result", "uuid". The tree is freed on every path.
#include <cjson/cJSON.h>

#include <cstdio>
#include <cstring>
#include <utility>

#include "proto/codec/base64.h"
#include "proto/proto.h"

namespace {

enum class DataForm { kNone, kArray, kObject };

// cJSON prints numbers with 15 significant digits whenever that parses back
// within a relative epsilon, so an id such as 1234567890123456 would come
// back altered. The id goes out as its exact decimal text instead.
cJSON *add_id(cJSON *root, uint64_t id) {
    char text[24];
    snprintf(text, sizeof(text), "%llu", static_cast<unsigned long long>(id));
    cJSON *item = cJSON_CreateRaw(text);
    if (item == nullptr) return nullptr;
    if (!cJSON_AddItemToObject(root, "id", item)) {
        cJSON_Delete(item);
        return nullptr;
    }
    return item;
}

int encode_and_base64_resp(DataForm form, const std::string *text, mox_packet_t &packet) {
    cJSON *root = cJSON_CreateObject();
    if (root == nullptr) return -2;

    if (form == DataForm::kArray) {
        cJSON *array = cJSON_CreateArray();
        if (array != nullptr && !cJSON_AddItemToObject(root, "data", array)) {
            cJSON_Delete(array);
            array = nullptr;
        }
        cJSON *value = array != nullptr ? cJSON_Parse(text->c_str()) : nullptr;
        if (value == nullptr || !cJSON_AddItemToArray(array, value)) {
            cJSON_Delete(value);
            packet.result = 1;
        }
    } else if (form == DataForm::kObject) {
        cJSON *value = cJSON_Parse(text->c_str());
        if (value == nullptr || !cJSON_AddItemToObject(root, "data", value)) {
            cJSON_Delete(value);
            packet.result = 1;
        }
    }

    // A reply that silently lacks one of its members would be taken for a
    // different answer, so every failure here fails the reply.
    int rc = 0;
    if (add_id(root, packet.id) == nullptr ||
        cJSON_AddNumberToObject(root, "type", static_cast<double>(packet.type)) == nullptr ||
        cJSON_AddNumberToObject(root, "result", static_cast<double>(packet.result)) == nullptr ||
        cJSON_AddStringToObject(root, "uuid", packet.uuid.c_str()) == nullptr) {
        rc = -2;
    }
    std::string encoded;
    if (rc == 0) rc = base64_json(root, encoded);
    cJSON_Delete(root);
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
    char *printed = cJSON_Print(tree);
    if (printed == nullptr) return -2;
    const size_t n = strlen(printed);
    std::string encoded = base64_encode(printed, n);
    cJSON_free(printed);
    if (encoded.size() != base64_encoded_length(n)) return -6;
    out = std::move(encoded);
    return 0;
}
