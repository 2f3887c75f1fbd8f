// An example security product in C++: it registers with veskkorvaned,
// reports its status every second and unregisters when told to stop
// (SIGTERM or SIGINT). Build it with CMake (see CMakeLists.txt beside it).
//
// Products register only as root, or as a user, group or program that
// /etc/korvane/access.conf lists under [products].
#include <korvane/korvane_client.h>
#include <signal.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <utility>

namespace {

volatile sig_atomic_t g_stop = 0;

void OnStop(int) {
    g_stop = 1;
}

// The inside of a JSON string.
std::string JsonEscape(const std::string &s) {
    std::string out;
    for (unsigned char c : s) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20) {
            char u[8];
            std::snprintf(u, sizeof(u), "\\u%04x", c);
            out += u;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

class Product {
public:
    Product(std::string uuid, std::string detail)
        : m_uuid(std::move(uuid)), m_detail(std::move(detail)) {
        // The daemon runs as root; one under a try-out root
        // (VESKKORVANED_ROOT) may run as anyone.
        m_client.SetRequireRootPeer(std::getenv("VESKKORVANED_ROOT") == nullptr);
    }

    // The reply's result (a KORVANE_RESULT_* value), or -1 without a
    // reply. Unlike the C interface, the C++ client never connects again on
    // its own: a connection the daemon closed is made again here, for the
    // next request.
    int Ask(uint32_t type, const std::optional<std::string> &data = std::nullopt) {
        if (!m_client.IsConnected() && !m_client.Connect(korvane::Endpoint::kSecSoft)) {
            std::fprintf(stderr, "product: %s\n", m_client.error().c_str());
            return -1;
        }
        std::optional<korvane::Message> reply = m_client.Request(m_uuid, type, data, 5000);
        if (!reply) {
            std::fprintf(stderr, "product: request %u: %s\n", type, m_client.error().c_str());
            if (m_client.LastFailure() == korvane::Client::Failure::kClosed) m_client.Close();
            return -1;
        }
        if (reply->result != KORVANE_RESULT_OK)
            std::fprintf(stderr, "product: request %u: %s\n", type,
                         korvane::ReplyText(*reply).c_str());
        return reply->result;
    }

    int Register() { return Ask(KORVANE_REQ_SECSOFT_REGISTER, m_detail); }
    const std::string &uuid() const { return m_uuid; }

private:
    std::string m_uuid;
    std::string m_detail;
    korvane::Client m_client;
};

}  // namespace

int main(int argc, char **argv) {
    // The daemon watches the program that "exec" names and unregisters the
    // product once no process runs it: name this very program.
    char exe[4096];
    ssize_t len = readlink("/proc/self/exe", exe, sizeof(exe) - 1);
    if (len < 0) {
        std::perror("product: /proc/self/exe");
        return 1;
    }
    const std::string path(exe, static_cast<size_t>(len));
    Product product(argc > 1 ? argv[1] : "9a4e2c1b-7f3d-4b6a-8e5c-1d2f3a4b5c6e",
                    "{\"name\":\"Example product (C++)\",\"exec\":\"" + JsonEscape(path) +
                        "\",\"version\":\"1.0\"}");

    // No SA_RESTART: a signal ends the second's sleep at once.
    struct sigaction sa;
    memset(&sa, 0, sizeof(sa));
    sa.sa_handler = OnStop;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);

    // 501: stored, but another product is active; it reports all the same.
    int result = product.Register();
    if (result != KORVANE_RESULT_OK && result != KORVANE_RESULT_NOT_ACTIVE) return 1;
    std::printf("registered %s (%s)\n", product.uuid().c_str(), korvane::ResultText(result));
    std::fflush(stdout);

    for (unsigned long reports = 1; !g_stop; ++reports) {
        std::string status = R"({"protection":"on","signatures":"up-to-date","reports":)" +
                             std::to_string(reports) + "}";
        // A failed report is tried again a second later. The daemon forgets
        // a product that was unregistered on its behalf (its program did not
        // run): register again.
        if (product.Ask(KORVANE_REQ_SECSTAT_UPDATE, status) == KORVANE_RESULT_NO_SECSOFT)
            product.Register();
        struct timespec second = {1, 0};
        nanosleep(&second, nullptr);
    }

    result = product.Ask(KORVANE_REQ_SECSOFT_UNREGISTER);
    std::printf("unregistered %s (%s)\n", product.uuid().c_str(),
                result < 0 ? "no reply" : korvane::ResultText(result));
    return result == KORVANE_RESULT_OK ? 0 : 1;
}
