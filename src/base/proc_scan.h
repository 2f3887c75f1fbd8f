// Finding the processes that run a given program, by one pass over /proc:
// the building block of a product's liveness (a registered product counts
// as alive only while some process runs its program).
//
// What a match proves, and what it does not: /proc/<pid>/exe and the
// process's arguments name paths as the process's own mount namespace sees
// them, so a user who can make a mount namespace (unprivileged user
// namespaces) can run a program of their own under the product's path, and
// anyone can start an interpreter (or any program, `cat` included) with a
// script product's path as its first argument. A match is the process's
// claim; its uid, gid and groups, read by the kernel's own accounting, are
// what the caller judges it by.
#pragma once

#include <stddef.h>
#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

// A program to look for: its resolved absolute path, and whether it is a
// script run by an interpreter (its file starts with "#!").
struct proc_program_t {
    std::string path;
    bool script = false;
    // The path as declared, made plain by its text ("" when it is `path`):
    // a script started through a symbolic link is named by the link.
    std::string declared;
};

// One process found running one of the programs.
struct proc_match_t {
    int pid = -1;
    size_t program = 0;  // index into the programs given
    uid_t uid = 0;       // effective uid, effective gid and supplementary groups
    gid_t gid = 0;       // (from /proc/<pid>/status)
    std::vector<gid_t> groups;
    // What /proc/<pid>/exe names, as read (the interpreter, for a script;
    // "<path> (deleted)" for a binary replaced on disk since it started).
    std::string exe;
};

// Resolves a product's declared executable for matching: 0 with `out` filled
// (symbolic links resolved with realpath; `script` true when the file's first
// two bytes are "#!"), or -1 with `error` set as "syscall: reason" when it is
// not an absolute path naming an existing regular file:
//   "not an absolute path"                     relative or empty
//   "realpath: No such file or directory"      missing (any realpath errno)
//   "stat: Is a directory"                     a directory
//   "stat: not a regular file"                 a device, FIFO or socket
//   "open: Permission denied"                  unreadable (any open errno)
//   "read: ..."                                the first bytes unreadable
// The file is opened without blocking (O_NONBLOCK) and only its first two
// bytes are read.
int proc_resolve_program(const std::string &exec, proc_program_t &out, std::string &error);

// Which processes may count, judged by pid, ids and exe (`program` not yet
// known) before anything else of the process is read.
using proc_filter_t = std::function<bool(const proc_match_t &)>;

// Scans `procdir` (normally "/proc") once and appends to `out` every process
// that runs one of `programs` and that `filter` (when given) accepts: its
// /proc/<pid>/exe names the program's path (a trailing " (deleted)" ignored:
// the program replaced on disk while it runs), or, for a script program, the
// process's first argument after argv[0] that does not start with '-' names
// it, taken from the process's cwd when relative and made plain by its text
// alone (".", ".." and doubled slashes; no symbolic link is followed, no file
// looked at), either as its resolved path or as declared. A process's
// arguments are read only after `filter` accepted it: reading them waits for
// its memory map, which a hostile process can keep locked. A process is reported
// once: for the program its exe names, else for the first script program
// its argument resolves to. Returns the number of process directories
// examined, at most `max_procs` (the scan stops there: when it returns
// `max_procs`, processes may remain unseen), or -1 with `error`:
//   "opendir /proc: reason"                    the directory cannot be read
//   "<syscall> /proc/<pid>/<file>: reason"     a read failed for another reason than
//                                              the process being gone (ENOENT, ESRCH)
//                                              or out of reach (EACCES, EPERM):
//                                              EMFILE, ENOMEM... `out` may then hold
//                                              part of the matches; a failed scan is
//                                              never "nothing found".
// Processes that end during the scan, kernel threads and zombies are
// skipped, and so is a process whose main thread has exited while other
// threads run on (the kernel gives it no exe). Reads are bounded: the first
// 64 KiB of a process's arguments, no allocation sized by what a process
// puts there. While no script program is sought, a process whose exe names
// no program costs one readlink and allocates nothing; with one, every
// process's status is read as well. Nothing but /proc is looked at. A
// match's exe, arguments, cwd and status are all read through one
// descriptor of its /proc/<pid> directory, so they belong to one process
// even if the pid is reused meanwhile. No shared state: concurrent calls
// are fine.
int proc_scan(const char *procdir, const std::vector<proc_program_t> &programs,
              std::vector<proc_match_t> &out, size_t max_procs, std::string &error,
              const proc_filter_t &filter = proc_filter_t());

// The effective uid of process `pid` (from procdir/<pid>/status), or -1 when
// no such process exists or it is a zombie (state Z or X): a process that has
// exited does not count.
long proc_euid(const char *procdir, int pid);
