// The registry's value records, keyed by a uuid string.
//
// Records are plain copyable values. Every string is an opaque byte string
// kept exactly as received (zero bytes included); uuids compare byte for
// byte. The integer fields start at 0 so that a record is never read with
// indeterminate values.
#pragma once

#include <cstdint>
#include <string>

#include "base/default_product.h"

// A registered front UI (one row of t_frontui).
struct CFrontUIInfo {
    int32_t pid = 0;
    int32_t euid = 0;
    int32_t loginuid = 0;
    std::string uuid;
    std::string name;
    std::string data;  // stored configuration, empty when none
};

// The configuration of one front UI (the data column of its row).
struct CFrontUIConf {
    std::string uuid;
    std::string data;
};

// A registered security product (one row of t_secsoft), and the form of
// the built-in default product.
struct CSecSoftInfo {
    std::string uuid;
    std::string name;
    std::string exec;
    std::string secsoft;  // the whole detail text of the last registration or update
    std::string secstat;  // the last reported status text, empty when none
    // 0 the default record before it was registered or loaded; 1 registered;
    // 2 updated (default record: asked to start); 3 default record: asked to stop.
    int32_t status = 0;
};

// The reported status of one security product (the secstat column).
struct CSecStatInfo {
    std::string uuid;
    std::string secstat;
};

// Who registered a product's uuid (one row of t_product_owner): its uid,
// and its program when only that program made it a product (an empty exe
// binds the uuid to the uid alone).
struct CSecSoftOwner {
    std::string uuid;
    int32_t uid = -1;
    std::string exe;
};

// What the daemon knows of a product besides its row (one row of
// t_product_state): whether a process running its program is watched for,
// whether one ran when last looked at, and when it last reported.
struct CSecSoftState {
    std::string uuid;
    bool watched = false;
    int alive = -1;           // 1 running, 0 not running, -1 not known (not watched)
    int64_t last_report = 0;  // Unix seconds of the last accepted status report, 0 for none
    // False from the product's start (registration, or the default
    // product told to start) until its next status report; kept in memory
    // only, so true again after a restart of the daemon.
    bool reported_since_start = true;
};
