// Names and printing of decoded messages.
#include <cjson/cJSON.h>
#include <stdio.h>
#include <time.h>

#include <string>

#include "korvanectl/cli.h"

namespace korvanectl {

const char *ResultName(int result) {
    return korvane::ResultText(result);
}

const char *TypeName(uint32_t type) {
    switch (type) {
        case KORVANE_REQ_FUI_REGISTER:
            return "front-UI register";
        case KORVANE_REQ_GET_SECSOFT:
            return "get active product";
        case KORVANE_REQ_GET_SECSTAT:
            return "get active status";
        case KORVANE_REQ_SAVE_FUICONF:
            return "save front-UI configuration";
        case KORVANE_REQ_GET_FUICONF:
            return "get front-UI configuration";
        case KORVANE_REQ_GET_HEALTH:
            return "get health";
        case KORVANE_NOTIFY_SECSOFT:
            return "product detail";
        case KORVANE_NOTIFY_SECSTAT:
            return "product status";
        case KORVANE_NOTIFY_UNREGISTER:
            return "product unregistered";
        case KORVANE_NOTIFY_START_DEFAULT:
            return "start default product";
        case KORVANE_NOTIFY_STOP_DEFAULT:
            return "stop default product";
        case KORVANE_NOTIFY_FUI_REPLACED:
            return "front UI replaced";
        case KORVANE_REQ_SECSOFT_REGISTER:
            return "product register";
        case KORVANE_REQ_SECSOFT_UNREGISTER:
            return "product unregister";
        case KORVANE_REQ_SECSTAT_UPDATE:
            return "product status report";
        case KORVANE_REQ_SECSOFT_UPDATE:
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
    JsonText text(cJSON_Print(tree.get()));
    std::string raw = text != nullptr ? text.get() : json;
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

std::string LocalTime(long long t, const char *format) {
    time_t tt = static_cast<time_t>(t);
    struct tm tm;
    char buf[64];
    // Callers pass literals, checked through the declaration's attribute.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
    size_t n = localtime_r(&tt, &tm) != nullptr ? strftime(buf, sizeof(buf), format, &tm) : 0;
#pragma GCC diagnostic pop
    if (n == 0) return std::to_string(t);
    return buf;
}

}  // namespace korvanectl
