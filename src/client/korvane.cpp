// The C interface over korvane::Client: a handle that remembers the name it
// connected to, numbers its requests, keeps the notifications met while
// waiting for a reply, and connects again after the daemon closed the
// connection. No exception leaves these functions.
#include "client/korvane.h"

#include <cjson/cJSON.h>
#include <stdlib.h>
#include <string.h>

#include <deque>
#include <new>
#include <string>

#include "client/deadline.h"
#include "client/korvane_client.h"
#include "proto/codec/json.h"

struct korvane_client {
    korvane::Client conn;
    std::string name;  // of the last connect; "" before the first
    std::string error;
    std::deque<korvane::Message> kept;  // notifications met while waiting for a reply
    uint64_t next_id = 1;
    bool reconnect = true;
    // The connection ended without the caller closing it: the next request
    // connects again.
    bool lost = false;
};

namespace {

// A front UI that never reads its notifications must not grow without end.
constexpr size_t kMaxKept = 4096;

// The sender of a health request when the caller names none: the daemon
// answers it whatever the uuid.
constexpr const char *kHealthUuid = "korvane-health";

using korvane::timing::Remaining;

int Fail(korvane_client_t *h, int code, const std::string &message) {
    h->error = message;
    return code;
}

// The code for the client's last failure; `other` when it names none.
int FromConn(korvane_client_t *h, int other) {
    using F = korvane::Client::Failure;
    int code = other;
    switch (h->conn.LastFailure()) {
        case F::kClosed:
            code = KORVANE_E_CLOSED;
            break;
        case F::kNotRoot:
            code = KORVANE_E_PEER;
            break;
        case F::kTooLong:
            code = KORVANE_E_PROTOCOL;
            break;
        case F::kTimeout:
            code = KORVANE_E_TIMEOUT;
            break;
        case F::kNone:
        case F::kOther:
            break;
    }
    return Fail(h, code, h->conn.error());
}

// Gives the connection up after a failure that leaves it unusable (closed
// by the daemon, or a line cut short); the next request connects again.
int Drop(korvane_client_t *h, int code) {
    h->conn.Close();
    h->lost = true;
    return code;
}

// A failed attempt leaves `lost` as it was: the next request tries again.
int Connect(korvane_client_t *h) {
    h->kept.clear();
    if (!h->conn.Connect(h->name)) return FromConn(h, KORVANE_E_CONNECT);
    h->lost = false;
    h->error.clear();
    return KORVANE_OK;
}

int FillMessage(korvane_client_t *h, const korvane::Message &m, korvane_message_t *out) {
    out->id = m.id;
    out->type = m.type;
    out->has_result = m.has_result ? 1 : 0;
    out->result = m.result;
    out->uuid = strdup(m.uuid.c_str());
    out->data = m.has_data ? strdup(m.data.c_str()) : nullptr;
    if (out->uuid == nullptr || (m.has_data && out->data == nullptr)) {
        korvane_message_free(out);
        return Fail(h, KORVANE_E_NOMEM, "no memory");
    }
    return KORVANE_OK;
}

void Keep(korvane_client_t *h, korvane::Message &&m) {
    if (h->kept.size() >= kMaxKept) h->kept.pop_front();
    h->kept.push_back(std::move(m));
}

// The next decoded line, or a failure code (the connection given up when
// it cannot go on).
int ReadOne(korvane_client_t *h, long long deadline, korvane::Message *out) {
    auto line = h->conn.ReadLine(Remaining(deadline));
    if (!line) {
        int code = FromConn(h, KORVANE_E_IO);
        return code == KORVANE_E_TIMEOUT ? code : Drop(h, code);
    }
    auto m = korvane::DecodeLine(*line, &h->error);
    if (!m) return KORVANE_E_PROTOCOL;
    *out = std::move(*m);
    return KORVANE_OK;
}

// Connects again when the connection was lost; fails when the caller
// closed it or never connected.
int EnsureConnected(korvane_client_t *h, bool *reconnected) {
    if (h->conn.IsConnected()) return KORVANE_OK;
    if (h->name.empty()) return Fail(h, KORVANE_E_NOT_CONNECTED, "not connected");
    if (!h->lost) return Fail(h, KORVANE_E_NOT_CONNECTED, "not connected");
    if (!h->reconnect)
        return Fail(h, KORVANE_E_NOT_CONNECTED, "not connected: the connection was lost");
    *reconnected = true;
    return Connect(h);
}

int Send(korvane_client_t *h, const std::string &line, long long deadline, bool reconnected) {
    h->conn.SetSendTimeout(Remaining(deadline));
    if (h->conn.SendRaw(line)) return KORVANE_OK;
    // A send refused because the daemon has gone delivered no whole line:
    // the daemon never saw this request, so it can go again.
    const bool closed = h->conn.LastFailure() == korvane::Client::Failure::kClosed;
    if (closed && h->reconnect && !reconnected) {
        int rc = Connect(h);
        if (rc != KORVANE_OK) return Drop(h, rc);
        h->conn.SetSendTimeout(Remaining(deadline));
        if (h->conn.SendRaw(line)) return KORVANE_OK;
    }
    // Part of the line may be out: nothing more can follow it.
    return Drop(h, FromConn(h, KORVANE_E_IO));
}

int Request(korvane_client_t *h, const char *uuid, uint32_t type, const char *data_json,
            int timeout_ms, korvane_message_t *reply) {
    JsonPtr data;
    if (data_json != nullptr) {
        data.reset(cJSON_ParseWithOpts(data_json, nullptr, true));
        if (data == nullptr) return Fail(h, KORVANE_E_INVALID, "request: data is not JSON");
    }
    const uint64_t id = h->next_id++;
    auto line = korvane::EncodeRequest(uuid, id, type, data.get(), &h->error);
    if (!line) return KORVANE_E_NOMEM;

    const long long deadline = korvane::timing::After(timeout_ms);
    bool reconnected = false;
    int rc = EnsureConnected(h, &reconnected);
    if (rc == KORVANE_OK) rc = Send(h, *line, deadline, reconnected);
    if (rc != KORVANE_OK) return rc;
    for (;;) {
        korvane::Message m;
        rc = ReadOne(h, deadline, &m);
        if (rc == KORVANE_E_CLOSED) {
            return Fail(h, rc,
                        "the daemon closed the connection before the reply; the request may "
                        "have been handled");
        }
        if (rc != KORVANE_OK) return rc;
        if (!m.has_result)
            Keep(h, std::move(m));
        else if (m.id == id)
            return FillMessage(h, m, reply);
        // else: the late reply to an earlier request that timed out
    }
}

int ReadNotification(korvane_client_t *h, int timeout_ms, korvane_message_t *out) {
    if (!h->kept.empty()) {
        korvane::Message m = std::move(h->kept.front());
        h->kept.pop_front();
        return FillMessage(h, m, out);
    }
    if (!h->conn.IsConnected()) {
        return Fail(h, h->lost ? KORVANE_E_CLOSED : KORVANE_E_NOT_CONNECTED,
                    h->lost ? "the connection was lost" : "not connected");
    }
    const long long deadline = korvane::timing::After(timeout_ms);
    for (;;) {
        korvane::Message m;
        int rc = ReadOne(h, deadline, &m);
        if (rc != KORVANE_OK) return rc;
        if (!m.has_result) return FillMessage(h, m, out);
    }
}

template <typename F>
int Guard(korvane_client_t *h, F body) {
    try {
        return body();
    } catch (const std::bad_alloc &) {
        return h != nullptr ? Fail(h, KORVANE_E_NOMEM, "no memory") : KORVANE_E_NOMEM;
    }
}

}  // namespace

extern "C" {

korvane_client_t *korvane_client_new(void) {
    return new (std::nothrow) korvane_client;
}

void korvane_client_free(korvane_client_t *client) {
    delete client;
}

const char *korvane_client_error(const korvane_client_t *client) {
    return client != nullptr ? client->error.c_str() : "no handle";
}

const char *korvane_strerror(int code) {
    switch (code) {
        case KORVANE_OK:
            return "success";
        case KORVANE_E_INVALID:
            return "invalid argument";
        case KORVANE_E_NOMEM:
            return "out of memory";
        case KORVANE_E_CONNECT:
            return "cannot connect";
        case KORVANE_E_PEER:
            return "the listener does not run as root";
        case KORVANE_E_NOT_CONNECTED:
            return "not connected";
        case KORVANE_E_IO:
            return "input/output error";
        case KORVANE_E_CLOSED:
            return "connection closed by the daemon";
        case KORVANE_E_TIMEOUT:
            return "timeout";
        case KORVANE_E_PROTOCOL:
            return "malformed line from the daemon";
        default:
            return "unknown error";
    }
}

void korvane_client_set_require_root_peer(korvane_client_t *client, int require) {
    if (client != nullptr) client->conn.SetRequireRootPeer(require != 0);
}

void korvane_client_set_connect_timeout(korvane_client_t *client, int timeout_ms) {
    if (client != nullptr) client->conn.SetConnectTimeout(timeout_ms);
}

void korvane_client_set_reconnect(korvane_client_t *client, int reconnect) {
    if (client != nullptr) client->reconnect = reconnect != 0;
}

int korvane_endpoint_name(korvane_endpoint_t endpoint, char *buf, size_t size) {
    if (buf == nullptr ||
        (endpoint != KORVANE_ENDPOINT_SECSOFT && endpoint != KORVANE_ENDPOINT_FUI))
        return KORVANE_E_INVALID;
    return Guard(nullptr, [&] {
        std::string name = korvane::EndpointName(endpoint == KORVANE_ENDPOINT_SECSOFT
                                                     ? korvane::Endpoint::kSecSoft
                                                     : korvane::Endpoint::kFrontUi);
        if (name.size() >= size) return static_cast<int>(KORVANE_E_INVALID);
        memcpy(buf, name.c_str(), name.size() + 1);
        return static_cast<int>(KORVANE_OK);
    });
}

int korvane_client_connect(korvane_client_t *client, korvane_endpoint_t endpoint) {
    if (client == nullptr) return KORVANE_E_INVALID;
    if (endpoint != KORVANE_ENDPOINT_SECSOFT && endpoint != KORVANE_ENDPOINT_FUI)
        return Fail(client, KORVANE_E_INVALID, "connect: no such endpoint");
    return Guard(client, [&] {
        client->name = korvane::EndpointName(endpoint == KORVANE_ENDPOINT_SECSOFT
                                                 ? korvane::Endpoint::kSecSoft
                                                 : korvane::Endpoint::kFrontUi);
        return Connect(client);
    });
}

int korvane_client_connect_name(korvane_client_t *client, const char *name) {
    if (client == nullptr) return KORVANE_E_INVALID;
    if (name == nullptr) return Fail(client, KORVANE_E_INVALID, "connect: no name");
    return Guard(client, [&] {
        client->name = name;
        return Connect(client);
    });
}

int korvane_client_reconnect(korvane_client_t *client) {
    if (client == nullptr) return KORVANE_E_INVALID;
    if (client->name.empty()) return Fail(client, KORVANE_E_NOT_CONNECTED, "never connected");
    return Guard(client, [&] { return Connect(client); });
}

void korvane_client_close(korvane_client_t *client) {
    if (client == nullptr) return;
    client->conn.Close();
    client->kept.clear();
    client->lost = false;
}

int korvane_client_fd(const korvane_client_t *client) {
    return client != nullptr ? client->conn.fd() : -1;
}

int korvane_request(korvane_client_t *client, const char *uuid, uint32_t type,
                    const char *data_json, int timeout_ms, korvane_message_t *reply) {
    if (client == nullptr) return KORVANE_E_INVALID;
    if (uuid == nullptr || reply == nullptr)
        return Fail(client, KORVANE_E_INVALID, "request: no uuid or no reply");
    memset(reply, 0, sizeof(*reply));
    return Guard(client, [&] { return Request(client, uuid, type, data_json, timeout_ms, reply); });
}

int korvane_read_notification(korvane_client_t *client, int timeout_ms,
                              korvane_message_t *notification) {
    if (client == nullptr) return KORVANE_E_INVALID;
    if (notification == nullptr) return Fail(client, KORVANE_E_INVALID, "read: no message to fill");
    memset(notification, 0, sizeof(*notification));
    return Guard(client, [&] { return ReadNotification(client, timeout_ms, notification); });
}

int korvane_get_health(korvane_client_t *client, const char *uuid, int timeout_ms,
                       korvane_message_t *reply) {
    return korvane_request(client, uuid != nullptr ? uuid : kHealthUuid, KORVANE_REQ_GET_HEALTH,
                           nullptr, timeout_ms, reply);
}

const char *korvane_result_text(int32_t result) {
    return korvane::ResultText(result);
}

int korvane_reply_text(const korvane_message_t *reply, char *buf, size_t size) {
    if (reply == nullptr || buf == nullptr) return KORVANE_E_INVALID;
    return Guard(nullptr, [&] {
        korvane::Message m;
        m.has_result = reply->has_result != 0;
        m.result = reply->result;
        m.has_data = reply->data != nullptr;
        if (m.has_data) m.data = reply->data;
        std::string text = korvane::ReplyText(m);
        if (text.size() >= size) return static_cast<int>(KORVANE_E_INVALID);
        memcpy(buf, text.c_str(), text.size() + 1);
        return static_cast<int>(KORVANE_OK);
    });
}

void korvane_message_free(korvane_message_t *message) {
    if (message == nullptr) return;
    free(message->uuid);
    free(message->data);
    memset(message, 0, sizeof(*message));
}

}  // extern "C"
