// korvanectl health: asks the daemon for its protection verdict (request
// 1005, answered to any peer) and prints it. The exit code is the verdict,
// so that a script can act on it without reading the text.
#include <cjson/cJSON.h>
#include <stdio.h>

#include <optional>
#include <string>

#include "korvanectl/cli.h"

namespace korvanectl {

namespace {

// The sender named in the request; the daemon answers whatever it is.
constexpr const char *kHealthUuid = "korvanectl-health";

// A member as text: strings as they are, other values as compact JSON;
// nothing when it is absent or null.
std::optional<std::string> Member(const cJSON *data, const char *key) {
    const cJSON *v = cJSON_GetObjectItemCaseSensitive(data, key);
    if (v == nullptr || cJSON_IsNull(v)) return std::nullopt;
    if (cJSON_IsString(v)) return std::string(v->valuestring);
    std::string text;
    json_print_compact(v, text);
    return text;
}

std::string Liveness(const cJSON *data) {
    const cJSON *alive = cJSON_GetObjectItemCaseSensitive(data, "alive");
    if (cJSON_IsTrue(alive)) return "yes";
    if (cJSON_IsFalse(alive)) return "no";
    if (alive == nullptr || cJSON_IsNull(alive)) return "not watched";
    return Member(data, "alive").value_or("");
}

std::string LastReport(const cJSON *data) {
    const cJSON *t = cJSON_GetObjectItemCaseSensitive(data, "last_report");
    if (cJSON_IsNumber(t))
        return LocalTime(static_cast<long long>(t->valuedouble), "%Y-%m-%d %H:%M:%S %z");
    return Member(data, "last_report").value_or("never");
}

void PrintHuman(const std::string &verdict, const cJSON *data) {
    printf("%s\n", verdict.c_str());
    std::optional<std::string> product = Member(data, "product");
    std::optional<std::string> name = Member(data, "name");
    if (product)
        printf("product:     %s%s%s\n", product->c_str(), name ? "  " : "",
               name ? name->c_str() : "");
    else
        printf("product:     none\n");
    printf("running:     %s\n", Liveness(data).c_str());
    printf("protection:  %s\n", Member(data, "protection").value_or("not reported").c_str());
    printf("signatures:  %s\n", Member(data, "signatures").value_or("not reported").c_str());
    printf("last report: %s\n", LastReport(data).c_str());
    printf("default:     %s\n", Member(data, "default").value_or("none").c_str());
    const cJSON *reasons = cJSON_GetObjectItemCaseSensitive(data, "reasons");
    for (const cJSON *r = cJSON_IsArray(reasons) ? reasons->child : nullptr; r != nullptr;
         r = r->next) {
        std::string text;
        if (cJSON_IsString(r))
            text = r->valuestring;
        else
            json_print_compact(r, text);
        printf("reason:      %s\n", text.c_str());
    }
}

}  // namespace

int RunHealth(const Args &args) {
    std::string error;
    std::optional<std::string> line =
        korvane::EncodeRequest(kHealthUuid, 1, KORVANE_REQ_GET_HEALTH, std::nullopt, &error);
    if (!line) return Fail(kExitUsage, error);
    korvane::Message reply;
    int code = Ask(args, korvane::Endpoint::kFrontUi, *line, &reply);
    if (code != kExitOk) return code;
    if (reply.result != KORVANE_RESULT_OK) {
        PrintMessage(reply, args.json, false);
        return ReplyExitCode(reply);
    }
    JsonPtr data = reply.has_data ? json_parse(reply.data) : nullptr;
    const cJSON *verdict = cJSON_GetObjectItemCaseSensitive(data.get(), "verdict");
    if (!cJSON_IsObject(data.get()) || !cJSON_IsString(verdict))
        return Fail(kExitNoReply,
                    "the reply to request 1005 carries no verdict: " + Compact(reply.json));
    const std::string v = verdict->valuestring;
    if (args.json)
        printf("%s\n", reply.data.c_str());
    else
        PrintHuman(v, data.get());
    fflush(stdout);
    if (v == "protected") return kExitOk;
    if (v == "at-risk") return kExitAtRisk;
    if (v == "unknown") return kExitUnknown;
    return Fail(kExitNoReply, "the reply to request 1005 carries an unknown verdict: " + v);
}

}  // namespace korvanectl
