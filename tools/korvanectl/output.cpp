// Names and printing of decoded messages.
#include <cjson/cJSON.h>
#include <stdio.h>

#include <string>

#include "korvanectl/cli.h"

namespace korvanectl {

const char *ResultName(int result) {
    switch (result) {
        case 0:
            return "success";
        case 1:
            return "internal failure in the daemon";
        case 2:
            return "request type does not match the handler";
        case 3:
            return "bad body";
        case 100:
            return "sender is not a registered front UI";
        case 101:
            return "no such security product";
        case 102:
            return "no security status stored";
        case 103:
            return "no front-UI configuration stored";
        case 500:
            return "no such security product registered";
        case 501:
            return "stored, but another security product is active";
        case korvane::kResultNotPermitted:
            return "not permitted";
        default:
            return "unknown result";
    }
}

const char *TypeName(uint32_t type) {
    switch (type) {
        case 1000:
            return "front-UI register";
        case 1001:
            return "get active product";
        case 1002:
            return "get active status";
        case 1003:
            return "save front-UI configuration";
        case 1004:
            return "get front-UI configuration";
        case 1500:
            return "product detail";
        case 1501:
            return "product status";
        case 1502:
            return "product unregistered";
        case 1503:
            return "start default product";
        case 1504:
            return "stop default product";
        case 2000:
            return "product register";
        case 2001:
            return "product unregister";
        case 2002:
            return "product status report";
        case 2003:
            return "product update";
        default:
            return "unknown type";
    }
}

std::string Compact(const std::string &json) {
    JsonPtr tree = json_parse(json);
    std::string out;
    return tree != nullptr && json_print_compact(tree.get(), out) ? out : json;
}

namespace {

// Formatted JSON, indented by two spaces after the first line.
std::string Pretty(const std::string &json) {
    JsonPtr tree = json_parse(json);
    if (tree == nullptr) return json;
    char *text = cJSON_Print(tree.get());
    std::string raw = text != nullptr ? text : json;
    cJSON_free(text);
    std::string out;
    for (char c : raw) {
        if (c == '\t')
            out += "  ";
        else if (c == '\n')
            out += "\n  ";
        else
            out += c;
    }
    return out;
}

}  // namespace

void PrintMessage(const korvane::Message &msg, bool json, bool one_line) {
    if (json) {
        printf("%s\n", Compact(msg.json).c_str());
    } else if (one_line) {
        printf("%s %u (%s) id %llu uuid %s", msg.has_result ? "reply" : "notification", msg.type,
               TypeName(msg.type), static_cast<unsigned long long>(msg.id), msg.uuid.c_str());
        if (msg.has_result) printf(" result %d (%s)", msg.result, ResultName(msg.result));
        if (msg.has_data) printf(" data %s", msg.data.c_str());
        printf("\n");
    } else {
        printf("%s %u (%s)\n", msg.has_result ? "reply to" : "notification", msg.type,
               TypeName(msg.type));
        if (msg.has_result) printf("result: %d (%s)\n", msg.result, ResultName(msg.result));
        printf("id:     %llu\n", static_cast<unsigned long long>(msg.id));
        printf("uuid:   %s\n", msg.uuid.c_str());
        if (msg.has_data) printf("data:   %s\n", Pretty(msg.data).c_str());
    }
    fflush(stdout);
}

int Fail(int code, const std::string &message) {
    fprintf(stderr, "korvanectl: %s\n", message.c_str());
    return code;
}

bool CheckJson(const std::string &text, bool must_be_object, std::string *error) {
    JsonPtr tree(cJSON_ParseWithOpts(text.c_str(), nullptr, true));
    bool ok = tree != nullptr && (!must_be_object || cJSON_IsObject(tree.get()));
    if (!ok) *error = must_be_object ? "not a JSON object: " + text : "not JSON: " + text;
    return ok;
}

}  // namespace korvanectl
