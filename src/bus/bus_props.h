// The values the bus shows: the protection summary of request 1005 and the
// current product's stored record, read by health_gather, as D-Bus wants
// them (every text valid UTF-8), and when a change of them is signalled.
// Pure but for bus_props_read, so the rules are tested as a table.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "handlers/health.h"

// The properties in the order of the interface; an index names one.
enum bus_prop_t {
    kBusPropVerdict,
    kBusPropReasons,
    kBusPropActiveProduct,
    kBusPropActiveProductName,
    kBusPropDetail,
    kBusPropStatus,
    kBusPropAlive,
    kBusPropLastReport,
    kBusPropDefaultProduct,
    kBusPropCodes,
    kBusPropCount
};

extern const char *const kBusPropNames[kBusPropCount];

struct bus_props_t {
    std::string verdict = "unknown";  // protected, at-risk or unknown
    std::vector<std::string> reasons;
    std::string active_product;  // uuid, "" for none
    std::string active_product_name;
    std::string detail;               // stored JSON text
    std::string status;               // last status text
    std::string alive = "unwatched";  // yes, no or unwatched (also with no product)
    uint64_t last_report = 0;         // Unix seconds, 0 for none
    std::string default_product;      // started, stopped or ""
    std::vector<std::string> codes;   // one stable code per reason
};

// The values for `facts`, as request 1005 judges them.
void bus_props_from_facts(const health_facts_t &facts, bus_props_t &out);
// health_gather, then bus_props_from_facts.
void bus_props_read(bus_props_t &out);
// The properties whose values differ, in interface order.
std::vector<bus_prop_t> bus_props_changed(const bus_props_t &before, const bus_props_t &after);

// A change of LastReport alone (a product reporting the same status) is
// signalled at most this often; with any other property it goes out at once.
constexpr int64_t kBusLastReportMinIntervalMs = 60000;

struct bus_emit_plan_t {
    bool send = false;        // signal every changed property now
    int64_t recheck_ms = -1;  // held back: look again after this long; -1 none
};
// What to do with `changed` (bus_props_changed of the values last signalled
// and the values now), `since_report_ms` after the last signal that carried
// LastReport (-1: none yet).
bus_emit_plan_t bus_props_plan(const std::vector<bus_prop_t> &changed, int64_t since_report_ms);

// `text` with every byte that is not part of valid UTF-8 (and every NUL,
// which D-Bus strings cannot hold) replaced by U+FFFD; valid text as it is.
// JSON text as one line (no formatting); text that does not parse as it is.
std::string bus_json_compact(const std::string &text);
std::string bus_utf8(const std::string &text);
