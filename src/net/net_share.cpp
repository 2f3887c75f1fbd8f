// Invariant: a slot counts for the current pass only when its pass number
// is the current one; a new pass thus empties the table at no cost. Slots
// are filled by open addressing and none is emptied within a pass, so a
// lookup that meets a slot of an older pass knows that its uid has none.
// The table has more slots than a pass can meet uids (one per connection
// at most, kNetMaxClients per listener).
#include "net/net_share.h"

#include "net/net_core.h"

namespace {

struct ShareSlot {
    unsigned long long pass;
    int uid;
    net_share_t used;
};

constexpr unsigned kShareSlots = 4096;
static_assert((kShareSlots & (kShareSlots - 1)) == 0, "a power of two");
static_assert(kShareSlots > 2 * kNetMaxClients, "room for a uid per connection of both tables");

ShareSlot s_slots[kShareSlots];
unsigned long long s_pass = 1;

ShareSlot *share_slot(int uid) {
    unsigned i = (static_cast<unsigned>(uid) * 2654435761u) & (kShareSlots - 1);
    for (unsigned probes = 0; probes < kShareSlots; ++probes, i = (i + 1) & (kShareSlots - 1)) {
        ShareSlot *s = &s_slots[i];
        if (s->pass != s_pass) {
            *s = {s_pass, uid, {0, 0}};
            return s;
        }
        if (s->uid == uid) return s;
    }
    // Not reached (see the assertion); a full table shares the last slot.
    return &s_slots[i];
}

}  // namespace

void net_share_begin_pass() {
    ++s_pass;
}

net_share_t net_share_left(int uid) {
    const net_share_t used = share_slot(uid)->used;
    if (used.lines >= kNetLinesPerPass || used.bytes >= kNetBytesPerPass) return {0, 0};
    return {kNetLinesPerPass - used.lines, kNetBytesPerPass - used.bytes};
}

void net_share_spend(int uid, net_share_t spent) {
    net_share_t &used = share_slot(uid)->used;
    used.lines += spent.lines;
    used.bytes += spent.bytes;
}
