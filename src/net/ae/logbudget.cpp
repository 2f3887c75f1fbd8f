#include "net/ae/logbudget.h"

#include <cstdarg>

void netLogBadInputSummary(net_log_budget_t *budget) {
    if (budget == nullptr || budget->suppressed == 0) return;
    unsigned long n = budget->suppressed;
    budget->suppressed = 0;
    Singleton<MyLog>::Instance()->Write(
        ERROR, "bad input from client fd: %d,pid: %d,uid: %d: %lu more lines not logged",
        budget->fd, budget->pid, budget->uid, n);
}

bool netLogBadInput(net_log_budget_t *budget, _LogLevel level, const char *format, ...) {
    MyLog *log = Singleton<MyLog>::Instance();
    // A line the active level would not write costs no budget.
    if (level > log->GetLogLevel()) return false;
    if (budget != nullptr) {
        if (budget->written >= kNetLogBudgetLines) {
            if (++budget->suppressed >= kNetLogSummaryEvery) netLogBadInputSummary(budget);
            return false;
        }
        budget->written++;
    }
    va_list ap;
    va_start(ap, format);
    bool ok = log->VWrite(level, format, ap);
    va_end(ap);
    return ok;
}
