// Readiness reports to the service manager: one datagram with the state
// text ("READY=1", "STOPPING=1", several assignments separated by newlines,
// such as "READY=1\nSTATUS=...") to the socket named in NOTIFY_SOCKET, a
// filesystem path or, with a leading '@', an abstract name. Without
// NOTIFY_SOCKET nothing is sent and nothing fails: the daemon was not
// started by a manager that listens.
#pragma once

// 1 when the datagram went out, 0 when NOTIFY_SOCKET is unset or empty,
// -1 when the name is unusable or a system call failed (logged at ERROR).
int vk_sd_notify(const char *state);
