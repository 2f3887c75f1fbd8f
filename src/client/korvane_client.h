// Client side of the daemon's protocol: connect to one of its two sockets,
// send request envelopes (base64 of a JSON object, one per line) and read
// replies and notifications back as decoded JSON.
//
// No exception leaves this API: failures return false or an empty optional
// and leave a message in error() (or in the caller's string for the free
// functions). A Client is not thread-safe.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

// Installed next to this header; in the source tree src/base is on the
// include path of the client library's users.
#include "korvane_codes.h"
#include "korvane_export.h"

struct cJSON;

namespace korvane {

enum class Endpoint { kSecSoft, kFrontUi };

// Owns one descriptor and closes it when it goes; moves hand it on.
class KORVANE_EXPORT UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : m_fd(fd) {}
    ~UniqueFd() { reset(); }
    UniqueFd(const UniqueFd &) = delete;
    UniqueFd &operator=(const UniqueFd &) = delete;
    UniqueFd(UniqueFd &&other) noexcept : m_fd(other.release()) {}
    UniqueFd &operator=(UniqueFd &&other) noexcept {
        if (this != &other) reset(other.release());
        return *this;
    }

    int get() const { return m_fd; }
    // Gives the descriptor up without closing it.
    int release() {
        int fd = m_fd;
        m_fd = -1;
        return fd;
    }
    // Closes the held descriptor, if any, and holds `fd`.
    void reset(int fd = -1);

private:
    int m_fd = -1;
};

// The socket name of an endpoint, relocated under VESKKORVANED_ROOT.
KORVANE_EXPORT std::string EndpointName(Endpoint endpoint);

// One reply or notification.
struct Message {
    uint64_t id = 0;
    uint32_t type = 0;
    bool has_result = false;  // replies have one, notifications do not
    int result = 0;
    std::string uuid;
    bool has_data = false;
    std::string data;  // "data" as compact JSON text, when present
    std::string json;  // the whole decoded text as received
};

// The line (with '\n') for a request envelope. `data_json`, when given,
// must be JSON text; it becomes the "data" member whatever its type.
KORVANE_EXPORT std::optional<std::string> EncodeRequest(const std::string &uuid, uint64_t id,
                                                        uint32_t type,
                                                        const std::optional<std::string> &data_json,
                                                        std::string *error = nullptr);
// Same with a tree for "data" (copied; null for none).
KORVANE_EXPORT std::optional<std::string> EncodeRequest(const std::string &uuid, uint64_t id,
                                                        uint32_t type, const cJSON *data,
                                                        std::string *error = nullptr);
// Any text, base64-encoded as it is, with '\n': for envelopes that the
// typed form cannot express.
KORVANE_EXPORT std::string EncodeText(const std::string &text);

// Decodes one received line (its '\n' optional). The base64 must be
// canonical and the JSON an object with numeric "id" and "type".
KORVANE_EXPORT std::optional<Message> DecodeLine(const std::string &line,
                                                 std::string *error = nullptr);

// A fixed English text for a reply's "result" ("success", "not
// permitted", ...); "unknown result" for a number the protocol lacks.
KORVANE_EXPORT const char *ResultText(int result);
// The text of a reply's result with what its "data" names: for 104
// "another front UI is registered (pid N)", N the current front UI's
// declared pid ("another front UI is registered" when the reply has none).
KORVANE_EXPORT std::string ReplyText(const Message &reply);

class KORVANE_EXPORT Client {
public:
    // Longest line ReadLine accepts before failing.
    static constexpr size_t kMaxLineLength = 16 * 1024 * 1024;

    Client() = default;
    ~Client();
    Client(const Client &) = delete;
    Client &operator=(const Client &) = delete;
    // A move takes the connection, the unread input and every setting;
    // the moved-from client is left closed.
    Client(Client &&other) noexcept;
    Client &operator=(Client &&other) noexcept;

    // Waits at most ConnectTimeout() for the listener to take the
    // connection (a listener whose backlog is full keeps connect waiting);
    // past it, fails with LastFailure() kTimeout.
    bool Connect(Endpoint endpoint);
    // "@name" for an abstract socket, anything else a filesystem path.
    bool Connect(const std::string &name);
    void Close();
    bool IsConnected() const { return m_fd.get() != -1; }
    int fd() const { return m_fd.get(); }

    bool SendRequest(const std::string &uuid, uint64_t id, uint32_t type,
                     const std::optional<std::string> &data_json = std::nullopt);
    bool SendRequest(const std::string &uuid, uint64_t id, uint32_t type, const cJSON *data);
    // Sends the bytes as they are.
    bool SendRaw(const std::string &bytes);

    // The next line without its '\n', waiting at most timeout_ms for it
    // (negative: no limit). Bytes of an unfinished line are kept for the
    // next call. Fails on timeout (error() says "timeout"), end of stream
    // or a line over kMaxLineLength.
    std::optional<std::string> ReadLine(int timeout_ms);
    // ReadLine, then DecodeLine.
    std::optional<Message> ReadMessage(int timeout_ms);

    // Sends a request and waits at most timeout_ms (negative: no limit) for
    // the reply that carries its id, as korvane_request does. The ids come
    // from one counter of the process (1, 2, ...), so two clients never
    // share one. Notifications met while waiting stay unread, in their
    // order, for ReadMessage and ReadNotification (the oldest are dropped
    // past 4096; until they are read, each Request passes over them
    // again); replies with other ids, such as the late reply to a
    // request that timed out, are dropped. No new connection is made: when
    // the daemon closed the connection, LastFailure() is kClosed, and the
    // error says whether the request may have been handled (the connection
    // ended after it was written) or was never seen (its write failed);
    // the caller connects again and decides whether to send it again.
    std::optional<Message> Request(const std::string &uuid, uint32_t type,
                                   const std::optional<std::string> &data_json, int timeout_ms);
    std::optional<Message> Request(const std::string &uuid, uint32_t type, const cJSON *data,
                                   int timeout_ms);
    // The next notification, waiting at most timeout_ms (negative: no
    // limit); replies met here are dropped.
    std::optional<Message> ReadNotification(int timeout_ms);

    // What ended the last failed call: the peer closed the connection
    // (end of stream, or a send refused with EPIPE or ECONNRESET), the
    // listener is not root, a line over the limit, or anything else.
    enum class Failure { kNone, kClosed, kNotRoot, kTooLong, kTimeout, kOther };
    Failure LastFailure() const { return m_failure; }
    // Whether a timeout ended the last failed read, as opposed to an error.
    bool TimedOut() const { return m_timedOut; }
    const std::string &error() const { return m_error; }
    // Whether Connect accepts only a listener running as root (the
    // default). A daemon under test, or one run by an ordinary user, needs
    // this turned off.
    void SetRequireRootPeer(bool require) { m_requireRootPeer = require; }
    bool RequireRootPeer() const { return m_requireRootPeer; }

    // How long Connect waits (negative: no limit).
    static constexpr int kDefaultConnectTimeoutMs = 5000;
    void SetConnectTimeout(int timeout_ms) { m_connectTimeoutMs = timeout_ms; }
    int ConnectTimeout() const { return m_connectTimeoutMs; }

    // How long a send waits for the socket to take more bytes.
    void SetSendTimeout(int timeout_ms) { m_sendTimeoutMs = timeout_ms; }
    int SendTimeout() const { return m_sendTimeoutMs; }

private:
    std::optional<Message> AwaitReply(uint64_t id, int timeout_ms);
    std::optional<Message> NotSent();
    bool Fail(const std::string &message, Failure failure = Failure::kOther);
    bool FailErrno(const char *call);

    UniqueFd m_fd;
    std::string m_in;
    std::string m_error;
    bool m_timedOut = false;
    Failure m_failure = Failure::kNone;
    int m_sendTimeoutMs = 10000;
    int m_connectTimeoutMs = kDefaultConnectTimeoutMs;
    bool m_requireRootPeer = true;
};

}  // namespace korvane
