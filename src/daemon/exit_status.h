// The daemon's exit statuses, from <sysexits.h> so that service managers
// name them. 0 is an orderly stop, and also the quiet end of a start while
// another instance of the daemon holds the instance lock.
#pragma once

#include <sysexits.h>

namespace vk_exit {

constexpr int kOk = 0;
// The PID file or the instance lock beside it cannot be created, opened or
// locked (other than because another instance holds it): a symbolic link or
// something other than a regular file at its path, no permission, or a
// directory above it that others may write.
constexpr int kPidFile = EX_CANTCREAT;  // 73
// The instance lock is held by a process that is not this daemon: nothing
// serves, yet no other instance runs either. Worth trying again.
constexpr int kLocked = EX_TEMPFAIL;  // 75
// The log file cannot be opened, or its directory is one others may write.
constexpr int kLog = EX_IOERR;  // 74
// The registry database cannot be opened or its content loaded, or its
// directory is one others may write.
constexpr int kStore = EX_NOINPUT;  // 66
// The event loop or a listening socket cannot be set up (a socket name is
// taken, no descriptors left).
constexpr int kListen = EX_UNAVAILABLE;  // 69
// The access policy (access.conf) or the daemon's settings (korvaned.conf)
// cannot be read or say something wrong; or the relocation root, a
// directory above it, or one where the seat's state or the journal's socket
// is looked for, may be changed by another user.
constexpr int kConfig = EX_CONFIG;  // 78

}  // namespace vk_exit
