// How much of the log one connection's bad input may take. A peer that
// sends garbage in a loop must not be able to push the lines that tell who
// it is out of the log: the first kNetLogBudgetLines lines about its input
// are written, the rest are only counted, and the count is written every
// kNetLogSummaryEvery dropped lines and when the connection closes.
#pragma once

#include "log/mylog.h"

struct net_log_budget_t {
    unsigned written;          // lines written so far
    unsigned long suppressed;  // lines dropped and not yet reported in a count line
    // Who the count line names (copied when the connection is accepted).
    int fd;
    int pid;
    int uid;
};

constexpr unsigned kNetLogBudgetLines = 5;
constexpr unsigned long kNetLogSummaryEvery = 1000;

// Writes one line caused by the peer's bad input, unless its budget is
// spent; a null budget (no connection behind the line) always writes.
// True when the line was written.
bool netLogBadInput(net_log_budget_t *budget, _LogLevel level, const char *format, ...)
    __attribute__((format(printf, 3, 4)));
// Writes the count of dropped lines not yet reported, if any; called when
// the connection closes.
void netLogBadInputSummary(net_log_budget_t *budget);
