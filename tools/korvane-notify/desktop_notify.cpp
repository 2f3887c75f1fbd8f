#include "korvane-notify/desktop_notify.h"

#include <stdio.h>
#include <string.h>

namespace {

constexpr const char *kServer = "org.freedesktop.Notifications";
constexpr const char *kServerPath = "/org/freedesktop/Notifications";

// The urgency hint's values.
constexpr unsigned char kNormal = 1;
constexpr unsigned char kCritical = 2;

}  // namespace

std::string notify_escape_markup(const std::string &text) {
    std::string out;
    for (char c : text) {
        if (c == '&')
            out += "&amp;";
        else if (c == '<')
            out += "&lt;";
        else if (c == '>')
            out += "&gt;";
        else
            out += c;
    }
    return out;
}

DesktopNotify::DesktopNotify(sd_event *ev, Hooks hooks) : m_ev(ev), m_hooks(std::move(hooks)) {
    BusLink::Hooks link;
    link.connected = [this](sd_bus *bus) { Connected(bus); };
    link.lost = [this] { m_in_flight = false; };
    link.message = [this](sd_bus_message *m) { return Message(m); };
    m_link = std::make_unique<BusLink>(BusLink::Kind::kSession, ev, std::move(link));
}

void DesktopNotify::Connected(sd_bus *bus) {
    sd_bus_request_name_async(bus, nullptr, kNotifyAgentName, 0, on_name, this);
    m_link->AddMatch(std::string("type='signal',sender='org.freedesktop.DBus',member='"
                                 "NameOwnerChanged',arg0='") +
                     kServer + "'");
    ServerHere();
}

// A server may be there now: what it reads, and what is owed to it.
void DesktopNotify::ServerHere() {
    sd_bus_call_method_async(m_link->bus(), nullptr, kServer, kServerPath, kServer,
                             "GetCapabilities", on_caps, this, "");
    if (m_hooks.ready) m_hooks.ready();
}

int DesktopNotify::on_name(sd_bus_message *m, void *self, sd_bus_error *) {
    auto *d = static_cast<DesktopNotify *>(self);
    // 3: another process owns it and no queue was asked for.
    uint32_t code = 0;
    if (!sd_bus_message_is_method_error(m, nullptr) && sd_bus_message_read(m, "u", &code) > 0 &&
        code == 3) {
        fprintf(stderr, "korvane-notify: already running in this session (%s); leaving it be\n",
                kNotifyAgentName);
        sd_event_exit(d->m_ev, 0);
    }
    return 1;
}

int DesktopNotify::on_caps(sd_bus_message *m, void *self, sd_bus_error *) {
    auto *d = static_cast<DesktopNotify *>(self);
    if (sd_bus_message_is_method_error(m, nullptr)) return 1;
    d->m_markup = false;
    if (sd_bus_message_enter_container(m, 'a', "s") < 0) return 1;
    const char *cap = nullptr;
    while (sd_bus_message_read(m, "s", &cap) > 0)
        if (strcmp(cap, "body-markup") == 0) d->m_markup = true;
    return 1;
}

bool DesktopNotify::Message(sd_bus_message *m) {
    if (!sd_bus_message_is_signal(m, "org.freedesktop.DBus", "NameOwnerChanged")) return false;
    const char *sender = sd_bus_message_get_sender(m);
    const char *name = nullptr, *old_owner = nullptr, *new_owner = nullptr;
    if (sender == nullptr || strcmp(sender, "org.freedesktop.DBus") != 0 ||
        sd_bus_message_read(m, "sss", &name, &old_owner, &new_owner) < 0 ||
        strcmp(name, kServer) != 0)
        return false;
    if (new_owner[0] != '\0') {
        m_missing_said = false;
        ServerHere();
    }
    return true;
}

bool DesktopNotify::Show(const notify_text_t &text, bool critical, uint32_t replaces_id) {
    sd_bus *bus = m_link->bus();
    if (bus == nullptr || m_in_flight) return false;
    sd_bus_message *call = nullptr;
    int r = sd_bus_message_new_method_call(bus, &call, kServer, kServerPath, kServer, "Notify");
    const std::string body = m_markup ? notify_escape_markup(text.body) : text.body;
    const char *icon = critical ? "security-low" : "security-high";
    if (r >= 0)
        r = sd_bus_message_append(call, "susssas", "korvane-notify", replaces_id, icon,
                                  text.summary.c_str(), body.c_str(), 0);
    if (r >= 0)
        r = sd_bus_message_append(call, "a{sv}", 2, "urgency", "y", critical ? kCritical : kNormal,
                                  "desktop-entry", "s", "korvane-notify");
    // Critical: until the person closes it. Normal: as the server likes.
    if (r >= 0) r = sd_bus_message_append(call, "i", critical ? 0 : -1);
    if (r >= 0) r = sd_bus_call_async(bus, nullptr, call, on_reply, this, 0);
    sd_bus_message_unref(call);
    if (r < 0) {
        fprintf(stderr, "korvane-notify: cannot ask for a notification (%s)\n", strerror(-r));
        return false;
    }
    m_in_flight = true;
    return true;
}

int DesktopNotify::on_reply(sd_bus_message *m, void *self, sd_bus_error *) {
    auto *d = static_cast<DesktopNotify *>(self);
    d->m_in_flight = false;
    uint32_t id = 0;
    if (sd_bus_message_is_method_error(m, nullptr)) {
        if (!d->m_missing_said) {
            const sd_bus_error *e = sd_bus_message_get_error(m);
            fprintf(stderr,
                    "korvane-notify: no notification server on the session bus (%s); "
                    "waiting for one\n",
                    e != nullptr && e->message != nullptr ? e->message : "no answer");
        }
        d->m_missing_said = true;
    } else if (sd_bus_message_read(m, "u", &id) < 0) {
        id = 0;
    }
    if (id != 0) d->m_missing_said = false;
    if (d->m_hooks.done) d->m_hooks.done(id);
    return 1;
}
