// Reading the access policy file, /etc/korvane/access.conf (see
// conf/access.conf for its keys). Strict: whatever the file says must mean
// exactly one thing, so any line the reader cannot take, any unknown
// section, key, user or group, a relative executable and a bad number end
// the start instead of falling back to a more open policy.
#pragma once

#include <string>

#include "access/access_policy.h"

// Highest limit of [limits] connections_per_uid. Both sockets' client
// tables are indexed by descriptor and so share one range of 1024, of
// which root keeps the last 64: no other uid can hold more than the 960
// below (and only the active session's owner that many).
constexpr int kAccessMaxConnectionsPerUid = 960;
// Files written for earlier versions may say up to this much: such a value
// is taken as kAccessMaxConnectionsPerUid (and the summary says so) rather
// than refused, so that an upgrade does not stop the daemon.
constexpr int kAccessAcceptedConnectionsPerUid = 2048;

// 0: the file was read into `policy`. 1: there is no file; `policy` is the
// default. -1: it cannot be read or says something wrong; `error` names the
// file, the line when there is one, and what is wrong. `policy` starts from
// the default with the process's euid as owner.
int access_policy_load(const std::string &path, access_policy_t &policy, std::string &error);

// One line for the log: the mode and how many users, groups and
// executables each section lists.
std::string access_policy_summary(const access_policy_t &policy);
