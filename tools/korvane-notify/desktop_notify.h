// Shows notifications through the session bus's org.freedesktop.Notifications
// (GNOME, KDE, Xfce, dunst and mako all serve it). One call at a time; the
// owner is told when one was shown (with the server's id) or could not be,
// and when a server appears after there was none (to try again).
//
// One agent per session: it holds org.korvane.Notify1 on the session bus,
// and one started beside it (by both the autostart entry and the user
// unit, say) finds the name taken and ends the loop.
#pragma once

#include <systemd/sd-event.h>

#include <functional>
#include <memory>
#include <string>

#include "korvane-notify/bus_link.h"
#include "korvane-notify/notify_text.h"

class DesktopNotify {
public:
    struct Hooks {
        // A Notify call ended: `id` is the server's (0 when not shown).
        std::function<void(uint32_t id)> done;
        // The session bus or a notification server is there now.
        std::function<void()> ready;
    };
    DesktopNotify(sd_event *ev, Hooks hooks);
    void Start() { m_link->Start(); }

    // False when no call can be made now (no bus, or one in flight).
    bool Show(const notify_text_t &text, bool critical, uint32_t replaces_id);
    bool busy() const { return m_in_flight; }

private:
    static int on_reply(sd_bus_message *m, void *self, sd_bus_error *);
    static int on_caps(sd_bus_message *m, void *self, sd_bus_error *);
    static int on_name(sd_bus_message *m, void *self, sd_bus_error *);
    void Connected(sd_bus *bus);
    void ServerHere();
    bool Message(sd_bus_message *m);

    sd_event *m_ev;
    std::unique_ptr<BusLink> m_link;
    Hooks m_hooks;
    bool m_in_flight = false;
    bool m_markup = false;  // the server reads the body as markup
    bool m_missing_said = false;
};

// `text` with &, < and > written as entities, for a server that reads
// markup.
std::string notify_escape_markup(const std::string &text);

constexpr const char *kNotifyAgentName = "org.korvane.Notify1";
