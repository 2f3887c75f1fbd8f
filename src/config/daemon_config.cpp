#include "config/daemon_config.h"

#include "config/conf_file.h"
#include "proto/codec/utf8.h"

namespace {

enum Kind { kLivenessMode, kLivenessGrace, kDbusMode, kDefaultName, kDefaultExec };

const conf_key_t kKeys[] = {
    {"liveness", "mode", kLivenessMode}, {"liveness", "grace", kLivenessGrace},
    {"dbus", "mode", kDbusMode},         {"default", "name", kDefaultName},
    {"default", "exec", kDefaultExec},
};

// Whether `text` is well-formed UTF-8 without control characters: what a
// front UI shows or runs must not carry a line break or an escape sequence.
bool printable_utf8(const std::string &text) {
    for (size_t i = 0; i < text.size();) {
        const size_t len = utf8_sequence_length(text, i);
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (len == 0 || c < 0x20 || c == 0x7f) return false;
        // U+0080..U+009F, the C1 controls.
        if (len == 2 && c == 0xc2 && static_cast<unsigned char>(text[i + 1]) < 0xa0) return false;
        i += len;
    }
    return true;
}

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
        case kDefaultName:
            if (value.size() > kDefaultNameMax || !printable_utf8(value))
                return "name must be UTF-8 text of at most " + std::to_string(kDefaultNameMax) +
                       " bytes without control characters";
            cfg.default_name = value;
            return "";
        case kDefaultExec:
            if (value[0] != '/' || value.size() > kDefaultExecMax || !printable_utf8(value))
                return "exec must be an absolute path of at most " +
                       std::to_string(kDefaultExecMax) +
                       " bytes without control characters, not \"" + value + "\"";
            cfg.default_exec = value;
            return "";
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
    const std::string rest =
        std::string(cfg.dbus ? ",dbus on" : ",dbus off") + ",default " + cfg.default_exec;
    if (!cfg.liveness_failover) return "liveness off" + rest;
    return "liveness failover,grace " + std::to_string(cfg.liveness_grace) + " s" + rest;
}

const daemon_config_t &daemon_config_current() {
    return s_current;
}

void daemon_config_set(const daemon_config_t &cfg) {
    s_current = cfg;
}
