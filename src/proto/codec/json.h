// Small helpers around cJSON shared by the daemon, the client library and
// the tools: an owning pointer, exact integers, compact printing.
#pragma once

#include <cjson/cJSON.h>

#include <charconv>
#include <memory>
#include <string>

struct JsonDeleter {
    void operator()(cJSON *tree) const { cJSON_Delete(tree); }
};
// Owns a parsed or built tree.
using JsonPtr = std::unique_ptr<cJSON, JsonDeleter>;

struct JsonTextDeleter {
    void operator()(char *text) const { cJSON_free(text); }
};
// Owns text that cJSON printed.
using JsonText = std::unique_ptr<char, JsonTextDeleter>;

inline JsonPtr json_parse(const std::string &text) {
    return JsonPtr(cJSON_Parse(text.c_str()));
}

// Adds an item that cJSON prints verbatim: the item, or null when nothing
// was added.
inline cJSON *json_add_raw(cJSON *object, const char *key, const char *text) {
    cJSON *item = cJSON_CreateRaw(text);
    if (item == nullptr) return nullptr;
    if (!cJSON_AddItemToObject(object, key, item)) {
        cJSON_Delete(item);
        return nullptr;
    }
    return item;
}

// Adds an integer as its exact decimal text. cJSON prints numbers through
// "%1.15g" and a scanf round trip, which is slow and can alter a 64-bit id;
// for a 32-bit integer the text is exactly what cJSON would print.
template <typename T>
cJSON *json_add_integer(cJSON *object, const char *key, T value) {
    char text[24];
    char *end = std::to_chars(text, text + sizeof(text) - 1, value).ptr;
    *end = '\0';
    return json_add_raw(object, key, text);
}

// The tree printed without formatting; false when printing fails.
inline bool json_print_compact(const cJSON *tree, std::string &out) {
    JsonText text(cJSON_PrintUnformatted(tree));
    if (text == nullptr) return false;
    out = text.get();
    return true;
}
