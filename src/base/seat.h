// Who owns the machine's active graphical session: the uid logind names as
// ACTIVE_UID in its state file of seat0 (/run/systemd/seats/seat0, one
// KEY=value a line). Without logind (no /run/systemd/seats directory) there
// is no such owner at all, which callers treat as "no restriction"; with
// logind but no file, no ACTIVE_UID or a value that is not a uid, nobody
// owns it. Nobody owns it either when another user than root (or the
// daemon's own user) could have planted the file: a directory from "/" (or
// from above the relocation root) down to it that they may write, or a file
// that is not root's alone (a link, a file of theirs, one with more links,
// one they may write).
//
// The answer is read at most once per kSeatRefreshMs (monotonic clock) and
// kept meanwhile: it is asked on every accepted connection and every
// front-UI registration. Paths are relocated under VESKKORVANED_ROOT.
#pragma once

#include <sys/types.h>

constexpr const char *kSeatDir = "/run/systemd/seats";
constexpr const char *kSeat0File = "/run/systemd/seats/seat0";
constexpr long long kSeatRefreshMs = 1000;

enum seat_state_t {
    kSeatNoLogind = 0,  // logind does not run: no session owner is known
    kSeatNobody = 1,    // logind runs, no one is active on seat0
    kSeatActive = 2,    // `uid` is active on seat0
};

struct seat_owner_t {
    seat_state_t state = kSeatNoLogind;
    uid_t uid = 0;  // meaningful for kSeatActive only
};

// The owner of seat0's active session, as last read (at most
// kSeatRefreshMs old).
seat_owner_t seat_active_owner();

// Reads the state files now, ignoring the kept answer.
seat_owner_t seat_read_owner();

// Forgets the kept answer: the next seat_active_owner reads again.
void seat_forget();

// Whether `uid` may act as the session's owner: true when logind does not
// run, else only for the active uid.
bool seat_owned_by(const seat_owner_t &owner, long uid);
