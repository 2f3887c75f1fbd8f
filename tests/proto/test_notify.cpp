// Notifications are printed straight in cJSON's layout: every line must be
// the bytes of printing the whole notification as a cJSON tree.
#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <string>

#include "proto/codec/base64.h"
#include "proto/codec/json.h"
#include "proto/notify.h"
#include "proto/proto.h"

namespace {

// The notification built as a tree and printed by cJSON: what every front
// UI has always received.
std::string Reference(uint32_t id, int type, const std::string &uuid, const std::string &data) {
    JsonPtr root(cJSON_CreateObject());
    cJSON_AddNumberToObject(root.get(), "id", static_cast<double>(id));
    cJSON_AddNumberToObject(root.get(), "type", type);
    cJSON_AddStringToObject(root.get(), "uuid", uuid.c_str());
    if (!data.empty())
        cJSON_AddItemToObject(root.get(), "data", cJSON_ParseWithLength(data.data(), data.size()));
    JsonText text(cJSON_Print(root.get()));
    return base64_encode(text.get(), strlen(text.get())) + "\n";
}

struct NotifyCase {
    const char *name;
    uint32_t id;
    int type;
    std::string uuid;
    std::string data;
};

TEST(NotifyBytes, SameAsPrintingTheWholeTree) {
    const std::string detail =
        "{\n\t\"name\":\t\"Ambrel AV\",\n\t\"status\":\t1,\n\t\"uuid\":\t\"a\"\n}";
    const NotifyCase cases[] = {
        {"no data", 7, KORVANE_NOTIFY_STOP_DEFAULT, "5b0a7c1e-2f4d-4e8a-9c3b-1d2e3f4a5b6c", ""},
        {"stored detail", 1073741824, KORVANE_NOTIFY_SECSOFT, "u-1", detail},
        {"the same detail again", 1073741825, KORVANE_NOTIFY_SECSOFT, "u-1", detail},
        {"nested and compact", 0, KORVANE_NOTIFY_SECSOFT, "u",
         R"({"a":{"b":[1,2,{"c":"line\nfeed"}]},"n":-1.5e300,"t":true,"z":null})"},
        {"array", 2147483645, KORVANE_NOTIFY_SECSOFT, "u", R"([1,"two",{"three":3}])"},
        {"a scalar", 12, KORVANE_NOTIFY_SECSOFT, "u", "\"just text\""},
        {"text after the value", 12, KORVANE_NOTIFY_SECSOFT, "u", "{\"a\":1} trailing"},
        {"uuid to escape", 3, INT_MAX, std::string("q\"b\\c\x01\x1f\x7f\xc3\xa9\xff", 10), "{}"},
        {"uuid cut at a NUL", 3, INT_MIN, std::string("before\0after", 12), ""},
        {"empty uuid", 3, -1, "", "{\"x\":0}"},
    };
    for (const NotifyCase &c : cases) {
        std::string line;
        ASSERT_EQ(encode_fui_post(c.id, c.type, c.uuid, c.data, line), kProtoOk) << c.name;
        EXPECT_EQ(line, Reference(c.id, c.type, c.uuid, c.data)) << c.name;
    }
}

// A stored body that is not JSON fails the notification, and one that
// does not parse after one that did is not answered from the kept copy.
TEST(NotifyBytes, BodyThatDoesNotParseFails) {
    std::string line = "untouched";
    ASSERT_EQ(encode_fui_post(1, KORVANE_NOTIFY_SECSOFT, "u", "{\"ok\":1}", line), kProtoOk);
    line = "untouched";
    EXPECT_EQ(encode_fui_post(1, KORVANE_NOTIFY_SECSOFT, "u", "{\"ok\":", line), kProtoNoMemory);
    EXPECT_EQ(line, "untouched");
    ASSERT_EQ(encode_fui_post(2, KORVANE_NOTIFY_SECSOFT, "u", "{\"ok\":1}", line), kProtoOk);
    EXPECT_EQ(line, Reference(2, KORVANE_NOTIFY_SECSOFT, "u", "{\"ok\":1}"));
}

}  // namespace
