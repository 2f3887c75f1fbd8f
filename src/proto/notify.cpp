#include "proto/notify.h"

#include <cjson/cJSON.h>
#include <time.h>

#include <charconv>
#include <cstring>

#include "log/mylog.h"
#include "proto/codec/base64.h"
#include "proto/codec/json.h"
#include "proto/codec/json_print.h"
#include "proto/proto.h"

uint64_t now_nanosec = 0;

static mox_broadcast_proc *s_broadcast = nullptr;
static mox_notify_observer_proc *s_observer = nullptr;

void mox_set_broadcast(mox_broadcast_proc *broadcast) {
    s_broadcast = broadcast;
}

void mox_set_notify_observer(mox_notify_observer_proc *observer) {
    s_observer = observer;
}

void MoxProtoInit() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    uint64_t t =
        static_cast<uint64_t>(ts.tv_sec) * 1000000000ULL + static_cast<uint64_t>(ts.tv_nsec);
    __atomic_store_n(&now_nanosec, t % 2147483647ULL >= 1073741823ULL ? t - 1073741823ULL : t,
                     __ATOMIC_SEQ_CST);
    Singleton<MyLog>::Instance()->Write(INFO, "Mox proto init,NanoMonotonic Now: %llu",
                                        static_cast<unsigned long long>(now_nanosec));
}

uint32_t get_fui_post_id() {
    uint64_t v = __atomic_add_fetch(&now_nanosec, 1, __ATOMIC_SEQ_CST);
    return static_cast<uint32_t>(v % kFuiPostIdModulus);
}

namespace {

// A product's stored detail goes out with every notification about it and
// changes far less often, so the last one is kept printed as it stands in a
// notification.
struct PrintedData {
    bool valid = false;
    std::string text;
    std::string printed;
};

// Points `printed` at "data" for `text`: 0, or kProtoNoMemory when the text
// does not parse or printing fails (the notification is then not sent).
int printed_data(const std::string &text, const std::string *&printed) {
    thread_local PrintedData memo;
    if (!memo.valid || memo.text != text) {
        memo.valid = false;
        memo.printed.clear();
        JsonPtr value(cJSON_ParseWithLength(text.data(), text.size()));
        if (value == nullptr || !json_print_nested(value.get(), 1, memo.printed))
            return kProtoNoMemory;
        memo.text = text;
        memo.valid = true;
    }
    printed = &memo.printed;
    return 0;
}

template <size_t N>
void put(std::string &out, const char (&s)[N]) {
    out.append(s, N - 1);
}

template <typename T>
void put_integer(std::string &out, T value) {
    char digits[24];
    out.append(digits, std::to_chars(digits, digits + sizeof(digits), value).ptr);
}

}  // namespace

// Printed straight in cJSON_Print's layout, members in the order "id",
// "type", "uuid", "data": the same bytes as printing the object as a tree
// (both numbers are integers of 32 bits, which cJSON prints as their exact
// decimal text).
int encode_fui_post(uint32_t id, int type, const std::string &uuid, const std::string &data,
                    std::string &line) {
    const std::string *printed = nullptr;
    if (!data.empty() && printed_data(data, printed) != 0) return kProtoNoMemory;
    // The uuid as a cJSON string holds it: up to its first NUL.
    const size_t uuid_len = strlen(uuid.c_str());
    std::string json;
    json.reserve(64 + json_print_string_max(uuid_len) + (printed ? printed->size() : 0));
    put(json, "{\n\t\"id\":\t");
    put_integer(json, id);
    put(json, ",\n\t\"type\":\t");
    put_integer(json, type);
    put(json, ",\n\t\"uuid\":\t");
    const size_t at = json.size();
    json.resize(at + json_print_string_max(uuid_len));
    char *end = json_print_string(&json[at], uuid.c_str(), uuid_len);
    json.resize(static_cast<size_t>(end - json.data()));
    if (printed != nullptr) {
        put(json, ",\n\t\"data\":\t");
        json += *printed;
    }
    put(json, "\n}");
    line.clear();
    line.reserve(base64_encoded_length(json.size()) + 1);
    base64_encode_append(line, json.data(), json.size());
    line.push_back('\n');
    return 0;
}

// The line of one notification with the next id, the observer told: false
// (logged) when it cannot be printed.
static bool notice_line(const std::string &uuid, int type, const std::string &data,
                        std::string &line) {
    uint32_t id = get_fui_post_id();
    if (encode_fui_post(id, type, uuid, data, line) != 0) {
        Singleton<MyLog>::Instance()->Write(ERROR, "encode fui_post failed,type: %d", type);
        return false;
    }
    if (s_observer != nullptr) s_observer(type, uuid, data);
    return true;
}

void do_post_fui(const std::string &uuid, int type, const std::string &data) {
    std::string line;
    if (notice_line(uuid, type, data, line) && s_broadcast != nullptr) s_broadcast(line);
}

void mox_encode_notices(const std::vector<mox_notice_t> &notices, std::vector<std::string> &lines) {
    for (const mox_notice_t &n : notices) {
        std::string line;
        if (notice_line(n.uuid, n.type, n.data, line)) lines.push_back(std::move(line));
    }
}

void mox_post_notices(const std::vector<mox_notice_t> &notices) {
    for (const mox_notice_t &n : notices) do_post_fui(n.uuid, n.type, n.data);
}
