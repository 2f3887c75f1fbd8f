// The answer to "am I protected?" (request 1005): what the daemon knows of
// the current product, judged by fixed rules. health_judge and
// health_report are pure, so every rule is a row of a table test;
// health_gather is the one place the facts are read, for the socket's
// answer and the bus alike, so the two never disagree.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct health_facts_t {
    bool has_product = false;  // a current product (the default one once registered or started)
    std::string uuid;
    std::string name;
    std::string exec;
    int alive = -1;        // 1 its program runs, 0 watched and it does not, -1 not watched
    bool overdue = false;  // not running for the whole grace (the default product)
    std::string secstat;   // its last status text, "" for none
    // Whether that status came after the product's latest start (its
    // registration, or the 1503 that started the default product); one
    // from before says nothing of the running program.
    bool status_current = true;
    int64_t last_report = 0;  // Unix seconds, 0 for none
    int default_state = 0;    // the default record: 2 told to start, 3 told to stop, else 0
    std::string detail;       // its stored detail text; not judged, shown on the bus
};

struct health_verdict_t {
    const char *verdict = "unknown";  // "protected", "at-risk" or "unknown"
    std::vector<std::string> reasons;
    // One stable code per reason, in the same order (lower-case words
    // joined by dots and hyphens; listed in docs/protocol.md).
    std::vector<const char *> codes;
    bool has_protection = false;  // "protection" as reported, when it is a text
    std::string protection;
    bool has_signatures = false;
    std::string signatures;
};

// Reads the facts from the store and the liveness watcher (event loop's
// thread only).
void health_gather(health_facts_t &facts);

// Whoever shows the facts elsewhere (the bus) is told when they may have
// changed: after each product request (2000 to 2003) is handled, and when
// the liveness watcher changes what it says of a product or unregisters
// one. A front UI's request never changes them, so a query costs nothing
// more. Set once by the main sequence; null (the default) for none.
typedef void health_change_proc();
void health_set_change_hook(health_change_proc *hook);
void health_facts_changed();

health_verdict_t health_judge(const health_facts_t &facts);
// The reply's "data" object as compact JSON text; "" when out of memory.
std::string health_report(const health_facts_t &facts);
