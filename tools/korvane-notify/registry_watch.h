// Follows the daemon's verdict on the system bus: org.korvane.Registry1's
// properties, read whole (GetAll) whenever its owner appears and kept
// current from its PropertiesChanged signals. Never polls. Only messages
// from the name's current owner count (only root may own it).
#pragma once

#include <systemd/sd-event.h>

#include <functional>
#include <memory>
#include <string>

#include "korvane-notify/bus_link.h"
#include "korvane-notify/notify_state.h"

constexpr const char *kRegistryName = "org.korvane.Registry1";
constexpr const char *kRegistryPath = "/org/korvane/Registry1";

class RegistryWatch {
public:
    // `changed` gets the facts whenever they may have changed, or null
    // when the daemon is away.
    RegistryWatch(sd_event *ev, std::function<void(const notify_facts_t *)> changed);
    void Start() { m_link->Start(); }

private:
    static int on_owner(sd_bus_message *m, void *self, sd_bus_error *);
    static int on_all(sd_bus_message *m, void *self, sd_bus_error *);
    void Connected(sd_bus *bus);
    bool Message(sd_bus_message *m);
    void OwnerIs(const std::string &owner);
    void Away();

    std::unique_ptr<BusLink> m_link;
    std::function<void(const notify_facts_t *)> m_changed;
    std::string m_owner;  // unique name; "" while nobody owns it
    notify_facts_t m_facts;
    bool m_known = false;
    bool m_away_said = false;
};

// Reads an a{sv} of the registry's properties into `facts`, leaving those
// it does not carry alone. A negative errno when the message is malformed.
int registry_read_props(sd_bus_message *m, notify_facts_t &facts);
