// Finding the processes that run a given program, by one pass over /proc:
// the building block of a product's liveness (a registered product counts
// as alive only while some process runs its program).
//
// What a match proves, and what it does not: /proc/<pid>/exe and the
// process's arguments name paths as the process's own mount namespace sees
// them, so a user who can make a mount namespace (unprivileged user
// namespaces) can run a program of their own under the product's path, and
// anyone can start a script's interpreter with the script's path where the
// interpreter takes it. A match is the process's claim; its real,
// effective and saved ids and its groups, read by the kernel's own
// accounting, are what the caller judges it by.
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
    // A script's interpreter, resolved, as its "#!" line names it ("" when
    // no process can be the script's: no such file, or a line this code
    // does not take), and the arguments the line puts before the script's
    // path. A process runs the script when its exe is the interpreter,
    // its argv[1..n] are these arguments and argv[n + 1] names the script.
    std::string interpreter;
    std::vector<std::string> interpreter_args;
};

// One process found running one of the programs.
struct proc_match_t {
    int pid = -1;
    size_t program = 0;  // index into the programs given
    uid_t uid = 0;       // effective uid, effective gid and supplementary groups
    gid_t gid = 0;       // (from /proc/<pid>/status)
    std::vector<gid_t> groups;
    uid_t ruid = 0, suid = 0;  // real and saved: a setuid program started by
    gid_t rgid = 0, sgid = 0;  // another user differs there
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
// The file is opened without blocking (O_NONBLOCK), without following a
// link put in place since (O_NOFOLLOW), and only its first line, up to 256
// bytes as the kernel reads it, is looked at. A script's "#!" line is taken
// as the kernel takes it: the interpreter up to the first blank, and the
// rest of the line, trimmed, as one argument when not empty. Its
// interpreter is resolved with realpath; `#!/usr/bin/env NAME` (or
// `env -S NAME ARGS...`, words split at blanks, no quotes) is NAME found
// in /usr/local/sbin, /usr/local/bin, /usr/sbin, /usr/bin, /sbin and /bin
// in that order, run with ARGS. Any other line leaves `interpreter` empty:
// the script then matches no process.
int proc_resolve_program(const std::string &exec, proc_program_t &out, std::string &error);

// Which processes may count, judged by pid, ids and exe (`program` not yet
// known) before anything else of the process is read.
using proc_filter_t = std::function<bool(const proc_match_t &)>;

// Scans `procdir` (normally "/proc") once and appends to `out` every process
// that runs one of `programs` and that `filter` (when given) accepts: its
// /proc/<pid>/exe names the program's path (a trailing " (deleted)" ignored:
// the program replaced on disk while it runs), or, for a script program, its
// exe names the script's interpreter (the same way), its arguments after
// argv[0] begin with the interpreter's arguments of the "#!" line and the
// next one names the script, taken from the process's cwd when relative and
// made plain by its text alone (".", ".." and doubled slashes; no symbolic
// link is followed, no file looked at), either as its resolved path or as
// declared. A process's status is read only when its exe names a program
// or an interpreter, and its arguments only after `filter` accepted it:
// reading them waits for its memory map, which a hostile process can keep
// locked. A process is reported
// once: for the program its exe names, else for the first script program
// its arguments name. Returns the number of process directories
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
// puts there. A process whose exe names no program and no interpreter
// costs one readlink and allocates nothing. Nothing but /proc is looked
// at. A match's exe, arguments, cwd and status are all read through one
// descriptor of its /proc/<pid> directory, so they belong to one process
// even if the pid is reused meanwhile. No shared state: concurrent calls
// are fine.
int proc_scan(const char *procdir, const std::vector<proc_program_t> &programs,
              std::vector<proc_match_t> &out, size_t max_procs, std::string &error,
              const proc_filter_t &filter = proc_filter_t());

// The same scan taken in steps, so that a caller can do other work between
// them: proc_walk_open opens `procdir` (nullptr with `error` as proc_scan
// sets it); each proc_walk_step examines up to `max_procs` more process
// directories as proc_scan does and returns how many, or -1 with `error`,
// setting `done` once the listing has ended. A process that starts during
// the walk is seen or not, depending on where its pid falls; one that ends
// is skipped. The programs and filter may differ between steps; the walk
// holds one descriptor until proc_walk_close.
struct proc_walk_t;
proc_walk_t *proc_walk_open(const char *procdir, std::string &error);
int proc_walk_step(proc_walk_t *walk, const std::vector<proc_program_t> &programs,
                   std::vector<proc_match_t> &out, size_t max_procs, bool &done, std::string &error,
                   const proc_filter_t &filter = proc_filter_t());
void proc_walk_close(proc_walk_t *walk);

// Process `pid` alone, judged as a scan would: 1 with the match appended to
// `out`, 0 when it runs none of `programs` (or has gone, or `filter` refuses
// it), -1 with `error` as proc_scan sets it.
int proc_scan_pid(const char *procdir, int pid, const std::vector<proc_program_t> &programs,
                  std::vector<proc_match_t> &out, std::string &error,
                  const proc_filter_t &filter = proc_filter_t());

// The effective uid of process `pid` (from procdir/<pid>/status), or -1 when
// no such process exists or it is a zombie (state Z or X): a process that has
// exited does not count.
long proc_euid(const char *procdir, int pid);
