// Building request lines and decoding reply and notification lines. No
// socket here: text in, text or Message out.
#include <cjson/cJSON.h>

#include <cmath>
#include <cstdio>

#include "client/korvane_client.h"
#include "proto/codec/base64.h"
#include "proto/codec/number.h"

namespace korvane {

namespace {

struct Tree {
    cJSON *root;
    explicit Tree(cJSON *r) : root(r) {}
    ~Tree() { cJSON_Delete(root); }
    Tree(const Tree &) = delete;
    Tree &operator=(const Tree &) = delete;
};

void SetError(std::string *error, const char *message) {
    if (error != nullptr) *error = message;
}

// The id as its exact decimal text: cJSON would print it with 15 digits.
bool AddExactId(cJSON *root, uint64_t id) {
    char text[24];
    snprintf(text, sizeof(text), "%llu", static_cast<unsigned long long>(id));
    cJSON *item = cJSON_CreateRaw(text);
    if (item == nullptr) return false;
    if (cJSON_AddItemToObject(root, "id", item)) return true;
    cJSON_Delete(item);
    return false;
}

// Takes ownership of `data` (may be null).
std::optional<std::string> EncodeWithData(const std::string &uuid, uint64_t id, uint32_t type,
                                          cJSON *data, std::string *error) {
    Tree tree(cJSON_CreateObject());
    if (tree.root == nullptr) {
        cJSON_Delete(data);
        SetError(error, "encode request: no memory");
        return std::nullopt;
    }
    if (data != nullptr && !cJSON_AddItemToObject(tree.root, "data", data)) {
        cJSON_Delete(data);
        SetError(error, "encode request: no memory");
        return std::nullopt;
    }
    if (cJSON_AddStringToObject(tree.root, "uuid", uuid.c_str()) == nullptr ||
        !AddExactId(tree.root, id) ||
        cJSON_AddNumberToObject(tree.root, "type", static_cast<double>(type)) == nullptr) {
        SetError(error, "encode request: no memory");
        return std::nullopt;
    }
    char *text = cJSON_PrintUnformatted(tree.root);
    if (text == nullptr) {
        SetError(error, "encode request: no memory");
        return std::nullopt;
    }
    std::string line = EncodeText(text);
    cJSON_free(text);
    return line;
}

}  // namespace

std::optional<std::string> EncodeRequest(const std::string &uuid, uint64_t id, uint32_t type,
                                         const std::optional<std::string> &data_json,
                                         std::string *error) {
    cJSON *data = nullptr;
    if (data_json) {
        data = cJSON_Parse(data_json->c_str());
        if (data == nullptr) {
            SetError(error, "encode request: data is not JSON");
            return std::nullopt;
        }
    }
    return EncodeWithData(uuid, id, type, data, error);
}

std::optional<std::string> EncodeRequest(const std::string &uuid, uint64_t id, uint32_t type,
                                         const cJSON *data, std::string *error) {
    cJSON *copy = nullptr;
    if (data != nullptr) {
        copy = cJSON_Duplicate(data, true);
        if (copy == nullptr) {
            SetError(error, "encode request: no memory");
            return std::nullopt;
        }
    }
    return EncodeWithData(uuid, id, type, copy, error);
}

std::string EncodeText(const std::string &text) {
    return base64_encode(text) + "\n";
}

std::optional<Message> DecodeLine(const std::string &line, std::string *error) {
    size_t len = line.size();
    if (len > 0 && line[len - 1] == '\n') len--;
    Message msg;
    if (!base64_decode_strict(line.data(), len, msg.json)) {
        SetError(error, "decode: not canonical base64");
        return std::nullopt;
    }
    if (msg.json.find('\0') != std::string::npos) {
        SetError(error, "decode: NUL byte in the decoded text");
        return std::nullopt;
    }
    Tree tree(cJSON_ParseWithOpts(msg.json.c_str(), nullptr, true));
    if (!cJSON_IsObject(tree.root)) {
        SetError(error, "decode: not a JSON object");
        return std::nullopt;
    }
    const cJSON *id = cJSON_GetObjectItemCaseSensitive(tree.root, "id");
    const cJSON *type = cJSON_GetObjectItemCaseSensitive(tree.root, "type");
    if (!cJSON_IsNumber(id) || !cJSON_IsNumber(type)) {
        SetError(error, "decode: \"id\" or \"type\" missing or not a number");
        return std::nullopt;
    }
    double t = type->valuedouble;
    if (!(t >= 0 && t <= 4294967295.0) || std::trunc(t) != t) {
        SetError(error, "decode: \"type\" is not an unsigned 32-bit integer");
        return std::nullopt;
    }
    msg.id = json_number_to_uint64(id->valuedouble);
    msg.type = static_cast<uint32_t>(t);

    const cJSON *result = cJSON_GetObjectItemCaseSensitive(tree.root, "result");
    if (result != nullptr) {
        if (!cJSON_IsNumber(result)) {
            SetError(error, "decode: \"result\" is not a number");
            return std::nullopt;
        }
        msg.has_result = true;
        msg.result = json_number_to_int32(result->valuedouble);
    }
    const cJSON *uuid = cJSON_GetObjectItemCaseSensitive(tree.root, "uuid");
    if (uuid != nullptr) {
        if (!cJSON_IsString(uuid)) {
            SetError(error, "decode: \"uuid\" is not a string");
            return std::nullopt;
        }
        msg.uuid = uuid->valuestring;
    }
    const cJSON *data = cJSON_GetObjectItemCaseSensitive(tree.root, "data");
    if (data != nullptr) {
        char *text = cJSON_PrintUnformatted(data);
        if (text == nullptr) {
            SetError(error, "decode: no memory");
            return std::nullopt;
        }
        msg.has_data = true;
        msg.data = text;
        cJSON_free(text);
    }
    return msg;
}

}  // namespace korvane
