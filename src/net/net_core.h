// The connection core: the daemon's one event loop and its two listeners.
#pragma once

#include "net/ae/ae.h"

extern aeEventLoop *elp_main;

// Creates the loop and both listeners on the two socket names: 0 or -2.
int MoxNetCoreInit(const char *secsoft, const char *fui);
// Runs the loop until MoxNetCoreStop: 0, or -3 before a successful init.
int MoxNetCoreRunLoop();
// Asks the loop to stop after its current pass; safe in a signal handler.
void MoxNetCoreStop();
void MoxNetCoreUninit();
