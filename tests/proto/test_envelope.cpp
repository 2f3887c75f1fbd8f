// The envelope scanner on its own (what it answers quickly and what it
// leaves to cJSON) and its check of values it does not read, then
// mox_decode_request against its reference mox_decode_request_slow, the
// whole envelope parsed with cJSON: same return code, packet and log lines
// for every row and for inputs only the reference decides; and the "data"
// of types that take no body, checked as strictly but never built.
#include <cjson/cJSON.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <string>
#include <vector>

#include "log/mylog.h"
#include "proto/codec/base64.h"
#include "proto/codec/envelope.h"
#include "proto/codec/json.h"
#include "proto/proto.h"
#include "support/process_log.h"
#include "support/temp_root.h"

namespace {

struct ScanCase {
    const char *name;
    std::string text;
    bool fast;
    // When fast: what cJSON holds for the members; `data` is the object's
    // text, "" when there is none.
    std::string uuid;
    double id;
    double type;
    std::string data;
};

ScanCase Fast(const char *name, std::string text, std::string uuid = "u1", double id = 5,
              double type = 1500, std::string data = "") {
    return {name, std::move(text), true, std::move(uuid), id, type, std::move(data)};
}
ScanCase NotSure(const char *name, std::string text) {
    return {name, std::move(text), false, "", 0, 0, ""};
}

// An envelope with `member` (text such as "\"k\":1") added after "type".
std::string With(const std::string &member) {
    return R"({"uuid":"u1","id":5,"type":1500,)" + member + "}";
}
std::string Id(const std::string &id) {
    return R"({"uuid":"u1","id":)" + id + R"(,"type":1500})";
}

const std::string kNul(1, '\0');

std::vector<ScanCase> ScanCases() {
    return {
        // the common forms
        Fast("compact", R"({"uuid":"u1","id":5,"type":1500})"),
        Fast("as the client library writes it, data first",
             R"({"data":{"a":1},"uuid":"u1","id":5,"type":1500})", "u1", 5, 1500, R"({"a":1})"),
        Fast("blanks, tabs, CR and LF between tokens",
             " \t{\r\n\"uuid\" : \"u1\" ,\n\t\"id\":\t5 , \"type\" :1500 \r\n}"),
        Fast("keys in any case", R"({"UUID":"u1","Id":5,"tYPE":1500})"),
        Fast("other members with plain values",
             With(R"("s":"x","n":-1.5e3,"t":true,"f":false,"z":null)")),
        Fast("an empty uuid", R"({"uuid":"","id":5,"type":1500})", ""),
        Fast("bytes above 0x7f in strings kept as they are",
             "{\"uuid\":\"\xC3\xB5\xFF\",\"id\":5,\"type\":1500}", "\xC3\xB5\xFF"),
        Fast("whatever follows the object is ignored", Id("5") + "}x[\x01"),
        Fast("text ends at the first NUL byte", Id("5") + kNul + "garbage"),
        // "data"
        Fast("data not an object: no body", With(R"("data":"x")")),
        Fast("data a number: no body", With(R"("data":7)")),
        Fast("data null: no body", With(R"("data":null)")),
        Fast("empty data object", With(R"("data":{})"), "u1", 5, 1500, "{}"),
        Fast("data brackets inside strings and escapes skipped",
             With(R"("data":{"a":"}]\"{[","b":[{"c":"\\"}]})"), "u1", 5, 1500,
             R"({"a":"}]\"{[","b":[{"c":"\\"}]})"),
        Fast("data left for cJSON to judge, even when it is not JSON", With(R"("data":{"a":}})"),
             "u1", 5, 1500, R"({"a":})"),
        Fast("data an array: no body", With(R"("data":[1,{"a":[]},"\u00e9"])")),
        // other members' values, checked without being built
        Fast("object in another member", With(R"("k":{})")),
        Fast("array in another member", With(R"("k":[])")),
        Fast("nested values and escapes in another member",
             With(R"("k":{"a":[1,-2.5e-3,true,null,{"b":"\"\\\/\b\f\n\r\t\u00e9\ud83d\ude00"}]})")),
        // numbers: the double strtod gives
        Fast("id with a fraction", Id("7.9"), "u1", 7.9),
        Fast("id with an exponent", Id("1E+2"), "u1", 100),
        Fast("id negative zero", Id("-0"), "u1", -0.0),
        Fast("id of 15 digits", Id("999999999999999"), "u1", 999999999999999.0),
        Fast("id of 20 digits", Id("18446744073709551616"), "u1", 18446744073709551616.0),
        Fast("id overflowing to infinity", Id("1e400"), "u1", HUGE_VAL),
        Fast("id of 63 characters", Id("1." + std::string(61, '0')), "u1", 1),
        // not the root object cJSON would read
        NotSure("empty text", ""),
        NotSure("only blanks", "  "),
        NotSure("an array", R"([{"uuid":"u1","id":5,"type":1500}])"),
        NotSure("UTF-8 byte order mark", "\xEF\xBB\xBF" + Id("5")),
        NotSure("form feed as a blank", "\f" + Id("5")),
        NotSure("control byte as a blank", "{\x01\"uuid\":\"u1\",\"id\":5,\"type\":1500}"),
        NotSure("empty object", "{}"),
        NotSure("object cut short", R"({"uuid":"u1","id":5,"type":1500)"),
        NotSure("object cut by a NUL byte", R"({"uuid":"u1","id":5,"type":1500)" + kNul + "}"),
        NotSure("trailing comma", R"({"uuid":"u1","id":5,"type":1500,})"),
        NotSure("missing colon", R"({"uuid" "u1","id":5,"type":1500})"),
        NotSure("missing comma", R"({"uuid":"u1" "id":5,"type":1500})"),
        // envelope members
        NotSure("uuid missing", R"({"id":5,"type":1500})"),
        NotSure("id missing", R"({"uuid":"u1","type":1500})"),
        NotSure("type missing", R"({"uuid":"u1","id":5})"),
        NotSure("uuid a number", R"({"uuid":1,"id":5,"type":1500})"),
        NotSure("uuid null", R"({"uuid":null,"id":5,"type":1500})"),
        NotSure("id a string", Id(R"("5")")),
        NotSure("id true", Id("true")),
        NotSure("type an object", R"({"uuid":"u1","id":5,"type":{}})"),
        NotSure("uuid twice, other case", R"({"uuid":"u1","UUID":"u2","id":5,"type":1500})"),
        NotSure("id twice", R"({"uuid":"u1","id":5,"ID":6,"type":1500})"),
        NotSure("data twice", With(R"("data":1,"Data":{})")),
        // strings outside the subset
        NotSure("escape in the uuid", R"({"uuid":"u\"1","id":5,"type":1500})"),
        NotSure("\\u escape in the uuid", R"({"uuid":"u\u0000x","id":5,"type":1500})"),
        NotSure("escape in a key", R"({"uu\u0069d":"u1","id":5,"type":1500})"),
        NotSure("raw control byte in the uuid", "{\"uuid\":\"u\x01\",\"id\":5,\"type\":1500}"),
        NotSure("tab in a key", "{\"uu\tid\":\"u1\",\"id\":5,\"type\":1500}"),
        NotSure("unterminated string", R"({"uuid":"u1)"),
        // other members' values
        NotSure("literal cut short", With(R"("k":tru)")),
        NotSure("literal run on", With(R"("k":truex)")),
        NotSure("capital literal", With(R"("k":True)")),
        NotSure("data object never closed", R"({"uuid":"u1","id":5,"type":1500,"data":{"a":"}")"),
        NotSure("data object closed, root object not",
                R"({"uuid":"u1","id":5,"type":1500,"data":{"a":"}"})"),
        // numbers cJSON reads in its own way
        NotSure("leading zero", Id("01")),
        NotSure("leading plus", Id("+1")),
        NotSure("bare fraction", Id(".5")),
        NotSure("point without digits", Id("1.")),
        NotSure("two points", Id("1.2.3")),
        NotSure("exponent without digits", Id("1e")),
        NotSure("exponent run on", Id("1e5e")),
        NotSure("minus alone", Id("-")),
        NotSure("minus and a point", Id("-.5")),
        NotSure("hexadecimal", Id("0x10")),
        NotSure("infinity", Id("-inf")),
        NotSure("64 characters", Id("1." + std::string(62, '0'))),
        NotSure("sign after the digits", With(R"("k":1-2)")),
        NotSure("leading zero inside an array", With(R"("k":[01])")),
        NotSure("trailing comma inside an array", With(R"("data":[1,])")),
        NotSure("a lone surrogate escape", With(R"("k":"\ud800")")),
        NotSure("raw control byte in another string", With("\"k\":[\"\x01\"]")),
        NotSure("another member nested 33 deep",
                With(R"("k":)" + std::string(33, '[') + std::string(33, ']'))),
    };
}

class EnvelopeScan : public ::testing::TestWithParam<ScanCase> {};

TEST_P(EnvelopeScan, Answers) {
    const ScanCase &c = GetParam();
    envelope_t env;
    const int rc = envelope_scan(c.text.data(), c.text.size(), &env);
    ASSERT_EQ(rc, c.fast ? kEnvelopeFast : kEnvelopeNotSure);
    if (!c.fast) return;
    EXPECT_EQ(std::string(env.uuid, env.uuid_len), c.uuid);
    // Bit for bit: -0 and infinity included.
    EXPECT_EQ(std::memcmp(&env.id, &c.id, sizeof(double)), 0) << env.id << " " << c.id;
    EXPECT_EQ(env.type, c.type);
    if (c.data.empty()) {
        EXPECT_EQ(env.data, nullptr);
    } else {
        ASSERT_NE(env.data, nullptr);
        EXPECT_EQ(std::string(env.data, env.data_len), c.data);
    }
}

std::string CaseName(const ::testing::TestParamInfo<ScanCase> &info) {
    std::string out;
    for (const char *p = info.param.name; *p; p++)
        out.push_back(isalnum(static_cast<unsigned char>(*p)) ? *p : '_');
    return out;
}

INSTANTIATE_TEST_SUITE_P(Table, EnvelopeScan, ::testing::ValuesIn(ScanCases()), CaseName);

// Nothing at or past `len` is read: the object's closing brace left out.
TEST(EnvelopeScanLength, StopsAtLen) {
    const std::string text = R"({"uuid":"u1","id":5,"type":1500})";
    envelope_t env;
    EXPECT_EQ(envelope_scan(text.data(), text.size() - 1, &env), kEnvelopeNotSure);
    EXPECT_EQ(envelope_scan(text.data(), text.size(), &env), kEnvelopeFast);
    const std::string number = R"({"uuid":"u1","type":1500,"id":12)";
    EXPECT_EQ(envelope_scan(number.data(), number.size() - 1, &env), kEnvelopeNotSure);
}

// --- envelope_value_ok: a value checked without building it ---

struct ValueCase {
    const char *name;
    std::string text;
    bool ok;
    int levels = 32;
};

std::vector<ValueCase> ValueCases() {
    const std::string n63 = "-1." + std::string(60, '5');
    return {
        {"integer", "0", true},
        {"negative zero", "-0", true},
        {"fraction and exponent", "-12.5e-3", true},
        {"capital exponent with a sign", "1E+400", true},
        {"63 characters", n63, true},
        {"64 characters", n63 + "5", false},
        {"leading zero", "01", false},
        {"leading plus", "+1", false},
        {"point without digits", "1.", false},
        {"bare fraction", ".5", false},
        {"exponent without digits", "1e+", false},
        {"minus alone", "-", false},
        {"literals", "[true,false,null]", true},
        {"literal cut short", "nul", false},
        {"capital literal", "True", false},
        {"every escape", R"("\"\\\/\b\f\n\r\t\u00e9\uFFFF")", true},
        {"surrogate pair", R"("\ud83d\ude00")", true},
        {"lone high surrogate", R"("\ud83d")", false},
        {"high surrogate, then no low one", R"("\ud83d\u0041")", false},
        {"lone low surrogate", R"("\ude00")", false},
        {"short \\u escape", R"("\u00e")", false},
        {"unknown escape", R"("\x41")", false},
        {"raw control byte", "\"a\x1f\"", false},
        {"bytes above 0x7f", "\"\xC3\xA9\xFF\"", true},
        {"unterminated string", R"("abc)", false},
        {"empty containers", "[{},[],{\"a\":[]}]", true},
        {"blanks between tokens", "{ \"a\" :\t[ 1 ,\r\n2 ] }", true},
        {"blank before the value", " 1", false},
        {"blank after the value", "1 ", false},
        {"two values", "1,2", false},
        {"trailing comma in an object", R"({"a":1,})", false},
        {"trailing comma in an array", "[1,]", false},
        {"missing colon", R"({"a" 1})", false},
        {"key not a string", "{a:1}", false},
        {"mismatched brackets", R"({"a":[1}])", false},
        {"levels up to the limit", "[[[1]]]", true, 3},
        {"one level past the limit", "[[[[1]]]]", false, 3},
        {"objects count as levels", R"({"a":{"b":{}}})", false, 2},
        {"empty text", "", false},
    };
}

class ValueOk : public ::testing::TestWithParam<ValueCase> {};

// What the check takes, cJSON takes whole: it may leave text to cJSON,
// never accept what cJSON refuses.
TEST_P(ValueOk, Answers) {
    const ValueCase &c = GetParam();
    EXPECT_EQ(envelope_value_ok(c.text.data(), c.text.size(), c.levels), c.ok);
    if (!c.ok) return;
    const char *end = nullptr;
    JsonPtr tree(cJSON_ParseWithLengthOpts(c.text.data(), c.text.size(), &end, false));
    ASSERT_NE(tree, nullptr);
    EXPECT_EQ(end, c.text.data() + c.text.size());
}

INSTANTIATE_TEST_SUITE_P(Table, ValueOk, ::testing::ValuesIn(ValueCases()),
                         [](const ::testing::TestParamInfo<ValueCase> &info) {
                             return vk_test::ParamName(info.param.name);
                         });

// The request decoder into a buffer agrees with its string form.
TEST(EnvelopeBase64, BufferFormAgrees) {
    const char *texts[] = {"",     "Zg==", "Zm8",   "Zm9vY",    "Z",          "Zm!v",
                           "Zg=x", "====", "Zg===", "Zm9vYmFy", "Zm9vYmFy==", "Zg==\r"};
    for (const char *t : texts) {
        SCOPED_TRACE(t);
        std::string expected;
        const bool ok = base64_decode(t, strlen(t), expected);
        char buf[16];
        size_t n = 99;
        EXPECT_EQ(base64_decode_to(t, strlen(t), buf, sizeof(buf), n), ok);
        EXPECT_EQ(std::string(buf, n), expected);
        EXPECT_LE(n, base64_max_decoded_length(strlen(t)));
    }
    char small[2];
    size_t n = 99;
    EXPECT_FALSE(base64_decode_to("Zm9v", 4, small, sizeof(small), n));
    EXPECT_EQ(n, 0u);
    EXPECT_TRUE(base64_decode_to(nullptr, 0, small, sizeof(small), n));
    EXPECT_FALSE(base64_decode_to(nullptr, 1, small, sizeof(small), n));
}

// --- mox_decode_request against its reference ---

class EnvelopeDiff : public vk_test::ProcessLogSuite {
protected:
    struct Outcome {
        int rc;
        mox_packet_t packet;
        std::string log;  // the lines written, each without its time, pid and tid
    };

    static Outcome Run(int (*decode)(const char *, unsigned long, mox_packet_t &),
                       const std::string &line) {
        const size_t mark = vk_test::ReadFile(LogPath()).size();
        Outcome out;
        out.rc = decode(line.data(), line.size(), out.packet);
        const std::string log = vk_test::ReadFile(LogPath()).substr(mark);
        for (size_t at = 0; at < log.size();) {
            size_t eol = log.find('\n', at);
            if (eol == std::string::npos) eol = log.size();
            size_t field = at;
            for (int i = 0; i < 3 && field < eol; i++) field = log.find('|', field) + 1;
            out.log += log.substr(field, eol + 1 - field);
            at = eol + 1;
        }
        return out;
    }

    // Both decoders on one line: the same in every respect.
    static void ExpectSame(const std::string &line) {
        ExpectAgree(Run(mox_decode_request, line), line);
    }
    // What the quick decoder gave for `line` against the reference.
    static void ExpectAgree(const Outcome &fast, const std::string &line) {
        const Outcome slow = Run(mox_decode_request_slow, line);
        EXPECT_EQ(fast.rc, slow.rc);
        EXPECT_EQ(fast.packet.uuid, slow.packet.uuid);
        EXPECT_EQ(fast.packet.id, slow.packet.id);
        EXPECT_EQ(fast.packet.type, slow.packet.type);
        EXPECT_EQ(fast.packet.data, slow.packet.data);
        EXPECT_EQ(fast.log, slow.log);
        EXPECT_NE(slow.log.find("DEBUG|handle request: "), std::string::npos);
    }
};

// `levels` objects nested as the "data" member.
std::string NestedData(int levels) {
    std::string data = "{}";
    for (int i = 1; i < levels; i++) data = "{\"a\":" + data + "}";
    return With(R"("data":)" + data);
}

// Decoded texts only the reference decides, or where the quick answer must
// match it closely.
std::vector<std::string> TrickyTexts() {
    return {
        With(R"("data":{"a":[1,2,{"b":null}],"c":"x\ty","uuid":"own"})"),
        With(R"("data":{"a":"\u00e9\ud83d\ude00","b":"\ud800"})"),
        With("\"data\":{\"raw\":\"\x01\x1f\"}"),
        With(R"("data":{"a":1,"a":2,"A":3})"),
        With(R"("data":{"a":[1}]})"),
        With(R"("data":{"a":1}})"),
        With(R"("data":{"n":1.2.3})"),
        With(R"("data":{"n":01})"),
        With(R"("data":{"n":1e999,"m":-0,"k":123456789012345678901234567890})"),
        With(R"("data":{"long":1)" + std::string(70, '0') + "}"),
        NestedData(32),
        NestedData(33),
        NestedData(999),
        NestedData(1000),
        NestedData(1001),
        "\xEF\xBB\xBF" + Id("5"),
        "\x01\x02{\"uuid\":\"u1\",\"id\":5,\"type\":1500}",
        R"({"uuid":"u\u0000x","id":5,"type":1500})",
        R"({"uuid":"\ud83d\ude00","id":5,"type":1500})",
        R"({"uuid":"u1","id":5,"type":1500,"x":[1,{"y":[]}],"data":{"k":1}})",
        R"({"uuid":"u1","id":5,"type":1500,"x":[1,})",
        R"({"Data":{"k":1},"data":{"k":2},"uuid":"u1","id":5,"type":1500})",
        R"({"uuid":"u1","id":1.2.3,"type":1500})",
        R"({"uuid":"u1","id":1e,"type":1500})",
        R"({"uuid":"u1","id":00012,"type":1500})",
        R"({"uuid":"u1","id":1.,"type":1500})",
        R"({"uuid":"u1","id":-9223372036854775808.5,"type":-2147483649})",
        R"({"uuid":"u1","id":18446744073709551615,"type":4294967295})",
        R"({"uuid":"u1","id":NaN,"type":1500})",
        Id("5") + "   trailing",
        "[]",
        "5",
        "\"uuid\"",
        "",
    };
}

TEST_F(EnvelopeDiff, EveryScannerRow) {
    for (const ScanCase &c : ScanCases()) {
        SCOPED_TRACE(c.name);
        ExpectSame(base64_encode(c.text));
    }
}

// Under a type that takes no body (1500 is not even served) and under one
// that does.
TEST_F(EnvelopeDiff, TrickyTexts) {
    for (std::string text : TrickyTexts()) {
        SCOPED_TRACE(text.substr(0, 120));
        ExpectSame(base64_encode(text));
        const size_t at = text.find("\"type\":1500");
        if (at == std::string::npos) continue;
        ExpectSame(base64_encode(text.replace(at, 11, "\"type\":2002")));
    }
}

// Lines refused before any JSON is read take the same way out.
TEST_F(EnvelopeDiff, LinesRefusedEarly) {
    const std::string longest = base64_encode(With(R"("pad":")" + std::string(6100, 'x') + "\""));
    ASSERT_LE(longest.size(), kMoxMaxRequestLength);
    for (const std::string &line : {std::string(), std::string("="), std::string("Zg=x"),
                                    std::string("!!!!"), longest, longest + "====="}) {
        SCOPED_TRACE(line.substr(0, 40));
        ExpectSame(line);
    }
}

// The types that read a body get it printed, "uuid" appended after its own
// members; every other type gets none. Both decoders alike.
TEST_F(EnvelopeDiff, BodiesOfTheTypesThatReadOne) {
    const struct {
        const char *data;
        const char *printed;
    } kBodies[] = {
        {"{}", "{\n\t\"uuid\":\t\"u1\"\n}"},
        {R"({"a":1})", "{\n\t\"a\":\t1,\n\t\"uuid\":\t\"u1\"\n}"},
        {R"({"uuid":"x","k":1})", "{\n\t\"uuid\":\t\"x\",\n\t\"k\":\t1,\n\t\"uuid\":\t\"u1\"\n}"},
    };
    const uint32_t kReadOne[] = {1000, 1003, 2000, 2002, 2003};
    for (uint32_t type = 999; type <= 2004; type = type == 1006 ? 1999 : type + 1) {
        const bool reads =
            std::find(std::begin(kReadOne), std::end(kReadOne), type) != std::end(kReadOne);
        EXPECT_EQ(mox_type_takes_body(type), reads) << type;
        for (const auto &b : kBodies) {
            SCOPED_TRACE(std::to_string(type) + " " + b.data);
            const std::string line =
                base64_encode(R"({"uuid":"u1","id":5,"type":)" + std::to_string(type) +
                              R"(,"data":)" + b.data + "}");
            const Outcome out = Run(mox_decode_request, line);
            EXPECT_EQ(out.rc, kProtoOk);
            EXPECT_EQ(out.packet.data, reads ? b.printed : "");
            ExpectAgree(out, line);
        }
    }
}

// The quick path reaches the packet: these rows are answered without cJSON
// reading the envelope, and the reference agrees on every field.
TEST_F(EnvelopeDiff, QuickRowsFillThePacket) {
    const Outcome out =
        Run(mox_decode_request, base64_encode(R"({"data":{"b":[true]},"uuid":"u9","id":-1,)"
                                              R"("type":2002.7})"));
    EXPECT_EQ(out.rc, kProtoOk);
    EXPECT_EQ(out.packet.uuid, "u9");
    EXPECT_EQ(out.packet.id, UINT64_MAX);
    EXPECT_EQ(out.packet.type, 2002u);
    EXPECT_EQ(out.packet.data, "{\n\t\"b\":\t[true],\n\t\"uuid\":\t\"u9\"\n}");
}

// --- the "data" of a type that takes no body ---

// Counts what cJSON allocates while it lives: a body it builds allocates.
class CjsonAllocations {
public:
    CjsonAllocations() {
        s_count = 0;
        cJSON_Hooks hooks = {Count, free};
        cJSON_InitHooks(&hooks);
    }
    ~CjsonAllocations() { cJSON_InitHooks(nullptr); }
    size_t count() const { return s_count; }

private:
    static void *Count(size_t n) {
        ++s_count;
        return malloc(n);
    }
    static inline size_t s_count = 0;
};

enum class Seen {
    kSkipped,  // accepted, checked without cJSON
    kParsed,   // accepted, left to cJSON (outside strict JSON) but not printed
    kNotJson,
    kTooDeep,
};

struct NoBodyCase {
    const char *name;
    std::string data;
    Seen seen;
};

// `levels` containers around a number.
std::string Nested(const std::string &open, const std::string &close, int levels) {
    std::string text;
    for (int i = 0; i < levels; i++) text += open;
    text += "1";
    for (int i = 0; i < levels; i++) text += close;
    return text;
}

std::vector<NoBodyCase> NoBodyCases() {
    std::string numbers;
    for (int i = 0; numbers.size() < 5000; i++)
        numbers += (numbers.empty() ? "" : ",") + std::to_string(i) + ".123456789012";
    return {
        {"about 5 KB of numbers", R"({"n":[)" + numbers + "]}", Seen::kSkipped},
        {"huge and tiny numbers",
         R"({"a":1e999,"b":-0,"c":123456789012345678901234567890,"d":-4.9E-324})", Seen::kSkipped},
        {"a number of 64 characters", R"({"a":1.)" + std::string(62, '0') + "}", Seen::kParsed},
        {"objects 32 levels deep", Nested("{\"a\":", "}", 32), Seen::kSkipped},
        {"objects 33 levels deep", Nested("{\"a\":", "}", 33), Seen::kTooDeep},
        {"arrays inside, 33 levels with the body", R"({"a":)" + Nested("[", "]", 32) + "}",
         Seen::kTooDeep},
        {"data an array", "[" + numbers + "]", Seen::kSkipped},
        {"data a string", R"("\u00e9x")", Seen::kSkipped},
        {"data a number", "1e999", Seen::kSkipped},
        {"data null", "null", Seen::kSkipped},
        {"escapes and a surrogate pair", R"({"s":"\"\\\n\ud83d\ude00","t":[true,false,null]})",
         Seen::kSkipped},
        {"a leading zero cJSON reads", R"({"a":[01]})", Seen::kParsed},
        {"a raw control byte cJSON reads", "{\"a\":\"\x01\"}", Seen::kParsed},
        {"a member without a value", R"({"a":})", Seen::kNotJson},
        {"a trailing comma", R"({"a":[1,2,]})", Seen::kNotJson},
        {"mismatched brackets", R"({"a":[1}]})", Seen::kNotJson},
        {"a lone surrogate", R"({"a":"\ud800"})", Seen::kNotJson},
        {"a literal cut short", R"({"a":tru})", Seen::kNotJson},
        {"an unknown escape", R"({"a":"\q"})", Seen::kNotJson},
        {"data never closed", R"({"a":"}")", Seen::kNotJson},
    };
}

// Each no-body type (and one that is not served) on each body: accepted or
// refused as a type with a body is (same code, same refusal logged), with
// no "data" in the packet, both decoders alike; a body in strict JSON is
// never built. A type with a body builds it, which shows the count works.
TEST_F(EnvelopeDiff, DataOfANoBodyTypeIsCheckedNotBuilt) {
    const uint32_t kNoBody[] = {1001, 1002, 1004, 1005, 2001, 1500};
    for (const NoBodyCase &c : NoBodyCases()) {
        SCOPED_TRACE(c.name);
        auto line = [&](uint32_t type) {
            return base64_encode(R"({"uuid":"u1","id":7,"type":)" + std::to_string(type) +
                                 R"(,"data":)" + c.data + "}");
        };
        const std::string body_line = line(2002);
        ASSERT_LE(body_line.size(), kMoxMaxRequestLength);
        const Outcome with_body = Run(mox_decode_request, body_line);
        const int expected =
            c.seen == Seen::kSkipped || c.seen == Seen::kParsed ? kProtoOk : kProtoBadInput;
        EXPECT_EQ(with_body.rc, expected);
        for (uint32_t type : kNoBody) {
            SCOPED_TRACE(type);
            const std::string text = line(type);
            Outcome out;
            size_t allocations = 0;
            {
                CjsonAllocations counted;
                out = Run(mox_decode_request, text);
                allocations = counted.count();
            }
            EXPECT_EQ(out.rc, expected);
            EXPECT_EQ(out.packet.data, "");
            if (expected == kProtoOk) {
                EXPECT_EQ(out.packet.uuid, "u1");
                EXPECT_EQ(out.packet.type, type);
            }
            const bool not_json = out.log.find(",not a json") != std::string::npos;
            const bool too_deep = out.log.find(",data nested deeper than 32") != std::string::npos;
            EXPECT_EQ(not_json, c.seen == Seen::kNotJson);
            EXPECT_EQ(too_deep, c.seen == Seen::kTooDeep);
            EXPECT_EQ(not_json, with_body.log.find(",not a json") != std::string::npos);
            if (c.seen == Seen::kSkipped) {
                EXPECT_EQ(allocations, 0u);
            }
            ExpectAgree(out, text);
        }
        if (c.seen == Seen::kSkipped && c.data[0] == '{') {
            CjsonAllocations counted;
            Run(mox_decode_request, body_line);
            EXPECT_GT(counted.count(), 0u);
        }
    }
}

}  // namespace
