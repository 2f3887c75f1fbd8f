// Building request lines and decoding reply and notification lines. No
// socket here: text in, text or Message out.
#include <cjson/cJSON.h>

#include <cmath>

#include "client/korvane_client.h"
#include "proto/codec/base64.h"
#include "proto/codec/json.h"
#include "proto/codec/number.h"

namespace korvane {

namespace {

void SetError(std::string *error, const char *message) {
    if (error != nullptr) *error = message;
}

// Takes ownership of `data` (may be null).
std::optional<std::string> EncodeWithData(const std::string &uuid, uint64_t id, uint32_t type,
                                          cJSON *data, std::string *error) {
    JsonPtr owned(data);
    JsonPtr root(cJSON_CreateObject());
    bool ok = root != nullptr;
    if (ok && data != nullptr) {
        ok = cJSON_AddItemToObject(root.get(), "data", data);
        if (ok) owned.release();  // now part of root
    }
    // The id as its exact decimal text: cJSON's number printing could
    // round it.
    std::string text;
    ok = ok && cJSON_AddStringToObject(root.get(), "uuid", uuid.c_str()) != nullptr &&
         json_add_integer(root.get(), "id", id) != nullptr &&
         cJSON_AddNumberToObject(root.get(), "type", static_cast<double>(type)) != nullptr &&
         json_print_compact(root.get(), text);
    if (!ok) {
        SetError(error, "encode request: no memory");
        return std::nullopt;
    }
    return EncodeText(text);
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
    JsonPtr tree(cJSON_ParseWithOpts(msg.json.c_str(), nullptr, true));
    if (!cJSON_IsObject(tree.get())) {
        SetError(error, "decode: not a JSON object");
        return std::nullopt;
    }
    const cJSON *id = cJSON_GetObjectItemCaseSensitive(tree.get(), "id");
    const cJSON *type = cJSON_GetObjectItemCaseSensitive(tree.get(), "type");
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

    const cJSON *result = cJSON_GetObjectItemCaseSensitive(tree.get(), "result");
    if (result != nullptr) {
        if (!cJSON_IsNumber(result)) {
            SetError(error, "decode: \"result\" is not a number");
            return std::nullopt;
        }
        msg.has_result = true;
        msg.result = json_number_to_int32(result->valuedouble);
    }
    const cJSON *uuid = cJSON_GetObjectItemCaseSensitive(tree.get(), "uuid");
    if (uuid != nullptr) {
        if (!cJSON_IsString(uuid)) {
            SetError(error, "decode: \"uuid\" is not a string");
            return std::nullopt;
        }
        msg.uuid = uuid->valuestring;
    }
    const cJSON *data = cJSON_GetObjectItemCaseSensitive(tree.get(), "data");
    if (data != nullptr) {
        if (!json_print_compact(data, msg.data)) {
            SetError(error, "decode: no memory");
            return std::nullopt;
        }
        msg.has_data = true;
    }
    return msg;
}

}  // namespace korvane
