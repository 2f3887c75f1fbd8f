#include "config/daemon_config.h"

#include "config/conf_file.h"

namespace {

enum Kind { kLivenessMode, kLivenessGrace, kDbusMode };

const conf_key_t kKeys[] = {
    {"liveness", "mode", kLivenessMode},
    {"liveness", "grace", kLivenessGrace},
    {"dbus", "mode", kDbusMode},
};

daemon_config_t s_current;

// "" when the value of `def` is taken into `cfg`, else what is wrong with
// it. Values are matched exactly, as access.conf's are.
std::string take(daemon_config_t &cfg, const conf_key_t &def, const std::string &value) {
    switch (def.kind) {
        case kLivenessMode:
            if (value == "failover" || value == "off") {
                cfg.liveness_failover = value == "failover";
                return "";
            }
            return "mode must be failover or off, not \"" + value + "\"";
        case kLivenessGrace: {
            long n;
            if (conf_parse_number(value, kLivenessGraceMin, kLivenessGraceMax, &n)) {
                cfg.liveness_grace = static_cast<int>(n);
                return "";
            }
            return "grace must be a whole number of seconds from " +
                   std::to_string(kLivenessGraceMin) + " to " + std::to_string(kLivenessGraceMax) +
                   ", not \"" + value + "\"";
        }
        case kDbusMode:
            if (value == "on" || value == "off") {
                cfg.dbus = value == "on";
                return "";
            }
            return "mode must be on or off, not \"" + value + "\"";
    }
    return "";
}

}  // namespace

int daemon_config_load(const std::string &path, daemon_config_t &cfg, std::string &error) {
    cfg = daemon_config_t();
    // Nothing of a wrong file is kept.
    daemon_config_t read;
    int rc = conf_file_read(
        path, kKeys, sizeof(kKeys) / sizeof(kKeys[0]),
        [&read](const conf_key_t &def, const std::string &value) { return take(read, def, value); },
        error);
    if (rc == 0) cfg = read;
    return rc;
}

std::string daemon_config_summary(const daemon_config_t &cfg) {
    std::string bus = cfg.dbus ? ",dbus on" : ",dbus off";
    if (!cfg.liveness_failover) return "liveness off" + bus;
    return "liveness failover,grace " + std::to_string(cfg.liveness_grace) + " s" + bus;
}

const daemon_config_t &daemon_config_current() {
    return s_current;
}

void daemon_config_set(const daemon_config_t &cfg) {
    s_current = cfg;
}
