// Every file path and socket name the daemon uses, and their relocation.
//
// With VESKKORVANED_ROOT unset or empty each name is exactly the fixed one
// below. With it set to a directory R, a file path P becomes R + P and an
// abstract socket "@/tmp/x" becomes "@" + R + "/tmp/x", so tests and
// try-outs never touch the real /etc, /var or the real sockets. No other
// code composes these names by hand.
#pragma once

#include <string>

namespace vk_paths {

constexpr const char *kWorkerPidFile = "/var/run/veskkorvaned.pid";
constexpr const char *kMonitorPidFile = "/var/run/veskkorvaned_monitor.pid";
// Only root may open these: their flock decides whether an instance runs.
constexpr const char *kWorkerLockFile = "/var/run/veskkorvaned.lock";
constexpr const char *kMonitorLockFile = "/var/run/veskkorvaned_monitor.lock";
constexpr const char *kLogFile = "/var/log/veskkorvaned.log";
constexpr const char *kMonitorLogFile = "/var/log/veskkorvaned_monitor.log";
constexpr const char *kDbDir = "/etc/korvane";
constexpr const char *kDbFile = "/etc/korvane/korvaned.db";
constexpr const char *kAccessFile = "/etc/korvane/access.conf";
constexpr const char *kDaemonConfFile = "/etc/korvane/korvaned.conf";
// The journal's native socket: evidence lines go there when the log is not
// copied to the journal through standard error.
constexpr const char *kJournalSocket = "/run/systemd/journal/socket";
constexpr const char *kLogConfFile = "/etc/korvane/log.conf";
constexpr const char *kSecSoftSocket = "@/tmp/.zelluskkorvane";
constexpr const char *kFuiSocket = "@/tmp/.zelluskkorvanefui";

constexpr const char *kRootEnv = "VESKKORVANED_ROOT";

// The relocation root: the value of VESKKORVANED_ROOT without trailing
// slashes, or "" when unset or empty.
std::string Root();

// An absolute file path under the root.
std::string File(const char *path);

// An abstract socket name ("@/...") under the root.
std::string Socket(const char *name);

}  // namespace vk_paths
