// Detaching from the caller: double fork, new session, umask 0, the given
// working directory and the standard descriptors on /dev/null.
#pragma once

// Returns only in the final, detached process: 0, or -1 when a step failed
// (the caller goes on regardless).
int becomeDeamon(const char *dir);
