#include "korvane-notify/bus_link.h"

#include <stdio.h>
#include <string.h>
#include <time.h>

namespace {

constexpr int kFirstWaitMs = 1000;
constexpr int kLongestWaitMs = 60000;

}  // namespace

BusLink::BusLink(Kind kind, sd_event *ev, Hooks hooks)
    : m_kind(kind), m_ev(ev), m_hooks(std::move(hooks)) {}

BusLink::~BusLink() {
    sd_event_source_disable_unref(m_timer);
    sd_event_source_disable_unref(m_drop);
    if (m_bus != nullptr) sd_bus_close_unref(m_bus);
}

void BusLink::Start() {
    Connect();
}

void BusLink::Connect() {
    sd_bus *b = nullptr;
    int r = m_kind == Kind::kSystem ? sd_bus_open_system(&b) : sd_bus_open_user(&b);
    if (r >= 0) r = sd_bus_add_filter(b, nullptr, on_message, this);
    if (r >= 0) r = sd_bus_attach_event(b, m_ev, SD_EVENT_PRIORITY_NORMAL);
    if (r < 0) {
        if (b != nullptr) sd_bus_close_unref(b);
        if (!m_down_said)
            fprintf(stderr, "korvane-notify: no %s (%s); waiting for it\n", name(), strerror(-r));
        m_down_said = true;
        Retry();
        return;
    }
    m_bus = b;
    if (m_down_said) fprintf(stderr, "korvane-notify: connected to the %s again\n", name());
    m_down_said = false;
    m_wait_ms = kFirstWaitMs;
    if (m_hooks.connected) m_hooks.connected(m_bus);
}

void BusLink::AddMatch(const std::string &rule) {
    if (m_bus == nullptr) return;
    sd_bus_call_method_async(m_bus, nullptr, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                             "org.freedesktop.DBus", "AddMatch", nullptr, nullptr, "s",
                             rule.c_str());
}

int BusLink::on_message(sd_bus_message *m, void *self, sd_bus_error *) {
    auto *link = static_cast<BusLink *>(self);
    if (sd_bus_message_is_signal(m, "org.freedesktop.DBus.Local", "Disconnected")) {
        // Not from inside sd-bus's own dispatch: the bus is let go of on the
        // next turn of the loop.
        if (link->m_drop == nullptr) sd_event_add_defer(link->m_ev, &link->m_drop, on_drop, link);
        return 0;
    }
    if (link->m_hooks.message && link->m_hooks.message(m)) return 1;
    return 0;
}

int BusLink::on_drop(sd_event_source *, void *self) {
    auto *link = static_cast<BusLink *>(self);
    sd_event_source_disable_unref(link->m_drop);
    link->m_drop = nullptr;
    link->Drop();
    return 0;
}

void BusLink::Drop() {
    if (m_bus == nullptr) return;
    sd_bus_close_unref(m_bus);
    m_bus = nullptr;
    fprintf(stderr, "korvane-notify: the %s went away; waiting for it\n", name());
    m_down_said = true;
    if (m_hooks.lost) m_hooks.lost();
    Retry();
}

void BusLink::Retry() {
    uint64_t now = 0;
    sd_event_now(m_ev, CLOCK_MONOTONIC, &now);
    const uint64_t due = now + static_cast<uint64_t>(m_wait_ms) * 1000;
    m_wait_ms = m_wait_ms * 2 > kLongestWaitMs ? kLongestWaitMs : m_wait_ms * 2;
    if (m_timer != nullptr) {
        sd_event_source_set_time(m_timer, due);
        sd_event_source_set_enabled(m_timer, SD_EVENT_ONESHOT);
        return;
    }
    sd_event_add_time(m_ev, &m_timer, CLOCK_MONOTONIC, due, 0, on_retry, this);
}

int BusLink::on_retry(sd_event_source *, uint64_t, void *self) {
    static_cast<BusLink *>(self)->Connect();
    return 0;
}
