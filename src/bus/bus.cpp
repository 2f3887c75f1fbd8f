#include "bus/bus.h"

#include <errno.h>
#include <poll.h>
#include <stdlib.h>
#include <string.h>
#include <systemd/sd-bus.h>
#include <time.h>

#include <memory>
#include <vector>

#include "bus/bus_props.h"
#include "log/mylog.h"

namespace {

#define LOG(level, ...) Singleton<MyLog>::Instance()->Write(level, __VA_ARGS__)

struct BusClose {
    // Never a flush: that would wait for the bus.
    void operator()(sd_bus *b) const { sd_bus_close_unref(b); }
};
using BusPtr = std::unique_ptr<sd_bus, BusClose>;

struct State {
    aeEventLoop *el = nullptr;
    aeBeforeSleepProc *next_before_sleep = nullptr;
    BusPtr bus;
    int fd = -1;
    int mask = AE_MASK_NONE;
    long long timer = -1;             // sd-bus's own timeout
    uint64_t timer_due = UINT64_MAX;  // its deadline, monotonic microseconds
    long long retry_timer = -1;
    int retry_ms = 1000;
    bool down_logged = false;  // the current outage has been logged
    // The values: `now` read again whenever `gen` moved on; `sent` the ones
    // the last PropertiesChanged (or the connection) left subscribers with.
    bus_props_t now;
    unsigned long long gen = 1, now_gen = 0;
    bus_props_t sent;
    bool dirty = false;
    // A change of LastReport alone waits for report_timer, due
    // kBusLastReportMinIntervalMs after the last signal that carried it.
    long long report_timer = -1;
    int64_t report_sent_us = -1;  // monotonic; -1 before the first
    bool dropping = false;
    unsigned long long dropped = 0;
};

State g;

uint64_t now_usec() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000000ULL + static_cast<uint64_t>(ts.tv_nsec) / 1000;
}

const char *bus_address() {
    const char *a = getenv("DBUS_SYSTEM_BUS_ADDRESS");
    return a != nullptr && *a != '\0' ? a : "unix:path=/run/dbus/system_bus_socket";
}

const bus_props_t &current() {
    if (g.now_gen != g.gen) {
        bus_props_read(g.now);
        g.now_gen = g.gen;
    }
    return g.now;
}

int get_property(sd_bus *, const char *, const char *, const char *, sd_bus_message *reply,
                 void *userdata, sd_bus_error *) {
    try {
        const bus_props_t &p = current();
        switch (static_cast<bus_prop_t>(reinterpret_cast<uintptr_t>(userdata))) {
            case kBusPropVerdict:
                return sd_bus_message_append(reply, "s", p.verdict.c_str());
            case kBusPropReasons: {
                int r = sd_bus_message_open_container(reply, 'a', "s");
                for (const std::string &reason : p.reasons)
                    if (r >= 0) r = sd_bus_message_append(reply, "s", reason.c_str());
                return r < 0 ? r : sd_bus_message_close_container(reply);
            }
            case kBusPropActiveProduct:
                return sd_bus_message_append(reply, "s", p.active_product.c_str());
            case kBusPropActiveProductName:
                return sd_bus_message_append(reply, "s", p.active_product_name.c_str());
            case kBusPropDetail:
                return sd_bus_message_append(reply, "s", p.detail.c_str());
            case kBusPropStatus:
                return sd_bus_message_append(reply, "s", p.status.c_str());
            case kBusPropAlive:
                return sd_bus_message_append(reply, "s", p.alive.c_str());
            case kBusPropLastReport:
                return sd_bus_message_append(reply, "t", p.last_report);
            case kBusPropDefaultProduct:
                return sd_bus_message_append(reply, "s", p.default_product.c_str());
            case kBusPropCodes: {
                int r = sd_bus_message_open_container(reply, 'a', "s");
                for (const std::string &code : p.codes)
                    if (r >= 0) r = sd_bus_message_append(reply, "s", code.c_str());
                return r < 0 ? r : sd_bus_message_close_container(reply);
            }
            case kBusPropCount:
                break;
        }
        return -EINVAL;
    } catch (...) {
        return -ENOMEM;
    }
}

// The object's userdata is null, so each property's "offset" is its index.
#define VK_BUS_PROPERTY(index, signature)                                           \
    SD_BUS_PROPERTY(kBusPropNames[index], signature, get_property, (size_t)(index), \
                    SD_BUS_VTABLE_PROPERTY_EMITS_CHANGE)

const sd_bus_vtable kVtable[] = {
    SD_BUS_VTABLE_START(0),
    VK_BUS_PROPERTY(kBusPropVerdict, "s"),
    VK_BUS_PROPERTY(kBusPropReasons, "as"),
    VK_BUS_PROPERTY(kBusPropActiveProduct, "s"),
    VK_BUS_PROPERTY(kBusPropActiveProductName, "s"),
    VK_BUS_PROPERTY(kBusPropDetail, "s"),
    VK_BUS_PROPERTY(kBusPropStatus, "s"),
    VK_BUS_PROPERTY(kBusPropAlive, "s"),
    VK_BUS_PROPERTY(kBusPropLastReport, "t"),
    VK_BUS_PROPERTY(kBusPropDefaultProduct, "s"),
    VK_BUS_PROPERTY(kBusPropCodes, "as"),
    SD_BUS_SIGNAL_WITH_NAMES("Notification", "qss",
                             SD_BUS_PARAM(type) SD_BUS_PARAM(uuid) SD_BUS_PARAM(data), 0),
    SD_BUS_VTABLE_END,
};

void connect_bus();
void drop_bus(int error);

int retry_fired(aeEventLoop *, long long, void *) {
    g.retry_timer = -1;
    connect_bus();
    return AE_TIMER_STOP;
}

void schedule_retry() {
    if (g.el == nullptr || g.retry_timer >= 0) return;
    g.retry_timer = aeCreateTimeEvent(g.el, g.retry_ms, retry_fired, nullptr, nullptr);
    g.retry_ms = g.retry_ms * 2 > kBusRetryMaxMs ? kBusRetryMaxMs : g.retry_ms * 2;
}

// Handles what the bus has for us, at most kBusMessagesPerPass messages.
void process() {
    if (!g.bus) return;
    ++g.gen;  // a Get reads the values as they are now
    for (int i = 0; i < kBusMessagesPerPass; ++i) {
        int r = sd_bus_process(g.bus.get(), nullptr);
        if (r < 0) {
            drop_bus(r);
            return;
        }
        if (r == 0) break;
    }
    if (!sd_bus_is_open(g.bus.get())) drop_bus(ECONNRESET);
}

void bus_ready(aeEventLoop *, int, void *, int) {
    try {
        process();
    } catch (...) {
        LOG(ERROR, "bus: handling a message failed,no memory");
    }
}

int timeout_fired(aeEventLoop *, long long, void *) {
    g.timer = -1;
    g.timer_due = UINT64_MAX;
    try {
        process();
    } catch (...) {
        LOG(ERROR, "bus: handling a message failed,no memory");
    }
    return AE_TIMER_STOP;
}

// Registers for what sd-bus waits on now: its descriptor's directions and
// its next timeout.
void arm() {
    int ev = sd_bus_get_events(g.bus.get());
    if (ev < 0) {
        drop_bus(-ev);
        return;
    }
    int want = ((ev & POLLIN) ? AE_MASK_READ : 0) | ((ev & POLLOUT) ? AE_MASK_WRITE : 0);
    if (want != g.mask) {
        int gone = g.mask & ~want;
        if (gone != 0) aeDeleteFileEvent(g.el, g.fd, gone);
        if ((want & ~g.mask) != 0 &&
            aeCreateFileEvent(g.el, g.fd, want & ~g.mask, bus_ready, nullptr) != 0) {
            LOG(ERROR, "bus: cannot watch descriptor %d", g.fd);
            drop_bus(ENOMEM);
            return;
        }
        g.mask = want;
    }
    uint64_t due = UINT64_MAX;
    if (sd_bus_get_timeout(g.bus.get(), &due) < 0) due = UINT64_MAX;
    if (due == g.timer_due) return;
    if (g.timer >= 0) aeDeleteTimeEvent(g.el, g.timer);
    g.timer = -1;
    g.timer_due = due;
    if (due == UINT64_MAX) return;
    const uint64_t now = now_usec();
    long long ms = due <= now ? 0 : static_cast<long long>((due - now + 999) / 1000);
    g.timer = aeCreateTimeEvent(g.el, ms, timeout_fired, nullptr, nullptr);
    if (g.timer < 0) g.timer_due = UINT64_MAX;  // tried again next pass
}

// Whether another signal may be queued; counts and logs the ones that may
// not.
bool may_send() {
    uint64_t queued = 0;
    if (sd_bus_get_n_queued_write(g.bus.get(), &queued) < 0) queued = 0;
    if (queued < kBusMaxQueuedMessages) {
        g.dropping = false;
        return true;
    }
    if (!g.dropping)
        LOG(WARNING,
            "bus: %llu messages wait to be written to the bus,signals dropped until they are",
            static_cast<unsigned long long>(queued));
    g.dropping = true;
    return false;
}

int report_due(aeEventLoop *, long long, void *) {
    g.report_timer = -1;
    g.dirty = true;  // before_sleep signals what is held back
    return AE_TIMER_STOP;
}

void drop_report_timer() {
    if (g.report_timer >= 0) aeDeleteTimeEvent(g.el, g.report_timer);
    g.report_timer = -1;
}

void emit_changes() {
    if (!g.dirty || !g.bus) return;
    // Not lost: the change goes out, with whatever else changed, once
    // there is room.
    if (!may_send()) return;
    g.dirty = false;
    ++g.gen;
    const bus_props_t &now = current();
    std::vector<bus_prop_t> changed = bus_props_changed(g.sent, now);
    const uint64_t t = now_usec();
    const int64_t since =
        g.report_sent_us < 0 ? -1 : static_cast<int64_t>(t - g.report_sent_us) / 1000;
    const bus_emit_plan_t plan = bus_props_plan(changed, since);
    if (!plan.send) {
        // Held back, not lost: the timer or the next other change sends it
        // (also when no timer could be had).
        if (plan.recheck_ms >= 0 && g.report_timer < 0)
            g.report_timer = aeCreateTimeEvent(g.el, plan.recheck_ms, report_due, nullptr, nullptr);
        return;
    }
    std::vector<char *> names;
    for (bus_prop_t p : changed) names.push_back(const_cast<char *>(kBusPropNames[p]));
    names.push_back(nullptr);
    int r = sd_bus_emit_properties_changed_strv(g.bus.get(), kBusPath, kBusInterface, names.data());
    if (r < 0) {
        LOG(ERROR, "bus: cannot send PropertiesChanged: %s", strerror(-r));
        g.dirty = true;
        return;
    }
    g.sent = now;
    drop_report_timer();  // nothing is held back any more
    for (bus_prop_t p : changed)
        if (p == kBusPropLastReport) g.report_sent_us = static_cast<int64_t>(t);
}

void before_sleep(aeEventLoop *el) {
    if (g.next_before_sleep != nullptr) g.next_before_sleep(el);
    if (!g.bus) return;
    try {
        emit_changes();
    } catch (...) {
        LOG(ERROR, "bus: reading the properties failed,no memory");
    }
    if (g.bus) arm();
}

int name_reply(sd_bus_message *m, void *, sd_bus_error *) {
    const sd_bus_error *e = sd_bus_message_get_error(m);
    if (e != nullptr) {
        LOG(ERROR, "bus: cannot own %s: %s", kBusName, e->message ? e->message : e->name);
    } else {
        LOG(INFO, "bus: serving %s on %s", kBusName, bus_address());
        g.down_logged = false;
        g.retry_ms = 1000;
    }
    return 0;
}

void connect_bus() {
    if (g.bus || g.el == nullptr) return;
    sd_bus *raw = nullptr;
    int r = sd_bus_open_system(&raw);
    BusPtr bus(raw);
    if (r >= 0)
        r = sd_bus_add_object_vtable(bus.get(), nullptr, kBusPath, kBusInterface, kVtable, nullptr);
    if (r >= 0) r = sd_bus_request_name_async(bus.get(), nullptr, kBusName, 0, name_reply, nullptr);
    if (r >= 0) r = sd_bus_get_fd(bus.get());
    if (r < 0) {
        // A try-out or a container has none: not worth a warning.
        if (!g.down_logged)
            LOG(INFO, "bus: no system bus at %s (%s),serving the sockets without it", bus_address(),
                strerror(-r));
        g.down_logged = true;
        schedule_retry();
        return;
    }
    g.fd = r;
    g.bus = std::move(bus);
    g.mask = AE_MASK_NONE;
    g.timer_due = UINT64_MAX;
    // Subscribers read the values first; signals tell what changes after.
    ++g.gen;
    g.sent = current();
    g.dirty = false;
    arm();
}

// Closes the connection; its descriptor and timers leave the loop first.
void release_bus() {
    if (g.fd >= 0 && g.mask != AE_MASK_NONE) aeDeleteFileEvent(g.el, g.fd, g.mask);
    if (g.timer >= 0) aeDeleteTimeEvent(g.el, g.timer);
    drop_report_timer();
    g.timer = -1;
    g.timer_due = UINT64_MAX;
    g.fd = -1;
    g.mask = AE_MASK_NONE;
    g.bus.reset();
}

// Forgets the connection and tries again later.
void drop_bus(int error) {
    if (!g.bus) return;
    release_bus();
    g.dropping = false;
    if (!g.down_logged)
        LOG(WARNING, "bus: the system bus went away (%s),serving the sockets without it",
            strerror(error));
    g.down_logged = true;
    g.retry_ms = 1000;
    schedule_retry();
}

}  // namespace

void MoxBusInit(aeEventLoop *el, bool enabled) {
    g = State();
    if (!enabled) {
        LOG(INFO, "bus: off,not connecting to the system bus");
        return;
    }
    g.el = el;
    g.next_before_sleep = el->before_sleep;
    aeSetBeforeSleepProc(el, before_sleep);
    try {
        connect_bus();
    } catch (...) {
        LOG(ERROR, "bus: cannot connect,no memory");
    }
}

void MoxBusUninit() {
    if (g.el == nullptr) return;
    if (g.bus) release_bus();
    if (g.retry_timer >= 0) aeDeleteTimeEvent(g.el, g.retry_timer);
    if (g.dropped > 0) LOG(WARNING, "bus: %llu signals dropped in all", g.dropped);
    aeSetBeforeSleepProc(g.el, g.next_before_sleep);
    g = State();
}

void bus_mark_dirty() {
    ++g.gen;
    g.dirty = true;
}

void bus_notify(int type, const std::string &uuid, const std::string &data) {
    bus_mark_dirty();
    if (!g.bus) return;
    if (!may_send()) {
        ++g.dropped;
        return;
    }
    try {
        int r = sd_bus_emit_signal(g.bus.get(), kBusPath, kBusInterface, "Notification", "qss",
                                   static_cast<uint16_t>(type), bus_utf8(uuid).c_str(),
                                   bus_utf8(data).c_str());
        if (r < 0) LOG(ERROR, "bus: cannot send Notification %d: %s", type, strerror(-r));
    } catch (...) {
        LOG(ERROR, "bus: cannot send Notification %d,no memory", type);
    }
}
