// The output of a pass, held until the pass's writes are committed, and the
// end of a pass: the commit, the held output, the close queue.
//
// Invariants: held entries are in the order their lines were produced, a
// line's notifications before its reply; an entry names an open or closing
// connection, never a freed one, since connections are freed only from the
// close queue after the held output was sent (or forgotten here first);
// the entries and their bytes are reused pass after pass, and what one
// large pass grew beyond the kept sizes is given back at its end. A pass
// holds at most the lines of its uids' shares (net_share.h), so the list
// stays bounded by the connections' line budget.
#include "net/net_pass.h"

#include <errno.h>
#include <string.h>

#include "log/mylog.h"
#include "net/ae/zmalloc.h"
#include "net/net_core.h"
#include "net/net_fui.h"

#define LOG Singleton<MyLog>::Instance()->Write

namespace {

struct HeldEntry {
    net_client_t *c;    // the reply's connection; null for a notification or a forgotten reply
    bool notice;        // a notification for every front UI
    size_t off, len;    // the text in the bytes, NUL-terminated for the log
    size_t foff, flen;  // the failed form of a reply; flen 0: none
};

// Kept across passes; a pass that needed more gives the rest back.
constexpr size_t kKeepEntries = 256;
constexpr size_t kKeepBytes = 64 * 1024;

HeldEntry *s_entries = nullptr;
size_t s_count = 0;
size_t s_cap = 0;
char *s_bytes = nullptr;
size_t s_used = 0;
size_t s_bytes_cap = 0;
net_pass_end_proc *s_pass_end = nullptr;

bool reserve_entry() {
    if (s_count < s_cap) return true;
    size_t cap = s_cap != 0 ? 2 * s_cap : 64;
    void *p = zrealloc(s_entries, cap * sizeof(HeldEntry));
    if (p == nullptr) return false;
    s_entries = static_cast<HeldEntry *>(p);
    s_cap = cap;
    return true;
}

// Copies `len` bytes and a NUL behind the held bytes: their offset, or
// false when out of memory.
bool put_bytes(const char *text, size_t len, size_t *off) {
    size_t need = s_used + len + 1;
    if (need > s_bytes_cap) {
        size_t cap = s_bytes_cap != 0 ? s_bytes_cap : 4096;
        while (cap < need) cap *= 2;
        void *p = zrealloc(s_bytes, cap);
        if (p == nullptr) return false;
        s_bytes = static_cast<char *>(p);
        s_bytes_cap = cap;
    }
    if (len > 0) memcpy(s_bytes + s_used, text, len);
    s_bytes[s_used + len] = '\0';
    *off = s_used;
    s_used = need;
    return true;
}

int hold(net_client_t *c, bool notice, const char *text, size_t len, const char *failed,
         size_t flen) {
    size_t used = s_used;
    HeldEntry e = {c, notice, 0, len, 0, flen};
    if (!reserve_entry() || !put_bytes(text, len, &e.off) ||
        (flen > 0 && !put_bytes(failed, flen, &e.foff))) {
        s_used = used;
        LOG(ERROR, "hold %s for the end of the pass failed,no memory",
            notice ? "notification" : "reply");
        return kNetNoMemory;
    }
    s_entries[s_count++] = e;
    return 0;
}

void send_reply(aeEventLoop *el, net_client_t *c, const char *text, size_t len) {
    int rc = net_send_bytes(el, c, text, len, "handle_response");
    if (rc == 0) return;
    if (rc == kNetFailed && netLogConnLine(&c->log_budget))
        LOG(ERROR, "handle_response: post data %s to secsoft-client failed,because: %s", text,
            strerror(errno));
    net_close_client(el, c);
}

// A pass that grew the storage past the kept sizes gives the excess back.
void trim() {
    if (s_cap > kKeepEntries) {
        zfree(s_entries);
        s_entries = nullptr;
        s_cap = 0;
    }
    if (s_bytes_cap > kKeepBytes) {
        zfree(s_bytes);
        s_bytes = nullptr;
        s_bytes_cap = 0;
    }
}

}  // namespace

int net_hold_reply(net_client_t *c, const char *reply, size_t len, const char *failed,
                   size_t flen) {
    return hold(c, false, reply, len, failed, flen);
}

int net_hold_notice(const char *msg, size_t len) {
    return hold(nullptr, true, msg, len, nullptr, 0);
}

void net_pass_forget(const net_client_t *c) {
    for (size_t i = 0; i < s_count; ++i)
        if (s_entries[i].c == c) s_entries[i].c = nullptr;
}

void net_pass_release() {
    zfree(s_entries);
    zfree(s_bytes);
    s_entries = nullptr;
    s_bytes = nullptr;
    s_count = s_cap = s_used = s_bytes_cap = 0;
}

void net_set_pass_end(net_pass_end_proc *proc) {
    s_pass_end = proc;
}

void net_end_pass(aeEventLoop *el) {
    const bool committed = s_pass_end == nullptr || s_pass_end();
    size_t dropped = 0;
    // The count and the bytes are read again at each entry: nothing sent
    // here holds more, but the pass-end procedure might have.
    for (size_t i = 0; i < s_count; ++i) {
        const HeldEntry e = s_entries[i];
        if (e.notice) {
            if (committed)
                net_fui_broadcast(s_bytes + e.off, e.len);
            else
                ++dropped;
            continue;
        }
        if (e.c == nullptr || e.c->closing) continue;
        if (!committed && e.flen > 0)
            send_reply(el, e.c, s_bytes + e.foff, e.flen);
        else
            send_reply(el, e.c, s_bytes + e.off, e.len);
    }
    s_count = s_used = 0;
    trim();
    if (dropped > 0) LOG(ERROR, "the commit of the pass failed,%zu notifications dropped", dropped);
    // Freed last: the entries above may still have named them.
    while (net_client_t *c = netCloseQueueTake()) {
        net_listener_t *l = static_cast<net_listener_t *>(c->owner);
        l->free_client(el, c);
    }
}
