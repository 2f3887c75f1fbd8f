// The reply encoders: the wire form of each reply, and its bytes compared
// with printing the whole reply as a cJSON tree.
#include <cjson/cJSON.h>
#include <gtest/gtest.h>

#include <cctype>
#include <cstdint>
#include <cstring>
#include <ostream>
#include <string>
#include <vector>

#include "base/korvane_codes.h"
#include "proto/codec/base64.h"
#include "proto/codec/json.h"
#include "proto/proto.h"
#include "support/process_log.h"

namespace {

// --- the members of each reply ---

enum class Form { kFinal, kArray, kObject };

struct ReplyCase {
    const char *name;
    Form form;
    const char *stored;
    uint64_t id;
    uint32_t type;
    int32_t result_in;
    int32_t result;    // "result" on the wire
    const char *keys;  // member names in order
    const char *data;  // "data" printed compactly, "" when absent
};

const ReplyCase kReplyCases[] = {
    {"final", Form::kFinal, "", 42, 1001, 0, 0, "id,type,result,uuid", ""},
    {"final with a code", Form::kFinal, "", 42, 1001, 101, 101, "id,type,result,uuid", ""},
    {"array", Form::kArray, R"({"a":1})", 42, 1001, 0, 0, "data,id,type,result,uuid",
     R"([{"a":1}])"},
    {"array from text that is not JSON", Form::kArray, "{oops", 42, 1001, 0, 1,
     "data,id,type,result,uuid", "[]"},
    {"array from empty text", Form::kArray, "", 42, 1001, 0, 1, "data,id,type,result,uuid", "[]"},
    {"object", Form::kObject, R"({"a":[1,2]})", 42, 1004, 0, 0, "data,id,type,result,uuid",
     R"({"a":[1,2]})"},
    {"object from a bare string", Form::kObject, R"("s")", 42, 1004, 0, 0,
     "data,id,type,result,uuid", R"("s")"},
    {"object from text that is not JSON", Form::kObject, "nope", 42, 1004, 0, 1,
     "id,type,result,uuid", ""},
    {"largest type, id 2^53", Form::kFinal, "", uint64_t(1) << 53, 4294967295u, -6, -6,
     "id,type,result,uuid", ""},
    // Sixteen digits: cJSON's own number printing would round this id.
    {"id of sixteen digits", Form::kFinal, "", 1234567890123456, 2000, 0, 0, "id,type,result,uuid",
     ""},
    {"largest id", Form::kFinal, "", UINT64_MAX, 2000, 0, 0, "id,type,result,uuid", ""},
};

void PrintTo(const ReplyCase &c, std::ostream *os) {
    *os << c.name;
}

class ReplyTest : public ::testing::TestWithParam<ReplyCase> {};

TEST_P(ReplyTest, WireForm) {
    const ReplyCase &c = GetParam();
    mox_packet_t packet;
    packet.id = c.id;
    packet.type = c.type;
    packet.uuid = "u1";
    packet.result = c.result_in;
    int rc = c.form == Form::kFinal   ? encode_resp_final(packet)
             : c.form == Form::kArray ? encode_resp_data_array(c.stored, packet)
                                      : encode_resp_data_obj(c.stored, packet);
    ASSERT_EQ(rc, 0);
    EXPECT_EQ(packet.result, c.result);

    const std::string &line = packet.response;
    ASSERT_FALSE(line.empty());
    EXPECT_EQ(line.find('\n'), line.size() - 1);
    std::string json;
    ASSERT_TRUE(base64_decode_strict(line.data(), line.size() - 1, json)) << line;
    EXPECT_NE(json.find("\n\t"), std::string::npos) << "not formatted: " << json;

    JsonPtr root = json_parse(json);
    ASSERT_TRUE(cJSON_IsObject(root.get()));
    std::string keys;
    for (cJSON *m = root->child; m != nullptr; m = m->next)
        keys += (keys.empty() ? "" : ",") + std::string(m->string);
    EXPECT_EQ(keys, c.keys);

    EXPECT_EQ(cJSON_GetObjectItem(root.get(), "id")->valuedouble, static_cast<double>(c.id));
    EXPECT_EQ(cJSON_GetObjectItem(root.get(), "type")->valuedouble, static_cast<double>(c.type));
    EXPECT_EQ(cJSON_GetObjectItem(root.get(), "result")->valuedouble, c.result);
    EXPECT_STREQ(cJSON_GetStringValue(cJSON_GetObjectItem(root.get(), "uuid")), "u1");
    cJSON *data = cJSON_GetObjectItem(root.get(), "data");
    if (*c.data == '\0') {
        EXPECT_EQ(data, nullptr);
    } else {
        ASSERT_NE(data, nullptr);
        char *printed = cJSON_PrintUnformatted(data);
        EXPECT_STREQ(printed, c.data);
        cJSON_free(printed);
    }
}

INSTANTIATE_TEST_SUITE_P(Codec, ReplyTest, ::testing::ValuesIn(kReplyCases),
                         [](const ::testing::TestParamInfo<ReplyCase> &info) {
                             return vk_test::ParamName(info.param.name);
                         });

// --- the bytes of each reply ---

// The reply must be exactly what printing the whole tree with cJSON gives:
// "data" parsed from the stored text, the numbers as cJSON numbers (the id
// as its exact decimal text, which cJSON's own number printing could round),
// the uuid as a cJSON string. Every text goes with every envelope in every
// form, twice and between other texts, since the encoder keeps the last text
// of each form.

// Bytes `from` to `to`, both included.
std::string Bytes(unsigned from, unsigned to) {
    std::string out;
    for (unsigned c = from; c <= to; ++c) out.push_back(static_cast<char>(c));
    return out;
}

std::vector<std::string> StoredTexts() {
    // A large text: its reply is longer than any buffer a printer might
    // keep for the common case.
    std::string large = R"({"items":[)";
    for (int i = 0; i < 2000; ++i)
        large += (i ? "," : "") + std::string(R"({"n":)") + std::to_string(i) +
                 R"(,"s":"entry \"quoted\"\n","o":{"a":[true,null]}})";
    large += "]}";
    return {
        // One byte apart: the reply's bytes before the id come in each
        // length modulo 3 (the encoder's base64 of them is worked out once).
        R"({"a":1})",
        R"({"ab":1})",
        R"({"abc":1})",
        R"({})",
        R"([])",
        R"({"name":"x","nested":{"deep":{"deeper":[1,{"k":"v"},[]]},"e":{}},"list":[{"a":{}},2]})",
        R"({"s":"line\nfeed\ttab \"quoted\" \\ \u0001 ü 中","n":-1.5e-7,"big":12345678901234567890})",
        R"([{"a":[{"b":{}}]},"x",null,true,false])",
        R"("bare string")",
        R"(  {"trailing":"text"}  garbage)",
        large,
        "not json",
        "{\"unterminated\":",
        "",
    };
}

struct Envelope {
    const char *name;
    uint64_t id;
    uint32_t type;
    int32_t result;
    std::string uuid;
};

const Envelope kEnvelopes[] = {
    {"plain", 11, 1004, 0, "5b0a7c1e-2f4d-4e8a-9c3b-1d2e3f4a5b6c"},
    {"id 0", 0, 1004, 0, "u1"},
    {"id 1, a failure code", 1, 1001, 101, "u1"},
    {"id 2^53+1", (uint64_t(1) << 53) + 1, 1004, 0, "u1"},
    {"largest id and type", UINT64_MAX, 4294967295u, 0, "u1"},
    {"negative result", 12, 2000, -6, "u1"},
    {"smallest result", 12, 2000, INT32_MIN, "u1"},
    {"largest result", 12, 2000, INT32_MAX, "u1"},
    {"uuid with quotes and backslashes", 5, 1004, 0, "a\"b\\c\"\\"},
    {"uuid of control bytes and DEL", 5, 1004, 0, Bytes(0x01, 0x1f) + "\x7f"},
    {"uuid of UTF-8", 5, 1004, 0, "\xc3\xbc \xe4\xb8\xad \xf0\x9f\x98\x80"},
    {"uuid of invalid UTF-8", 5, 1004, 0, "\xff\xfe\xc3(\xe2\x82 \x80\xc0\xaf"},
    {"uuid of every byte but NUL", 5, 1004, 0, Bytes(0x01, 0xff)},
    {"empty uuid", 5, 1004, 0, ""},
    {"uuid ending at a NUL, as a C string", 5, 1004, 0, std::string("ab\0cd", 5)},
    {"long uuid of control bytes", 5, 1004, 0, std::string(3000, '\x01')},
};

std::string ReferenceReply(Form form, const std::string &stored, const mox_packet_t &in,
                           int32_t result) {
    cJSON *root = cJSON_CreateObject();
    if (form != Form::kFinal) {
        cJSON *value = cJSON_Parse(stored.c_str());
        if (form == Form::kArray) {
            cJSON *array = cJSON_CreateArray();
            if (value != nullptr) cJSON_AddItemToArray(array, value);
            cJSON_AddItemToObject(root, "data", array);
        } else if (value != nullptr) {
            cJSON_AddItemToObject(root, "data", value);
        }
    }
    cJSON_AddItemToObject(root, "id", cJSON_CreateRaw(std::to_string(in.id).c_str()));
    cJSON_AddNumberToObject(root, "type", static_cast<double>(in.type));
    cJSON_AddNumberToObject(root, "result", static_cast<double>(result));
    cJSON_AddStringToObject(root, "uuid", in.uuid.c_str());
    char *printed = cJSON_Print(root);
    std::string line = base64_encode(printed, strlen(printed)) + "\n";
    cJSON_free(printed);
    cJSON_Delete(root);
    return line;
}

// The JSON text of a reply line, for readable failures.
std::string Decoded(const std::string &line) {
    std::string json;
    if (line.empty() || !base64_decode_strict(line.data(), line.size() - 1, json))
        return "(not base64: " + line + ")";
    return json;
}

TEST(ReplyBytes, SameAsPrintingTheWholeTree) {
    const std::vector<std::string> texts = StoredTexts();
    for (int round = 0; round < 2; ++round) {
        for (const std::string &stored : texts) {
            cJSON *parsed = cJSON_Parse(stored.c_str());
            const bool text_parses = parsed != nullptr;
            cJSON_Delete(parsed);
            // The same text in each form in turn: each form keeps its own.
            for (Form form : {Form::kFinal, Form::kArray, Form::kObject}) {
                const bool parses = form == Form::kFinal || text_parses;
                for (const Envelope &e : kEnvelopes) {
                    SCOPED_TRACE(std::string("envelope: ") + e.name +
                                 ", form: " + std::to_string(static_cast<int>(form)) +
                                 ", stored text: " + stored.substr(0, 100));
                    mox_packet_t packet;
                    packet.id = e.id;
                    packet.type = e.type;
                    packet.uuid = e.uuid;
                    packet.result = e.result;
                    int rc = form == Form::kFinal   ? encode_resp_final(packet)
                             : form == Form::kArray ? encode_resp_data_array(stored, packet)
                                                    : encode_resp_data_obj(stored, packet);
                    ASSERT_EQ(rc, 0);
                    const int32_t result = parses ? e.result : KORVANE_RESULT_FAILED;
                    EXPECT_EQ(packet.result, result);
                    const std::string expected = ReferenceReply(form, stored, packet, result);
                    ASSERT_EQ(Decoded(packet.response), Decoded(expected));
                    ASSERT_EQ(packet.response, expected);
                }
            }
        }
    }
}

}  // namespace
