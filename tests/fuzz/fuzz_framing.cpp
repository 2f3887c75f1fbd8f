// The connection core's line framing on arbitrary byte streams cut into
// arbitrary reads: every complete line reaches the line handler whole, in
// order, without its line feed and terminated; nothing else does.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "net/ae/net.h"
#include "net/ae/zmalloc.h"
#include "net/net_core.h"

static std::vector<std::string> g_seen;
static bool g_closed;

static int Collect(const char *line, unsigned long len, const net_peer_t *, net_log_budget_t *,
                   net_line_out_t *out) {
    if (line[len] != '\0' || memchr(line, '\n', len) != nullptr) abort();
    g_seen.emplace_back(line, len);
    if (len % 2 == 0) {
        out->reply = "ok\n";
        return 0;
    }
    return -6;
}

static void FreeStub(aeEventLoop *el, net_client_t *c) {
    g_closed = true;
    freeClient(el, c);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static aeEventLoop *el = aeCreateEventLoop(1024);
    static net_listener_t listener;
    listener.free_client = FreeStub;
    listener.el = el;
    net_set_line_handler(Collect);
    if (size < 1) return 0;

    int sv[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, sv) != 0) abort();
    net_client_t *c = createClient(el, sv[0], "", recv_from_client, reply_to_client, &listener);
    g_seen.clear();
    g_closed = false;

    // The first byte picks the size of the reads the stream is cut into.
    size_t step = 1 + data[0] % 64;
    const char *bytes = reinterpret_cast<const char *>(data + 1);
    size_t n = size - 1;
    // A closed connection is freed at the end of a pass (g_closed); until
    // then it is only marked and must not be read.
    for (size_t off = 0; off < n && !g_closed && !c->closing; off += step) {
        size_t len = off + step <= n ? step : n - off;
        if (write(sv[1], bytes + off, len) != static_cast<ssize_t>(len)) abort();
        recv_from_client(el, sv[0], c, AE_MASK_READ);
        // Lines past the bound of one pass wait on the pending list, served
        // from the loop's before-sleep hook, which also ends the pass.
        while (!g_closed && netPendingFirst() != nullptr) net_serve_pending(el);
    }
    // The replies still held are sent, a closed connection freed.
    net_end_pass(el);

    std::vector<std::string> want;
    size_t start = 0;
    for (size_t i = 0; i < n; ++i) {
        if (bytes[i] == '\n') {
            want.emplace_back(bytes + start, i - start);
            start = i + 1;
        }
    }
    if (!g_closed && g_seen != want) abort();
    if (!g_closed) freeClient(el, c);
    close(sv[1]);
    return 0;
}
