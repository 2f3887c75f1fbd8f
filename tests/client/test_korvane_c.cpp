// The C interface: its return codes and messages, the words of results,
// replies found among notifications and late replies, timeouts, against a
// server made in the test; and, against the real daemon, the connection
// made again after the daemon closed it, the health request and a second
// front UI refused.
#include <cjson/cJSON.h>
#include <gtest/gtest.h>
#include <string.h>
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
#include "support/daemon_process.h"
#include "support/temp_root.h"

namespace {

using vk_test::NonRootListener;
using vk_test::TestServer;

struct HandleDeleter {
    void operator()(korvane_client_t *h) const { korvane_client_free(h); }
};
using Handle = std::unique_ptr<korvane_client_t, HandleDeleter>;

// A message filled by the library, freed with it.
struct Msg : korvane_message_t {
    Msg() : korvane_message_t() {}
    ~Msg() { korvane_message_free(this); }
    Msg(const Msg &) = delete;
    Msg &operator=(const Msg &) = delete;
};

Handle NewHandle() {
    Handle h(korvane_client_new());
    // The servers of these tests run as whoever runs the tests.
    korvane_client_set_require_root_peer(h.get(), 0);
    return h;
}

std::string Line(const std::string &json) {
    return korvane::EncodeText(json);
}

// Each call on a handle that never connected, with what it returns.
struct FailureCase {
    const char *name;
    std::function<int(korvane_client_t *, korvane_message_t *, const std::string &root)> call;
    int want;
    const char *message;  // part of korvane_client_error
};

const FailureCase kFailureCases[] = {
    {"null uuid",
     [](auto h, auto m, auto &) { return korvane_request(h, nullptr, 1000, nullptr, 0, m); },
     KORVANE_E_INVALID, "no uuid"},
    {"null reply",
     [](auto h, auto, auto &) { return korvane_request(h, "u", 1000, nullptr, 0, nullptr); },
     KORVANE_E_INVALID, "no reply"},
    {"data not JSON",
     [](auto h, auto m, auto &) { return korvane_request(h, "u", 1000, "{oops", 0, m); },
     KORVANE_E_INVALID, "not JSON"},
    {"data with text after it",
     [](auto h, auto m, auto &) { return korvane_request(h, "u", 1000, "{} x", 0, m); },
     KORVANE_E_INVALID, "not JSON"},
    {"request never connected",
     [](auto h, auto m, auto &) { return korvane_request(h, "u", 1000, nullptr, 0, m); },
     KORVANE_E_NOT_CONNECTED, "not connected"},
    {"read never connected",
     [](auto h, auto m, auto &) { return korvane_read_notification(h, 0, m); },
     KORVANE_E_NOT_CONNECTED, "not connected"},
    {"reconnect never connected", [](auto h, auto, auto &) { return korvane_client_reconnect(h); },
     KORVANE_E_NOT_CONNECTED, "never connected"},
    {"nobody listens",
     [](auto h, auto, auto &root) {
         return korvane_client_connect_name(h, ("@" + root + "/x").c_str());
     },
     KORVANE_E_CONNECT, "connect: "},
    {"name too long",
     [](auto h, auto, auto &) {
         return korvane_client_connect_name(h, ("@" + std::string(108, 'x')).c_str());
     },
     KORVANE_E_CONNECT, "too long"},
    {"null name", [](auto h, auto, auto &) { return korvane_client_connect_name(h, nullptr); },
     KORVANE_E_INVALID, "no name"},
    {"no such endpoint",
     [](auto h, auto, auto &) {
         return korvane_client_connect(h, static_cast<korvane_endpoint_t>(7));
     },
     KORVANE_E_INVALID, "no such endpoint"},
    {"negative endpoint",
     [](auto h, auto, auto &) {
         return korvane_client_connect(h, static_cast<korvane_endpoint_t>(-1));
     },
     KORVANE_E_INVALID, "no such endpoint"},
};

TEST(KorvaneC, ArgumentsAndStateFailWithTheirCodes) {
    vk_test::TempRoot root;
    Handle h = NewHandle();
    for (const FailureCase &c : kFailureCases) {
        SCOPED_TRACE(c.name);
        Msg m;
        EXPECT_EQ(c.call(h.get(), &m, root.path()), c.want);
        EXPECT_NE(std::string(korvane_client_error(h.get())).find(c.message), std::string::npos)
            << korvane_client_error(h.get());
        EXPECT_EQ(korvane_client_fd(h.get()), -1);
    }
    Msg m;
    EXPECT_EQ(korvane_request(nullptr, "u", 1000, nullptr, 0, &m), KORVANE_E_INVALID);
    EXPECT_STREQ(korvane_strerror(KORVANE_E_TIMEOUT), "timeout");
    EXPECT_STREQ(korvane_strerror(-100), "unknown error");
}

// The words of a result, and of a reply with what its data names.
TEST(KorvaneC, ResultAndReplyTexts) {
    EXPECT_STREQ(korvane_result_text(KORVANE_RESULT_OK), "success");
    EXPECT_STREQ(korvane_result_text(KORVANE_RESULT_OTHER_FUI), "another front UI is registered");
    EXPECT_STREQ(korvane_result_text(KORVANE_RESULT_NOT_PERMITTED), "not permitted");
    EXPECT_STREQ(korvane_result_text(9999), "unknown result");
    EXPECT_STREQ(korvane_result_text(KORVANE_E_TIMEOUT), "unknown result");

    struct Case {
        int32_t result;
        const char *data;
        const char *text;
    };
    const Case cases[] = {
        {104, R"({"pid":4242})", "another front UI is registered (pid 4242)"},
        {104, nullptr, "another front UI is registered"},
        {104, R"({"pid":"4242"})", "another front UI is registered"},
        {104, R"({"pid":-1})", "another front UI is registered"},
        {104, R"({"pid":1.5})", "another front UI is registered"},
        {104, R"({"pid":4294967296})", "another front UI is registered"},
        {104, "[4242]", "another front UI is registered"},
        {0, R"({"pid":4242})", "success"},
        {403, nullptr, "not permitted"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.data != nullptr ? c.data : "no data");
        korvane_message_t reply = {};
        reply.has_result = 1;
        reply.result = c.result;
        reply.data = const_cast<char *>(c.data);
        char buf[128];
        ASSERT_EQ(korvane_reply_text(&reply, buf, sizeof(buf)), KORVANE_OK);
        EXPECT_STREQ(buf, c.text);
        // Exactly room for the text and its NUL, and one byte less.
        const size_t need = strlen(c.text) + 1;
        EXPECT_EQ(korvane_reply_text(&reply, buf, need), KORVANE_OK);
        EXPECT_EQ(korvane_reply_text(&reply, buf, need - 1), KORVANE_E_INVALID);
    }
    korvane_message_t reply = {};
    char buf[8];
    EXPECT_EQ(korvane_reply_text(nullptr, buf, sizeof(buf)), KORVANE_E_INVALID);
    EXPECT_EQ(korvane_reply_text(&reply, nullptr, 8), KORVANE_E_INVALID);
}

TEST(KorvaneC, EndpointNamesAndTheirBuffer) {
    vk_test::TempRoot root;
    vk_test::ScopedRootEnv env(root.path());
    const std::string fui = "@" + root.path() + "/tmp/.zelluskkorvanefui";
    char buf[256];
    ASSERT_EQ(korvane_endpoint_name(KORVANE_ENDPOINT_FUI, buf, sizeof(buf)), KORVANE_OK);
    EXPECT_EQ(buf, fui);
    ASSERT_EQ(korvane_endpoint_name(KORVANE_ENDPOINT_SECSOFT, buf, sizeof(buf)), KORVANE_OK);
    EXPECT_EQ(buf, "@" + root.path() + "/tmp/.zelluskkorvane");
    // Room for the name but not its NUL.
    EXPECT_EQ(korvane_endpoint_name(KORVANE_ENDPOINT_FUI, buf, fui.size()), KORVANE_E_INVALID);
    EXPECT_EQ(korvane_endpoint_name(KORVANE_ENDPOINT_FUI, buf, fui.size() + 1), KORVANE_OK);
    EXPECT_EQ(korvane_endpoint_name(KORVANE_ENDPOINT_FUI, nullptr, 10), KORVANE_E_INVALID);
}

TEST(KorvaneC, ListenerNotRootIsRefusedUnlessRelaxed) {
    vk_test::TempRoot root;
    NonRootListener listener("@" + root.path() + "/impostor");
    ASSERT_TRUE(listener.ok());
    Handle h(korvane_client_new());
    EXPECT_EQ(korvane_client_connect_name(h.get(), listener.name().c_str()), KORVANE_E_PEER);
    EXPECT_NE(std::string(korvane_client_error(h.get())).find("not root"), std::string::npos);
    korvane_client_set_require_root_peer(h.get(), 0);
    EXPECT_EQ(korvane_client_connect_name(h.get(), listener.name().c_str()), KORVANE_OK);
    EXPECT_NE(korvane_client_fd(h.get()), -1);
}

// A connect to a daemon whose backlog is full gives up after the connect
// timeout, also when korvane_request connects again.
TEST(KorvaneC, ConnectToAFullBacklogTimesOut) {
    vk_test::TempRoot root;
    vk_test::ScopedRootEnv env(root.path());
    const std::string name = korvane::EndpointName(korvane::Endpoint::kFrontUi);
    vk_test::FullListener full(name);
    ASSERT_TRUE(full.ok());
    Handle h(korvane_client_new());
    korvane_client_set_require_root_peer(h.get(), 0);
    korvane_client_set_connect_timeout(h.get(), 50);
    EXPECT_EQ(korvane_client_connect(h.get(), KORVANE_ENDPOINT_FUI), KORVANE_E_TIMEOUT);
    EXPECT_NE(std::string(korvane_client_error(h.get())).find("backlog is full"), std::string::npos)
        << korvane_client_error(h.get());
    EXPECT_EQ(korvane_client_connect_name(h.get(), name.c_str()), KORVANE_E_TIMEOUT);
    EXPECT_EQ(korvane_client_reconnect(h.get()), KORVANE_E_TIMEOUT);
    EXPECT_EQ(korvane_client_fd(h.get()), -1);
    ASSERT_TRUE(full.AcceptOne());
    EXPECT_EQ(korvane_client_reconnect(h.get()), KORVANE_OK) << korvane_client_error(h.get());
}

// A handle connected to a server of the test on the front-UI name.
class KorvaneCServer : public ::testing::Test {
protected:
    KorvaneCServer()
        : m_env(m_root.path()), m_server(korvane::EndpointName(korvane::Endpoint::kFrontUi)) {}

    void SetUp() override {
        ASSERT_TRUE(m_server.ok());
        ASSERT_EQ(korvane_client_connect(m_h.get(), KORVANE_ENDPOINT_FUI), KORVANE_OK)
            << korvane_client_error(m_h.get());
        ASSERT_TRUE(m_server.Accept());
    }

    // The request as the server receives it.
    JsonPtr Receive() {
        std::string line = m_server.ReadLine(), json;
        if (!base64_decode(line.data(), line.size(), json)) return nullptr;
        return json_parse(json);
    }

    vk_test::TempRoot m_root;
    vk_test::ScopedRootEnv m_env;
    TestServer m_server;
    Handle m_h = NewHandle();
    JsonPtr m_request;  // kept by a test's server thread
};

TEST_F(KorvaneCServer, ReplyIsFoundAmongNotificationsAndLateReplies) {
    // The first request gets no reply in time.
    Msg m;
    EXPECT_EQ(korvane_request(m_h.get(), "ui", 1001, nullptr, 20, &m), KORVANE_E_TIMEOUT);
    JsonPtr first = Receive();
    ASSERT_TRUE(first);
    EXPECT_EQ(cJSON_GetObjectItem(first.get(), "id")->valuedouble, 1);

    // Before the second one's reply: the first's late reply and a
    // notification.
    ASSERT_TRUE(m_server.Write(Line(R"({"id":1,"type":1001,"result":101,"uuid":"ui"})") +
                               Line(R"({"id":77,"type":1502,"uuid":"av"})") +
                               Line(R"({"data":[{"n":1}],"id":2,"type":1001,"result":0,)"
                                    R"("uuid":"ui"})")));
    ASSERT_EQ(korvane_request(m_h.get(), "ui", 1001, R"({"k": [1, 2]})", 10000, &m), KORVANE_OK)
        << korvane_client_error(m_h.get());
    EXPECT_EQ(m.id, 2u);
    EXPECT_EQ(m.type, 1001u);
    EXPECT_EQ(m.has_result, 1);
    EXPECT_EQ(m.result, KORVANE_RESULT_OK);
    EXPECT_STREQ(m.uuid, "ui");
    EXPECT_STREQ(m.data, R"([{"n":1}])");
    JsonPtr second = Receive();
    ASSERT_TRUE(second);
    EXPECT_EQ(cJSON_GetObjectItem(second.get(), "id")->valuedouble, 2);
    std::string data;
    json_print_compact(cJSON_GetObjectItem(second.get(), "data"), data);
    EXPECT_EQ(data, R"({"k":[1,2]})");

    // The notification was kept; then the next one is read from the socket.
    Msg n;
    ASSERT_EQ(korvane_read_notification(m_h.get(), 0, &n), KORVANE_OK);
    EXPECT_EQ(n.id, 77u);
    EXPECT_EQ(n.type, static_cast<uint32_t>(KORVANE_NOTIFY_UNREGISTER));
    EXPECT_EQ(n.has_result, 0);
    EXPECT_STREQ(n.uuid, "av");
    EXPECT_EQ(n.data, nullptr);
    korvane_message_free(&n);
    EXPECT_EQ(korvane_read_notification(m_h.get(), 20, &n), KORVANE_E_TIMEOUT);
    ASSERT_TRUE(m_server.Write(Line(R"({"id":78,"type":1500,"data":{"a":"b"}})")));
    ASSERT_EQ(korvane_read_notification(m_h.get(), 10000, &n), KORVANE_OK);
    EXPECT_EQ(n.id, 78u);
    EXPECT_STREQ(n.uuid, "");
    EXPECT_STREQ(n.data, R"({"a":"b"})");
}

// 1005 goes without a body, from "korvane-health" unless the caller names
// a sender; the verdict comes back as the reply's data.
TEST_F(KorvaneCServer, HealthRequest) {
    for (const char *uuid : {static_cast<const char *>(nullptr), "ui-7"}) {
        SCOPED_TRACE(uuid != nullptr ? uuid : "no uuid");
        std::thread replier([this] {
            JsonPtr req = Receive();
            int id = req ? static_cast<int>(cJSON_GetObjectItem(req.get(), "id")->valuedouble) : 0;
            m_server.Write(Line(R"({"data":{"verdict":"at-risk","reasons":["protection is off"]},)"
                                R"("id":)" +
                                std::to_string(id) + R"(,"type":1005,"result":0})"));
            m_request = std::move(req);
        });
        Msg m;
        ASSERT_EQ(korvane_get_health(m_h.get(), uuid, 10000, &m), KORVANE_OK)
            << korvane_client_error(m_h.get());
        replier.join();
        ASSERT_TRUE(m_request);
        EXPECT_EQ(cJSON_GetObjectItem(m_request.get(), "type")->valuedouble, 1005);
        EXPECT_STREQ(cJSON_GetObjectItem(m_request.get(), "uuid")->valuestring,
                     uuid != nullptr ? uuid : "korvane-health");
        EXPECT_EQ(cJSON_GetObjectItem(m_request.get(), "data"), nullptr);
        EXPECT_EQ(m.type, static_cast<uint32_t>(KORVANE_REQ_GET_HEALTH));
        EXPECT_EQ(m.result, KORVANE_RESULT_OK);
        EXPECT_STREQ(m.data, R"({"verdict":"at-risk","reasons":["protection is off"]})");
    }
    Msg m;
    EXPECT_EQ(korvane_get_health(nullptr, nullptr, 0, &m), KORVANE_E_INVALID);
    EXPECT_EQ(korvane_get_health(m_h.get(), nullptr, 0, nullptr), KORVANE_E_INVALID);
}

TEST_F(KorvaneCServer, LineThatDoesNotDecodeIsAProtocolError) {
    ASSERT_TRUE(m_server.Write("not base64!\n"));
    Msg m;
    EXPECT_EQ(korvane_read_notification(m_h.get(), 10000, &m), KORVANE_E_PROTOCOL);
    EXPECT_NE(std::string(korvane_client_error(m_h.get())).find("base64"), std::string::npos);
    // The connection goes on.
    ASSERT_TRUE(m_server.Write(Line(R"({"id":3,"type":1501})")));
    EXPECT_EQ(korvane_read_notification(m_h.get(), 10000, &m), KORVANE_OK);
}

// Closed after the request went out: it may have been handled, so it is
// not sent again; the next request connects again.
TEST_F(KorvaneCServer, EndBeforeTheReplyIsReportedAndNotResent) {
    Msg m;
    std::thread closer([this] {
        Receive();
        m_server.CloseConnection();
    });
    EXPECT_EQ(korvane_request(m_h.get(), "ui", 1001, nullptr, 10000, &m), KORVANE_E_CLOSED);
    closer.join();
    EXPECT_NE(std::string(korvane_client_error(m_h.get())).find("may have been handled"),
              std::string::npos);
    EXPECT_EQ(korvane_client_fd(m_h.get()), -1);
    Msg n;
    EXPECT_EQ(korvane_read_notification(m_h.get(), 0, &n), KORVANE_E_CLOSED);

    std::thread replier([this] {
        m_server.Accept();
        JsonPtr req = Receive();
        int id = req ? static_cast<int>(cJSON_GetObjectItem(req.get(), "id")->valuedouble) : 0;
        m_server.Write(Line(R"({"id":)" + std::to_string(id) + R"(,"type":1001,"result":0})"));
    });
    EXPECT_EQ(korvane_request(m_h.get(), "ui", 1001, nullptr, 10000, &m), KORVANE_OK)
        << korvane_client_error(m_h.get());
    replier.join();
    EXPECT_EQ(m.id, 2u);
}

TEST_F(KorvaneCServer, ClosedByTheCallerStaysClosed) {
    korvane_client_close(m_h.get());
    Msg m;
    EXPECT_EQ(korvane_request(m_h.get(), "ui", 1001, nullptr, 0, &m), KORVANE_E_NOT_CONNECTED);
    EXPECT_EQ(korvane_client_reconnect(m_h.get()), KORVANE_OK);
    EXPECT_NE(korvane_client_fd(m_h.get()), -1);
}

// The real daemon, stopped and started again between two requests: the
// second one's write fails, so it goes again on a new connection.
class KorvaneCDaemon : public ::testing::Test {
protected:
    void Start() {
        m_daemon.reset();
        m_daemon = std::make_unique<vk_test::DaemonProcess>(m_root.path());
        ASSERT_TRUE(m_daemon->WaitListening());
    }
    std::string RegisterBody() const {
        return R"({"name":"c-ui","login_uid":)" + std::to_string(getuid()) + R"(,"euid":)" +
               std::to_string(geteuid()) + R"(,"pid":)" + std::to_string(getpid()) + "}";
    }

    vk_test::TempRoot m_root;
    vk_test::ScopedRootEnv m_env{m_root.path()};
    std::unique_ptr<vk_test::DaemonProcess> m_daemon;
};

TEST_F(KorvaneCDaemon, RequestAfterARestartConnectsAgain) {
    for (korvane_endpoint_t endpoint : {KORVANE_ENDPOINT_SECSOFT, KORVANE_ENDPOINT_FUI}) {
        for (int reconnect : {1, 0}) {
            SCOPED_TRACE(std::string(endpoint == KORVANE_ENDPOINT_FUI ? "front UI" : "product") +
                         (reconnect ? ", reconnecting" : ", not reconnecting"));
            ASSERT_NO_FATAL_FAILURE(Start());
            Handle h = NewHandle();
            korvane_client_set_reconnect(h.get(), reconnect);
            ASSERT_EQ(korvane_client_connect(h.get(), endpoint), KORVANE_OK);
            Msg m;
            ASSERT_EQ(korvane_request(h.get(), "c-ui", KORVANE_REQ_FUI_REGISTER,
                                      RegisterBody().c_str(), 10000, &m),
                      KORVANE_OK)
                << korvane_client_error(h.get());
            EXPECT_EQ(m.result, KORVANE_RESULT_OK);
            korvane_message_free(&m);

            ASSERT_NO_FATAL_FAILURE(Start());
            int rc = korvane_request(h.get(), "c-ui", KORVANE_REQ_GET_FUICONF, nullptr, 10000, &m);
            if (reconnect) {
                ASSERT_EQ(rc, KORVANE_OK) << korvane_client_error(h.get());
                EXPECT_EQ(m.id, 2u);
                // Registered before the restart: the daemon knows the front UI.
                EXPECT_EQ(m.result, KORVANE_RESULT_NO_FUICONF);
            } else {
                EXPECT_EQ(rc, KORVANE_E_CLOSED) << korvane_client_error(h.get());
                EXPECT_EQ(korvane_request(h.get(), "c-ui", 1004, nullptr, 0, &m),
                          KORVANE_E_NOT_CONNECTED);
            }
        }
    }
}

// The real daemon: the verdict is answered to a sender that never
// registered, and a second front UI is refused with the current one's pid.
TEST_F(KorvaneCDaemon, HealthAndASecondFrontUi) {
    ASSERT_NO_FATAL_FAILURE(Start());
    Handle h = NewHandle();
    ASSERT_EQ(korvane_client_connect(h.get(), KORVANE_ENDPOINT_FUI), KORVANE_OK);
    Msg m;
    ASSERT_EQ(korvane_get_health(h.get(), nullptr, 10000, &m), KORVANE_OK)
        << korvane_client_error(h.get());
    EXPECT_EQ(m.result, KORVANE_RESULT_OK);
    EXPECT_STREQ(m.uuid, "korvane-health");
    JsonPtr data = json_parse(m.data != nullptr ? m.data : "");
    ASSERT_TRUE(cJSON_IsObject(data.get())) << (m.data != nullptr ? m.data : "no data");
    EXPECT_STREQ(cJSON_GetStringValue(cJSON_GetObjectItem(data.get(), "verdict")), "unknown");
    korvane_message_free(&m);

    // The first declares this process, which runs, and stays current. The
    // second comes from another process declaring itself (as root, one of
    // nobody: root's own registration would replace the first).
    ASSERT_EQ(korvane_request(h.get(), "c-ui", KORVANE_REQ_FUI_REGISTER, RegisterBody().c_str(),
                              10000, &m),
              KORVANE_OK);
    EXPECT_EQ(m.result, KORVANE_RESULT_OK);
    korvane_message_free(&m);
    auto second = [] {
        Handle other(korvane_client_new());
        korvane_client_set_require_root_peer(other.get(), 0);
        if (korvane_client_connect(other.get(), KORVANE_ENDPOINT_FUI) != KORVANE_OK)
            return std::string("connect failed");
        const std::string body = R"({"name":"c-ui-2","login_uid":)" + std::to_string(getuid()) +
                                 R"(,"euid":)" + std::to_string(geteuid()) + R"(,"pid":)" +
                                 std::to_string(getpid()) + "}";
        Msg reply;
        if (korvane_request(other.get(), "c-ui-2", KORVANE_REQ_FUI_REGISTER, body.c_str(), 10000,
                            &reply) != KORVANE_OK)
            return std::string("no reply");
        char text[128];
        if (korvane_reply_text(&reply, text, sizeof(text)) != KORVANE_OK)
            return std::string("no text");
        return std::to_string(reply.result) + " " + text;
    };
    std::optional<std::string> got =
        geteuid() == 0 ? vk_test::RunAs(vk_test::kNobodyIdentity, second) : second();
    ASSERT_TRUE(got.has_value());
    EXPECT_EQ(*got, std::to_string(KORVANE_RESULT_OTHER_FUI) +
                        " another front UI is registered (pid " + std::to_string(getpid()) + ")");
}

}  // namespace
