// The security-software listener: a table of connections and an idle sweep
// that closes connections which received nothing for a minute.
#pragma once

#include "net/net_core.h"

// Id of the sweep timer while it exists, -1 otherwise.
extern long long clean_idle_timer;

constexpr long kSecSoftIdleSeconds = 60;
constexpr long long kSecSoftSweepMs = 5000;

// The sweep period and the idle limit, kSecSoftSweepMs and
// kSecSoftIdleSeconds unless changed here. Only tests that run the core in
// their own process change them, to see the sweep without waiting for it.
void net_secsoft_set_sweep(long long period_ms, long idle_seconds);

net_listener_t *createSecSoftListener(aeEventLoop *el, int fd, const char *name);
// The sweep timer's procedure: the period, or -1 once no connection is left.
int clean_idle_client(aeEventLoop *el, long long id, void *listener);
