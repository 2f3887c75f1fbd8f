// The daemon's own settings, /etc/korvane/korvaned.conf (see
// conf/korvaned.conf for its keys). Read once at start as strictly as the
// access policy: a file that says anything wrong ends the start instead of
// being half applied. The current settings are set once, before the event
// loop and any other thread start, and only read afterwards.
#pragma once

#include <string>

#include "base/default_product.h"

// The range of [liveness] grace, in seconds.
constexpr int kLivenessGraceMin = 1;
constexpr int kLivenessGraceMax = 3600;

struct daemon_config_t {
    bool liveness_failover = true;  // mode = failover; false for mode = off
    int liveness_grace = 30;        // seconds
    bool dbus = true;               // [dbus] mode = on; false for mode = off
    // [default]: what the front UIs are told to start and stop (1503,
    // 1504), whoever registered the default product.
    std::string default_name = kDefSecSoftName;
    std::string default_exec = kDefSecSoftExec;
};

// The longest [default] name and exec, in bytes.
constexpr size_t kDefaultNameMax = 256;
constexpr size_t kDefaultExecMax = 4095;

// 0: the file was read into `cfg`. 1: there is no file; `cfg` holds the
// defaults. -1: it cannot be read or says something wrong; `error` names
// the file, the line when there is one, and what is wrong, and `cfg` holds
// the defaults.
int daemon_config_load(const std::string &path, daemon_config_t &cfg, std::string &error);

// One line for the log, e.g. "liveness failover,grace 30 s,dbus on,default
// /opt/palemoss/palemoss".
std::string daemon_config_summary(const daemon_config_t &cfg);

// The settings the daemon runs with: the defaults until daemon_config_set.
const daemon_config_t &daemon_config_current();
void daemon_config_set(const daemon_config_t &cfg);
