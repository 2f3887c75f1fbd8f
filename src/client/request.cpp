// A request and its reply on one connection. The client's layout is fixed
// by the programs built against it, so nothing here adds state: ids come
// from a counter of the process, and the notifications met while waiting
// go back, as the lines they came as, in front of the unread input.
#include <atomic>
#include <string>

#include "client/deadline.h"
#include "client/korvane_client.h"

namespace korvane {

namespace {

// The first id is 1, as the C interface's.
std::atomic<uint64_t> g_nextId{1};

// Notifications kept while waiting, as korvane_request keeps them.
constexpr size_t kMaxKept = 4096;

// Lines met while waiting, put back in front of the input however the wait
// ends, so that the next read meets them first and in order.
class KeptLines {
public:
    explicit KeptLines(std::string &input) : m_input(input) {}
    ~KeptLines() { m_input.insert(0, m_lines); }
    KeptLines(const KeptLines &) = delete;
    KeptLines &operator=(const KeptLines &) = delete;

    void Keep(const std::string &line) {
        if (m_count == kMaxKept) {
            m_lines.erase(0, m_lines.find('\n') + 1);
            --m_count;
        }
        m_lines.append(line).push_back('\n');
        ++m_count;
    }

private:
    std::string &m_input;
    std::string m_lines;
    size_t m_count = 0;
};

}  // namespace

std::optional<Message> Client::Request(const std::string &uuid, uint32_t type,
                                       const std::optional<std::string> &data_json,
                                       int timeout_ms) {
    m_failure = Failure::kNone;
    const uint64_t id = g_nextId.fetch_add(1, std::memory_order_relaxed);
    if (!SendRequest(uuid, id, type, data_json)) return NotSent();
    return AwaitReply(id, timeout_ms);
}

std::optional<Message> Client::Request(const std::string &uuid, uint32_t type, const cJSON *data,
                                       int timeout_ms) {
    m_failure = Failure::kNone;
    const uint64_t id = g_nextId.fetch_add(1, std::memory_order_relaxed);
    if (!SendRequest(uuid, id, type, data)) return NotSent();
    return AwaitReply(id, timeout_ms);
}

// A write the daemon refused delivered no whole line: it never saw the
// request. A request that could not be encoded (its data not JSON) failed
// before any write.
std::optional<Message> Client::NotSent() {
    if (m_failure == Failure::kNone) m_failure = Failure::kOther;
    if (m_failure == Failure::kClosed)
        m_error = "the daemon closed the connection (" + m_error + "); the request was not sent";
    return std::nullopt;
}

std::optional<Message> Client::AwaitReply(uint64_t id, int timeout_ms) {
    const long long until = timing::After(timeout_ms);
    KeptLines kept(m_in);
    for (;;) {
        auto line = ReadLine(timing::Remaining(until));
        if (!line) {
            if (m_failure == Failure::kClosed)
                m_error =
                    "the daemon closed the connection before the reply; the request may "
                    "have been handled";
            return std::nullopt;
        }
        auto m = DecodeLine(*line, &m_error);
        if (!m) {
            m_failure = Failure::kOther;
            return std::nullopt;
        }
        if (!m->has_result)
            kept.Keep(*line);
        else if (m->id == id)
            return m;
        // else: the late reply to an earlier request
    }
}

std::optional<Message> Client::ReadNotification(int timeout_ms) {
    const long long until = timing::After(timeout_ms);
    for (;;) {
        auto m = ReadMessage(timing::Remaining(until));
        if (!m || !m->has_result) return m;
    }
}

}  // namespace korvane
