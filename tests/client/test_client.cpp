// The client library against a small server made in the test, on abstract
// sockets under a fresh temporary root: envelope encoding as the daemon's
// decoder reads it, reply and notification decoding, line framing across
// partial writes, timeouts and end of stream.
#include <cjson/cJSON.h>
#include <errno.h>
#include <gtest/gtest.h>
#include <stddef.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "client/korvane.h"
#include "client/korvane_client.h"
#include "client/servers.h"
#include "proto/codec/base64.h"
#include "proto/codec/json.h"
#include "support/as_user.h"
#include "support/temp_root.h"

namespace {

using korvane::Client;
using korvane::Endpoint;
using korvane::Message;
using vk_test::NonRootListener;
using vk_test::TestServer;

JsonPtr Parse(const std::string &text) {
    return json_parse(text);
}

std::string Compact(const cJSON *item) {
    std::string s;
    json_print_compact(item, s);
    return s;
}

class ClientTest : public ::testing::Test {
protected:
    ClientTest() : m_env(m_root.path()), m_server(korvane::EndpointName(Endpoint::kFrontUi)) {}

    void SetUp() override {
        ASSERT_TRUE(m_server.ok());
        // The server is this test process, root or not.
        m_client.SetRequireRootPeer(false);
        ASSERT_TRUE(m_client.Connect(Endpoint::kFrontUi)) << m_client.error();
        ASSERT_TRUE(m_server.Accept());
    }

    // The daemon's way of reading a request line.
    JsonPtr ReceiveRequest() {
        std::string line = m_server.ReadLine();
        std::string json;
        if (!base64_decode(line.data(), line.size(), json)) return nullptr;
        return Parse(json);
    }

    vk_test::TempRoot m_root;
    vk_test::ScopedRootEnv m_env;
    TestServer m_server;
    Client m_client;
};

TEST(ClientNames, EndpointsLiveUnderTheRoot) {
    vk_test::TempRoot root;
    vk_test::ScopedRootEnv env(root.path());
    EXPECT_EQ(korvane::EndpointName(Endpoint::kSecSoft),
              "@" + root.path() + "/tmp/.zelluskkorvane");
    EXPECT_EQ(korvane::EndpointName(Endpoint::kFrontUi),
              "@" + root.path() + "/tmp/.zelluskkorvanefui");
}

TEST(ClientConnect, FailuresCarryAMessage) {
    vk_test::TempRoot root;
    Client client;
    EXPECT_FALSE(client.Connect("@" + root.path() + "/nobody-listens"));
    EXPECT_NE(client.error().find("connect: "), std::string::npos) << client.error();
    EXPECT_FALSE(client.Connect("@" + std::string(108, 'x')));
    EXPECT_NE(client.error().find("too long"), std::string::npos) << client.error();
    EXPECT_FALSE(client.IsConnected());
    EXPECT_FALSE(client.SendRaw("x"));
    EXPECT_FALSE(client.ReadLine(0));
}

// A daemon whose listen backlog is full keeps connect waiting: the client
// gives up after its connect timeout, and connects once there is room.
TEST(ClientConnect, FullBacklogTimesOut) {
    vk_test::TempRoot root;
    vk_test::FullListener full("@" + root.path() + "/full");
    ASSERT_TRUE(full.ok());
    for (int timeout_ms : {0, 100}) {
        SCOPED_TRACE(timeout_ms);
        Client client;
        client.SetRequireRootPeer(false);
        client.SetConnectTimeout(timeout_ms);
        EXPECT_FALSE(client.Connect("@" + root.path() + "/full"));
        EXPECT_EQ(client.LastFailure(), Client::Failure::kTimeout);
        EXPECT_NE(client.error().find("within " + std::to_string(timeout_ms) +
                                      " ms (its backlog is full)"),
                  std::string::npos)
            << client.error();
        EXPECT_FALSE(client.IsConnected());
    }
    Client client;
    EXPECT_EQ(client.ConnectTimeout(), Client::kDefaultConnectTimeoutMs);
    client.SetRequireRootPeer(false);
    ASSERT_TRUE(full.AcceptOne());
    EXPECT_TRUE(client.Connect("@" + root.path() + "/full")) << client.error();
}

struct RequestCase {
    const char *name;
    uint64_t id;
    uint32_t type;
    std::optional<std::string> data;
    const char *expect_data;  // compact "data" as received, nullptr: absent
};

const RequestCase kRequestCases[] = {
    {"no data", 1, 1000, std::nullopt, nullptr},
    {"data object", 2, 2000, R"({"name":"av","n":[1,2]})", R"({"name":"av","n":[1,2]})"},
    {"data not an object", 3, 1003, "[1]", "[1]"},
    {"id of sixteen digits", 1234567890123456, 1001, std::nullopt, nullptr},
    {"largest type", 4, 4294967295u, std::nullopt, nullptr},
};

TEST_F(ClientTest, RequestsReadAsTheDaemonReadsThem) {
    for (const RequestCase &c : kRequestCases) {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(m_client.SendRequest("u-1", c.id, c.type, c.data)) << m_client.error();
        JsonPtr req = ReceiveRequest();
        ASSERT_TRUE(cJSON_IsObject(req.get()));
        EXPECT_STREQ(cJSON_GetStringValue(cJSON_GetObjectItem(req.get(), "uuid")), "u-1");
        EXPECT_EQ(cJSON_GetObjectItem(req.get(), "id")->valuedouble, static_cast<double>(c.id));
        EXPECT_EQ(cJSON_GetObjectItem(req.get(), "type")->valuedouble, static_cast<double>(c.type));
        cJSON *data = cJSON_GetObjectItem(req.get(), "data");
        if (c.expect_data == nullptr)
            EXPECT_EQ(data, nullptr);
        else
            EXPECT_EQ(Compact(data), c.expect_data);
    }
}

TEST_F(ClientTest, RequestDataAsATree) {
    JsonPtr data = Parse(R"({"k":"v"})");
    ASSERT_TRUE(m_client.SendRequest("u-2", 9, 2002, data.get())) << m_client.error();
    JsonPtr req = ReceiveRequest();
    EXPECT_EQ(Compact(cJSON_GetObjectItem(req.get(), "data")), R"({"k":"v"})");
    // The caller's tree is left as it was.
    EXPECT_EQ(Compact(data.get()), R"({"k":"v"})");
}

TEST_F(ClientTest, DataThatIsNotJsonSendsNothing) {
    EXPECT_FALSE(m_client.SendRequest("u-3", 1, 1000, std::string("{oops")));
    EXPECT_NE(m_client.error().find("not JSON"), std::string::npos) << m_client.error();
    ASSERT_TRUE(m_client.SendRaw(korvane::EncodeText("after")));
    EXPECT_EQ(m_server.ReadLine(), base64_encode(std::string("after")));
}

TEST_F(ClientTest, RepliesAndNotificationsDecode) {
    // Formatted JSON, as the daemon prints it.
    const std::string reply =
        "{\n\t\"data\":\t[{\n\t\t\t\"a\":\t1\n\t\t}],\n\t\"id\":\t7,\n\t\"type\":\t1001,\n"
        "\t\"result\":\t101,\n\t\"uuid\":\t\"u-1\"\n}";
    const std::string notification =
        "{\n\t\"id\":\t2147483645,\n\t\"type\":\t1502,\n\t\"uuid\":\t\"av-9\"\n}";
    ASSERT_TRUE(m_server.Write(korvane::EncodeText(reply) + korvane::EncodeText(notification)));

    std::optional<Message> m = m_client.ReadMessage(10000);
    ASSERT_TRUE(m) << m_client.error();
    EXPECT_EQ(m->id, 7u);
    EXPECT_EQ(m->type, 1001u);
    EXPECT_TRUE(m->has_result);
    EXPECT_EQ(m->result, 101);
    EXPECT_EQ(m->uuid, "u-1");
    EXPECT_TRUE(m->has_data);
    EXPECT_EQ(m->data, R"([{"a":1}])");
    EXPECT_EQ(m->json, reply);

    m = m_client.ReadMessage(10000);
    ASSERT_TRUE(m) << m_client.error();
    EXPECT_EQ(m->id, 2147483645u);
    EXPECT_EQ(m->type, 1502u);
    EXPECT_FALSE(m->has_result);
    EXPECT_FALSE(m->has_data);
    EXPECT_EQ(m->uuid, "av-9");
}

TEST_F(ClientTest, LineAcrossPartialWritesAndTimeout) {
    const std::string line = korvane::EncodeText(R"({"id":1,"type":1500,"uuid":"u"})");
    const size_t cut = line.size() / 2;
    ASSERT_TRUE(m_server.Write(line.substr(0, cut)));

    // Half a line: the read times out and keeps what arrived.
    EXPECT_FALSE(m_client.ReadLine(20));
    EXPECT_TRUE(m_client.TimedOut());
    EXPECT_NE(m_client.error().find("timeout"), std::string::npos);

    ASSERT_TRUE(m_server.Write(line.substr(cut, 3)));
    EXPECT_FALSE(m_client.ReadLine(0));
    EXPECT_TRUE(m_client.TimedOut());

    ASSERT_TRUE(m_server.Write(line.substr(cut + 3) + "second\nthird"));
    EXPECT_EQ(m_client.ReadLine(10000), line.substr(0, line.size() - 1));
    EXPECT_EQ(m_client.ReadLine(10000), std::string("second"));

    // End of stream in the middle of a line is an error, not a timeout.
    m_server.CloseConnection();
    EXPECT_FALSE(m_client.ReadLine(10000));
    EXPECT_FALSE(m_client.TimedOut());
    EXPECT_NE(m_client.error().find("closed mid-line"), std::string::npos) << m_client.error();
}

// The id the server read in a request.
uint64_t IdOf(const JsonPtr &request) {
    const cJSON *id = request ? cJSON_GetObjectItem(request.get(), "id") : nullptr;
    return id != nullptr ? static_cast<uint64_t>(id->valuedouble) : 0;
}

std::string Reply(uint64_t id, int result) {
    return korvane::EncodeText(R"({"id":)" + std::to_string(id) + R"(,"type":1001,"result":)" +
                               std::to_string(result) + "}");
}

std::string Notification(uint64_t id, uint32_t type) {
    return korvane::EncodeText(R"({"id":)" + std::to_string(id) + R"(,"type":)" +
                               std::to_string(type) + R"(,"uuid":"av"})");
}

// Request finds its reply among a late reply and notifications; the
// notifications stay for the reads that follow, in the order they came,
// those met while waiting before those after the reply.
TEST_F(ClientTest, RequestMatchesItsReplyAndKeepsNotifications) {
    std::optional<Message> m = m_client.Request("ui", 1001, std::nullopt, 20);
    EXPECT_FALSE(m);
    EXPECT_EQ(m_client.LastFailure(), Client::Failure::kTimeout);
    const uint64_t first = IdOf(ReceiveRequest());
    ASSERT_NE(first, 0u);

    uint64_t second = 0;
    std::thread server([&] {
        second = IdOf(ReceiveRequest());
        m_server.Write(Reply(first, 101) + Notification(90, 1502) + Reply(second, 0) +
                       Notification(91, 1500));
    });
    m = m_client.Request("ui", 1001, std::string(R"({"k":1})"), 10000);
    server.join();
    ASSERT_TRUE(m) << m_client.error();
    EXPECT_GT(second, first);
    EXPECT_EQ(m->id, second);
    EXPECT_EQ(m->result, 0);

    for (uint64_t want : {90u, 91u}) {
        m = m_client.ReadMessage(10000);
        ASSERT_TRUE(m) << m_client.error();
        EXPECT_EQ(m->id, want);
        EXPECT_FALSE(m->has_result);
    }
}

// A wait that times out or ends keeps what it met; ReadNotification passes
// over replies.
TEST_F(ClientTest, NotificationsMetBeforeATimeoutStay) {
    ASSERT_TRUE(m_server.Write(Notification(5, 1501) + Reply(999999, 0) + Notification(6, 1502)));
    EXPECT_FALSE(m_client.Request("ui", 1001, std::nullopt, 50));
    EXPECT_TRUE(m_client.TimedOut());
    for (uint64_t want : {5u, 6u}) {
        std::optional<Message> m = m_client.ReadNotification(10000);
        ASSERT_TRUE(m) << m_client.error();
        EXPECT_EQ(m->id, want);
    }
    EXPECT_FALSE(m_client.ReadNotification(0));
    EXPECT_TRUE(m_client.TimedOut());
}

// The daemon closing the connection: after the request was written it may
// have been handled; a write it refused was never seen. Either way the
// client is not connected again behind the caller's back.
TEST_F(ClientTest, RequestOnAClosedConnectionSaysWhetherItWasSeen) {
    std::thread closer([this] {
        ReceiveRequest();
        m_server.Write(Notification(7, 1502));
        m_server.CloseConnection();
    });
    EXPECT_FALSE(m_client.Request("ui", 1001, std::nullopt, 10000));
    closer.join();
    EXPECT_EQ(m_client.LastFailure(), Client::Failure::kClosed);
    EXPECT_NE(m_client.error().find("may have been handled"), std::string::npos)
        << m_client.error();
    std::optional<Message> n = m_client.ReadNotification(0);
    ASSERT_TRUE(n) << m_client.error();
    EXPECT_EQ(n->id, 7u);

    EXPECT_FALSE(m_client.Request("ui", 1001, std::nullopt, 10000));
    EXPECT_EQ(m_client.LastFailure(), Client::Failure::kClosed);
    EXPECT_NE(m_client.error().find("not sent"), std::string::npos) << m_client.error();
    EXPECT_TRUE(m_client.IsConnected());

    // Data that is not JSON fails before any write, whatever failed before.
    EXPECT_FALSE(m_client.Request("ui", 1001, std::string("{oops"), 10000));
    EXPECT_EQ(m_client.LastFailure(), Client::Failure::kOther);
    EXPECT_NE(m_client.error().find("not JSON"), std::string::npos) << m_client.error();
}

struct DecodeCase {
    const char *name;
    std::string line;
    const char *error;  // part of the message, nullptr: decodes
};

const DecodeCase kDecodeCases[] = {
    {"with its line feed", korvane::EncodeText(R"({"id":1,"type":2})"), nullptr},
    {"without its line feed", base64_encode(std::string(R"({"id":1,"type":2})")), nullptr},
    {"unpadded", "eyJpZCI6MSwidHlwZSI6Mn0", "base64"},
    {"carriage return", base64_encode(std::string(R"({"id":1,"type":2})")) + "\r", "base64"},
    {"not an object", korvane::EncodeText("[1]"), "object"},
    {"text after the object", korvane::EncodeText(R"({"id":1,"type":2} x)"), "object"},
    {"NUL inside", korvane::EncodeText(std::string("{\"id\":1,\"type\":2}\0", 18)), "NUL"},
    {"id missing", korvane::EncodeText(R"({"type":2})"), "\"id\""},
    {"type as a string", korvane::EncodeText(R"({"id":1,"type":"2"})"), "\"type\""},
    {"negative type", korvane::EncodeText(R"({"id":1,"type":-1})"), "\"type\""},
    {"fractional type", korvane::EncodeText(R"({"id":1,"type":1.5})"), "\"type\""},
    {"result as a string", korvane::EncodeText(R"({"id":1,"type":2,"result":"0"})"), "\"result\""},
    {"uuid as a number", korvane::EncodeText(R"({"id":1,"type":2,"uuid":3})"), "\"uuid\""},
};

TEST(ClientDecode, Lines) {
    for (const DecodeCase &c : kDecodeCases) {
        SCOPED_TRACE(c.name);
        std::string error;
        std::optional<Message> m = korvane::DecodeLine(c.line, &error);
        if (c.error == nullptr) {
            ASSERT_TRUE(m) << error;
            EXPECT_EQ(m->id, 1u);
            EXPECT_EQ(m->type, 2u);
        } else {
            EXPECT_FALSE(m);
            EXPECT_NE(error.find(c.error), std::string::npos) << error;
        }
    }
}

TEST(ClientConnect, RefusesAListenerThatIsNotRoot) {
    vk_test::TempRoot root;
    NonRootListener listener("@" + root.path() + "/impostor");
    ASSERT_TRUE(listener.ok());

    // By default; turning the check off and on is shown with the moves.
    Client fresh;
    EXPECT_TRUE(fresh.RequireRootPeer());
    EXPECT_FALSE(fresh.Connect(listener.name()));
    EXPECT_NE(fresh.error().find("not root"), std::string::npos) << fresh.error();
}

// Each setting, applied to the source of a move, and how the client that
// received the move shows it. The target starts with the opposite values,
// so a move assignment that skips a setting shows too.
struct SettingCase {
    const char *name;
    std::function<void(Client &)> apply;
    std::function<void(Client &)> opposite;
    std::function<void(Client &, const NonRootListener &)> check;
};

const SettingCase kSettingCases[] = {
    {"root peer not required", [](Client &c) { c.SetRequireRootPeer(false); },
     [](Client &c) { c.SetRequireRootPeer(true); },
     [](Client &c, const NonRootListener &l) {
         EXPECT_FALSE(c.RequireRootPeer());
         EXPECT_TRUE(c.Connect(l.name())) << c.error();
     }},
    {"root peer required", [](Client &c) { c.SetRequireRootPeer(true); },
     [](Client &c) { c.SetRequireRootPeer(false); },
     [](Client &c, const NonRootListener &l) {
         EXPECT_TRUE(c.RequireRootPeer());
         EXPECT_FALSE(c.Connect(l.name()));
         EXPECT_NE(c.error().find("not root"), std::string::npos) << c.error();
     }},
    {"send timeout", [](Client &c) { c.SetSendTimeout(20); },
     [](Client &c) { c.SetSendTimeout(-1); },
     [](Client &c, const NonRootListener &l) {
         ASSERT_EQ(c.SendTimeout(), 20);
         // A peer that never reads: the send gives up instead of waiting.
         c.SetRequireRootPeer(false);
         ASSERT_TRUE(c.Connect(l.name())) << c.error();
         EXPECT_FALSE(c.SendRaw(std::string(64 * 1024 * 1024, 'A')));
         EXPECT_NE(c.error().find("send: timeout"), std::string::npos) << c.error();
     }},
    {"connect timeout", [](Client &c) { c.SetConnectTimeout(20); },
     [](Client &c) { c.SetConnectTimeout(-1); },
     [](Client &c, const NonRootListener &l) {
         ASSERT_EQ(c.ConnectTimeout(), 20);
         vk_test::FullListener full(l.name() + "-full");
         ASSERT_TRUE(full.ok());
         c.SetRequireRootPeer(false);
         EXPECT_FALSE(c.Connect(l.name() + "-full"));
         EXPECT_EQ(c.LastFailure(), Client::Failure::kTimeout) << c.error();
     }},
};

// Programs built against 0.1.0 embed these types, so their layout is part
// of the library's interface: a new member needs a new soname. The figures
// are 0.1.0's on 64-bit Linux (x86-64 and arm64, libstdc++).
struct LayoutCase {
    const char *type;
    size_t size, align, expected_size, expected_align;
};

TEST(ClientLayout, ExportedTypesKeepTheirLayout) {
#if !(defined(__x86_64__) || defined(__aarch64__))
    GTEST_SKIP() << "the recorded layout is that of x86-64 and arm64";
#endif
    const LayoutCase cases[] = {
        {"korvane::Client", sizeof(Client), alignof(Client), 96, 8},
        {"korvane::Message", sizeof(Message), alignof(Message), 128, 8},
        {"korvane::UniqueFd", sizeof(korvane::UniqueFd), alignof(korvane::UniqueFd), 4, 4},
        {"korvane_message_t", sizeof(korvane_message_t), alignof(korvane_message_t), 40, 8},
        {"korvane_message_t::uuid", offsetof(korvane_message_t, uuid), 0, 24, 0},
        {"korvane_message_t::data", offsetof(korvane_message_t, data), 0, 32, 0},
    };
    for (const LayoutCase &c : cases) {
        EXPECT_EQ(c.size, c.expected_size) << c.type;
        EXPECT_EQ(c.align, c.expected_align) << c.type;
    }
}

TEST(ClientMove, EverySettingSurvivesBothMoves) {
    vk_test::TempRoot root;
    NonRootListener listener("@" + root.path() + "/plain-user");
    ASSERT_TRUE(listener.ok());
    for (const SettingCase &c : kSettingCases) {
        SCOPED_TRACE(c.name);
        {
            SCOPED_TRACE("move construction");
            Client source;
            c.apply(source);
            Client target(std::move(source));
            c.check(target, listener);
        }
        {
            SCOPED_TRACE("move assignment");
            Client source;
            c.apply(source);
            Client target;
            c.opposite(target);
            target = std::move(source);
            c.check(target, listener);
        }
    }
}

TEST(ClientMove, ConnectionAndUnreadInputMoveAlong) {
    vk_test::TempRoot root;
    vk_test::ScopedRootEnv env(root.path());
    TestServer server(korvane::EndpointName(Endpoint::kFrontUi));
    ASSERT_TRUE(server.ok());
    Client source;
    source.SetRequireRootPeer(false);
    ASSERT_TRUE(source.Connect(Endpoint::kFrontUi)) << source.error();
    ASSERT_TRUE(server.Accept());
    ASSERT_TRUE(server.Write("first\nsec"));
    ASSERT_EQ(source.ReadLine(10000), std::string("first"));
    // "sec" now waits in the client's buffer.
    EXPECT_FALSE(source.ReadLine(0));

    Client target(std::move(source));
    EXPECT_FALSE(source.IsConnected());
    ASSERT_TRUE(target.IsConnected());
    Client assigned;
    assigned = std::move(target);
    EXPECT_FALSE(target.IsConnected());
    ASSERT_TRUE(server.Write("ond\n"));
    EXPECT_EQ(assigned.ReadLine(10000), std::string("second"));
    ASSERT_TRUE(assigned.SendRaw("x\n"));
    EXPECT_EQ(server.ReadLine(), "x");
}

}  // namespace
