// Request lines through mox_handle_request: base64 leniency, envelope
// members, number conversion, dispatch rejection and the log lines each
// outcome writes. The replies are tested in test_reply.cpp.
#include <cjson/cJSON.h>
#include <gtest/gtest.h>

#include <cctype>
#include <cstdint>
#include <cstring>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "handlers/dispatch.h"
#include "log/log_escape.h"
#include "log/mylog.h"
#include "proto/codec/base64.h"
#include "proto/codec/json.h"
#include "proto/proto.h"
#include "support/process_log.h"
#include "support/temp_root.h"

namespace {

// --- the base64 codec on its own ---

struct Base64Case {
    const char *name;
    std::string text;
    bool ok;              // lenient decoder accepts
    std::string decoded;  // its output
    bool canonical;       // also the strict decoder's and the encoder's form
};

const Base64Case kBase64Cases[] = {
    {"empty", "", true, "", true},
    {"one byte", "Zg==", true, "f", true},
    {"two bytes", "Zm8=", true, "fo", true},
    {"three bytes", "Zm9v", true, "foo", true},
    {"four bytes", "Zm9vYg==", true, "foob", true},
    {"five bytes", "Zm9vYmE=", true, "fooba", true},
    {"six bytes", "Zm9vYmFy", true, "foobar", true},
    {"unpadded one byte", "Zg", true, "f", false},
    {"unpadded two bytes", "Zm8", true, "fo", false},
    {"single leftover ignored", "Zm9vY", true, "foo", false},
    {"single character alone", "Z", true, "", false},
    {"foreign character is 255, bytes cut to 8 bits", "Zm!v", true, std::string("fo\xEF"), false},
    {"data after the first '='", "Zg=x", false, "", false},
    {"only '='", "=", false, "", false},
    {"only '=', four", "====", false, "", false},
    {"'=' run longer than the data allows", "Zg===", false, "", false},
    {"more bytes than the '=' run allows", "Zm9vYmFy==", false, "", false},
    {"carriage return after padding", "Zg==\r", false, "", false},
};

void PrintTo(const Base64Case &c, std::ostream *os) {
    *os << c.name;
}

class Base64Test : public ::testing::TestWithParam<Base64Case> {};

TEST_P(Base64Test, Decodes) {
    const Base64Case &c = GetParam();
    std::string out = "junk";
    EXPECT_EQ(base64_decode(c.text.data(), c.text.size(), out), c.ok);
    EXPECT_EQ(out, c.decoded);

    std::string strict;
    EXPECT_EQ(base64_decode_strict(c.text.data(), c.text.size(), strict), c.canonical);
    if (c.canonical) {
        EXPECT_EQ(strict, c.decoded);
        EXPECT_EQ(base64_encode(c.decoded), c.text);
        EXPECT_EQ(base64_encoded_length(c.decoded.size()), c.text.size());
    }
}

INSTANTIATE_TEST_SUITE_P(Codec, Base64Test, ::testing::ValuesIn(kBase64Cases),
                         [](const ::testing::TestParamInfo<Base64Case> &info) {
                             return vk_test::ParamName(info.param.name);
                         });

TEST(Base64, EveryByteValueRoundTrips) {
    std::string bytes;
    for (int i = 0; i < 256; i++) bytes.push_back(static_cast<char>(i));
    for (size_t len = 0; len <= 3; len++) {
        std::string in = bytes.substr(0, 256 - len);
        std::string text = base64_encode(in);
        std::string lenient, strict;
        ASSERT_TRUE(base64_decode(text.data(), text.size(), lenient));
        ASSERT_TRUE(base64_decode_strict(text.data(), text.size(), strict));
        EXPECT_EQ(lenient, in);
        EXPECT_EQ(strict, in);
    }
}

// --- request lines ---

// Marks where each test's lines begin in the suite's log.
class LoggedTest : public vk_test::ProcessLogSuite {
protected:
    void SetUp() override { Mark(); }
    void Mark() { m_mark = vk_test::ReadFile(LogPath()).size(); }
    // What was logged since the test began.
    std::string NewLog() const { return vk_test::ReadFile(LogPath()).substr(m_mark); }

    size_t m_mark = 0;
};

size_t Count(const std::string &hay, const std::string &needle) {
    size_t n = 0;
    for (size_t at = hay.find(needle); at != std::string::npos; at = hay.find(needle, at + 1)) n++;
    return n;
}

struct EnvelopeCase {
    std::string name;
    std::string line;
    int rc;
    std::string error;  // the one ERROR message expected, "" for none
    bool reached;       // the envelope was read whole: check the fields below
    std::string uuid;
    uint64_t id;
    uint32_t type;
    std::string data;
};

// Read whole and rejected by dispatch (no served type is used here, so these
// rows hold whatever handlers are installed).
EnvelopeCase Reaches(std::string name, std::string line, uint64_t id = 5, uint32_t type = 1500,
                     std::string data = "", std::string uuid = "u1") {
    return {std::move(name),
            std::move(line),
            -6,
            "bad request type: " + std::to_string(type),
            true,
            std::move(uuid),
            id,
            type,
            std::move(data)};
}
// What a refusal's log line shows of `line`: its first 256 bytes, and its
// length when it is longer.
std::string Shown(const std::string &line) {
    if (line.size() <= 256) return line;
    return line.substr(0, 256) + "...(" + std::to_string(line.size()) + " bytes)";
}

EnvelopeCase NotBase64(std::string name, std::string line) {
    std::string error = "base64 request: " + Shown(line) + ",base64 decode failed";
    return {std::move(name), std::move(line), -6, error, false, "", 0, 0, ""};
}
EnvelopeCase NotJson(std::string name, std::string line) {
    std::string error = "bad request: " + Shown(line) + ",not a json";
    return {std::move(name), std::move(line), -6, error, false, "", 0, 0, ""};
}
EnvelopeCase Silent(std::string name, std::string line, int rc) {
    return {std::move(name), std::move(line), rc, "", false, "", 0, 0, ""};
}

std::string Unpad(std::string s) {
    while (!s.empty() && s.back() == '=') s.pop_back();
    return s;
}

// A request for type 1500 (never served), its JSON text grown with blanks to
// a length of `rem` modulo 3, i.e. to zero, two or one '=' of padding.
std::string Request(size_t rem) {
    std::string json = R"({"uuid":"u1","id":5,"type":1500})";
    while (json.size() % 3 != rem) json.insert(1, " ");
    return json;
}

// A request whose base64 text is exactly `len` characters (len % 4 == 0).
std::string RequestOfLength(size_t len) {
    std::string json = R"({"uuid":"u1","id":5,"type":1500,"pad":""})";
    json.insert(json.size() - 2, len / 4 * 3 - json.size(), 'x');
    return base64_encode(json);
}

std::string B64(const std::string &json) {
    return base64_encode(json);
}

std::string Id(const std::string &id) {
    return B64(R"({"uuid":"u1","id":)" + id + R"(,"type":1500})");
}
std::string Type(const std::string &type) {
    return B64(R"({"uuid":"u1","id":5,"type":)" + type + "}");
}
std::string Data(const std::string &data) {
    return B64(R"({"uuid":"u1","id":5,"type":1500,"data":)" + data + "}");
}

std::vector<EnvelopeCase> EnvelopeCases() {
    const std::string nul_json = R"({"uuid":"u1","id":5,"type":1500})" + std::string(1, '\0') + "x";
    return {
        // base64 framing
        Reaches("no padding needed", B64(Request(0))),
        Reaches("padded, one '='", B64(Request(2))),
        Reaches("unpadded, one '=' left out", Unpad(B64(Request(2)))),
        Reaches("padded, two '='", B64(Request(1))),
        Reaches("unpadded, two '=' left out", Unpad(B64(Request(1)))),
        Reaches("single leftover character ignored", B64(Request(0)) + "Q"),
        Reaches("single leftover character before '==='", B64(Request(0)) + "Q==="),
        NotBase64("'=' beyond the padding", B64(Request(2)) + "="),
        NotBase64("would decode past the expected length", Unpad(B64(Request(1))) + "==="),
        NotBase64("only '='", "="),
        NotBase64("only '=', eight", "========"),
        NotBase64("long '=' run after the data", "Q====="),
        NotBase64("carriage return after the padding", B64(Request(2)) + "\r"),
        // The CR takes a data position and decodes to one byte after the
        // object, which the JSON parser leaves alone.
        Reaches("carriage return after unpadded text", Unpad(B64(Request(2))) + "\r"),
        NotJson("foreign characters decode to garbage", "!!!!"),
        NotJson("256 bytes shown whole", std::string(256, '!')),
        NotJson("257 bytes shown in part with the length", std::string(257, '!')),
        NotJson("8192 bytes shown in part with the length", std::string(8192, 'A')),
        NotJson("8192 bytes of JSON shown in part with the length",
                B64(R"({"uuid":")" + std::string(6100, 'u') + R"(","id":"x"})")),
        Reaches("8192 characters", RequestOfLength(8192)),
        Silent("8193 characters", RequestOfLength(8192) + "=", -5),
        Silent("empty", "", -3),
        // JSON and members
        NotJson("not JSON", B64("hello")),
        NotJson("an array, not an object", B64(R"([{"uuid":"u1","id":5,"type":1500}])")),
        Reaches("text ends at the first NUL byte", B64(nul_json)),
        Reaches("keys in capitals", B64(R"({"UUID":"u1","ID":5,"TYPE":1500})")),
        Reaches("keys with a capital first letter", B64(R"({"Uuid":"u1","Id":5,"Type":1500})")),
        Reaches("first of two matching keys",
                B64(R"({"uuid":"u1","UUID":"u2","id":5,"type":1500})")),
        NotJson("id as a string", Id(R"("5")")),
        NotJson("id as true", Id("true")),
        NotJson("uuid as a number", B64(R"({"uuid":1,"id":5,"type":1500})")),
        NotJson("uuid null", B64(R"({"uuid":null,"id":5,"type":1500})")),
        NotJson("type as a string", Type(R"("1500")")),
        NotJson("type missing", B64(R"({"uuid":"u1","id":5})")),
        NotJson("uuid missing", B64(R"({"id":5,"type":1500})")),
        // "data"
        Reaches("data as an array", Data("[1]")),
        Reaches("data as a string", Data(R"("x")")),
        Reaches("data null", Data("null")),
        // A type that reads no body keeps none (test_envelope.cpp has the
        // bodies of the types that read one).
        Reaches("empty data object", Data("{}")),
        Reaches("data object", Data(R"({"a":1})")),
        NotJson("data object that is not JSON", Data(R"({"a":})")),
        // "id": truncated, negatives wrap, beyond 2^64 clamped
        Reaches("id 7.9", Id("7.9"), 7),
        Reaches("id 0.5", Id("0.5"), 0),
        Reaches("id -1", Id("-1"), UINT64_MAX),
        Reaches("id -9.5", Id("-9.5"), UINT64_MAX - 8),
        Reaches("id 2^63", Id("9223372036854775808"), uint64_t(1) << 63),
        Reaches("id 2^64", Id("18446744073709551616"), UINT64_MAX),
        Reaches("id 1e308", Id("1e308"), UINT64_MAX),
        Reaches("id -1e308", Id("-1e308"), 0),
        Reaches("id overflowing to infinity", Id("1e400"), UINT64_MAX),
        Reaches("id -2^63", Id("-9223372036854775808"), uint64_t(1) << 63),
        // "type": truncated, clamped to int32, stored unsigned
        Reaches("type -1", Type("-1"), 5, 4294967295u),
        Reaches("type -1.5", Type("-1.5"), 5, 4294967295u),
        Reaches("type 1500.9", Type("1500.9"), 5, 1500),
        Reaches("type 1e308", Type("1e308"), 5, 2147483647u),
        Reaches("type -1e308", Type("-1e308"), 5, 2147483648u),
        Reaches("type 2^32", Type("4294967296"), 5, 2147483647u),
        Reaches("type 0", Type("0"), 5, 0),
        Reaches("type 999", Type("999"), 5, 999),
        Reaches("type 1006", Type("1006"), 5, 1006),
        Reaches("type 1499", Type("1499"), 5, 1499),
        Reaches("type 1504", Type("1504"), 5, 1504),
        Reaches("type 1999", Type("1999"), 5, 1999),
        Reaches("type 2004", Type("2004"), 5, 2004),
    };
}

class EnvelopeTest : public LoggedTest {};

// A text as the log shows it: control bytes escaped.
std::string AsLogged(const std::string &text) {
    std::string out(log_escaped_length(text.data(), text.size()), '\0');
    log_escape(text.data(), text.size(), &out[0]);
    return out;
}

TEST_F(EnvelopeTest, EachLine) {
    for (const EnvelopeCase &c : EnvelopeCases()) {
        SCOPED_TRACE(c.name);
        Mark();
        mox_packet_t packet;
        EXPECT_EQ(mox_handle_request(c.line.c_str(), c.line.size(), packet), c.rc);
        EXPECT_TRUE(packet.response.empty());

        std::string log = NewLog();
        EXPECT_EQ(Count(log, "|DEBUG|handle request: " + AsLogged(c.line) + "\n"), 1u);
        if (c.error.empty()) {
            EXPECT_EQ(Count(log, "|ERROR|"), 0u) << log;
        } else {
            EXPECT_EQ(Count(log, "|ERROR|"), 1u) << log;
            EXPECT_EQ(Count(log, "|ERROR|" + AsLogged(c.error) + "\n"), 1u) << log;
        }
        if (c.reached) {
            EXPECT_EQ(packet.uuid, c.uuid);
            EXPECT_EQ(packet.id, c.id);
            EXPECT_EQ(packet.type, c.type);
            EXPECT_EQ(packet.data, c.data);
        }
    }
}

TEST_F(EnvelopeTest, NullLineIsEmpty) {
    mox_packet_t packet;
    EXPECT_EQ(mox_handle_request(nullptr, 10, packet), -3);
    EXPECT_EQ(Count(NewLog(), "|ERROR|"), 0u);
}

// The caller's text need not end at `len`: nothing beyond it is read.
TEST_F(EnvelopeTest, ReadsOnlyLenBytes) {
    std::string line = B64(Request(0));
    std::string longer = line + "QUFB";
    mox_packet_t packet;
    EXPECT_EQ(mox_handle_request(longer.c_str(), line.size(), packet), -6);
    EXPECT_EQ(Count(NewLog(), "|ERROR|bad request type: 1500\n"), 1u);
    EXPECT_EQ(packet.uuid, "u1");
}

}  // namespace
