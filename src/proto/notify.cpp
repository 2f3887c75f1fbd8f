#include "proto/notify.h"

#include <cjson/cJSON.h>
#include <time.h>

#include <utility>

#include "log/mylog.h"
#include "proto/codec/json.h"
#include "proto/proto.h"

uint64_t now_nanosec = 0;

static mox_broadcast_proc *s_broadcast = nullptr;

void mox_set_broadcast(mox_broadcast_proc *broadcast) {
    s_broadcast = broadcast;
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

int encode_fui_post(uint32_t id, int type, const std::string &uuid, const std::string &data,
                    std::string &line) {
    JsonPtr root(cJSON_CreateObject());
    if (root == nullptr) return kProtoNoMemory;
    cJSON_AddNumberToObject(root.get(), "id", static_cast<double>(id));
    cJSON_AddNumberToObject(root.get(), "type", type);
    if (cJSON_AddStringToObject(root.get(), "uuid", uuid.c_str()) == nullptr) return kProtoNoMemory;
    if (!data.empty()) {
        cJSON *value = cJSON_ParseWithLength(data.data(), data.size());
        if (value == nullptr) return kProtoNoMemory;
        cJSON_AddItemToObject(root.get(), "data", value);
    }
    std::string text;
    int rc = base64_json(root.get(), text);
    if (rc != 0) return rc;
    text.push_back('\n');
    line = std::move(text);
    return 0;
}

void do_post_fui(const std::string &uuid, int type, const std::string &data) {
    uint32_t id = get_fui_post_id();
    std::string line;
    if (encode_fui_post(id, type, uuid, data, line) != 0) {
        Singleton<MyLog>::Instance()->Write(ERROR, "encode fui_post failed,type: %d", type);
        return;
    }
    if (s_broadcast != nullptr) s_broadcast(line);
}
