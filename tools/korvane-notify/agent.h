// The session agent: the daemon's verdict in (RegistryWatch), desktop
// notifications out (DesktopNotify), NotifyState deciding between them.
// Everything runs on one sd-event loop, which sleeps while nothing changes.
#pragma once

#include <systemd/sd-event.h>

#include "korvane-notify/desktop_notify.h"
#include "korvane-notify/notify_state.h"
#include "korvane-notify/registry_watch.h"

class NotifyAgent {
public:
    explicit NotifyAgent(sd_event *ev);
    void Start();

private:
    void Facts(const notify_facts_t *facts);
    void Deliver();
    void Done(uint32_t id);

    NotifyState m_state;
    RegistryWatch m_watch;
    DesktopNotify m_desktop;
    notify_kind m_showing = notify_kind::kNone;
};
