// The read-only view on the system bus: the name org.korvane.Registry1, one
// object with the protection summary as properties, PropertiesChanged when
// they change and a Notification signal mirroring every front-UI
// notification.
//
// Invariants: everything runs on the event loop's thread; the connection is
// driven by the loop (its descriptor a file event, its timeout a timer,
// sd_bus_process from them with a bound per pass) and nothing here waits.
// Without a bus, or once it is gone, the daemon serves its sockets as
// before; a timer tries again with a growing, bounded interval. A change of
// LastReport alone is signalled at most once per
// kBusLastReportMinIntervalMs (bus_props.h), by a timer, never by polling.
#pragma once

#include <cstdint>
#include <string>

#include "net/ae/ae.h"

constexpr const char *kBusName = "org.korvane.Registry1";
constexpr const char *kBusPath = "/org/korvane/Registry1";
constexpr const char *kBusInterface = "org.korvane.Registry1";

// Messages read from the bus per pass of the loop.
constexpr int kBusMessagesPerPass = 64;
// Signals are dropped (and counted) while this many messages wait to be
// written to the bus; a change of the properties then goes out once they
// are written.
constexpr uint64_t kBusMaxQueuedMessages = 256;
// Tries to reach the bus again after 1 s, doubling up to this.
constexpr int kBusRetryMaxMs = 60000;

// Starts on `el`: connects when `enabled` and a bus is there, else logs one
// line. The loop's before-sleep hook is chained (restored by uninit).
void MoxBusInit(aeEventLoop *el, bool enabled);
void MoxBusUninit();

// Something that the properties show may have changed: they are read again
// before the loop next sleeps.
void bus_mark_dirty();
// A notification went to the front UIs: the same goes out as a signal.
void bus_notify(int type, const std::string &uuid, const std::string &data);
