// The directories that hold the daemon's state (PID and lock files, logs,
// the database) and the files in them. Whoever may write such a directory
// may put a link, a file of their own or a directory at any name in it, so
// a directory others may write (sticky bit or not) is refused, and a file
// is opened once, without following a link, and judged by what was opened.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <string>

// What is wrong with the directory `st` describes: "" when it is a
// directory owned by root or by this process's user that others may not
// write (its group may), else a short reason ("writable by others (mode
// 1777)").
std::string state_dir_problem(const struct stat &st);

// What is wrong with a directory of the relocation tree, as lstat
// describes it: "" when it is a directory (not a link) owned by root or by
// this process's user that no other user may write. Its group may write
// only when it is this process's own group (a user's private group in a
// try-out). `above_root`: a directory above the root may also be writable
// by all when its sticky bit is set (/tmp): no one else may then rename or
// remove what is ours in it. The root itself and what lies below it get no
// such leave: a user who may create names there could plant any of them.
std::string relocated_dir_problem(const struct stat &st, bool above_root);

// Checks the relocation root and each directory above it, from "/" down:
// "" when there is no root or all are fine, else "<dir>: <reason>" for the
// first that is not. A root that is not an absolute path, has "." or ".."
// components, or is missing, is refused too.
std::string state_root_check();

// Checks the directory `dir` and each directory above it up to "/": "" when
// all are fine, else "<dir>: <reason>" for the first that is not. Under
// the relocation root a directory is judged by relocated_dir_problem,
// including the root and those above it; elsewhere by state_dir_problem.
// A missing path or one that is no directory (nor a link) is passed over:
// opening there fails anyway, and what is above it is still checked.
std::string state_dir_check(const std::string &dir);

// Whether a file `st` describes may be written by another user than root
// and this process's: writable by others, or by a group not this
// process's own.
bool writable_by_others(const struct stat &st);

// Opens the directory `dir` and checks it as state_dir_problem does: the
// descriptor (close-on-exec), or -1 with `why` set.
int state_dir_open(const std::string &dir, std::string *why);

// Opens `name` in the directory `dirfd` with `flags` (O_NOFOLLOW,
// O_CLOEXEC and O_NONBLOCK are added; `mode` when created) and checks what
// was opened: a regular file owned by this process's user, with one link.
// The descriptor, or -1 with `why` set ("a symbolic link (not followed)",
// "not a regular file", "owned by uid N"...) and errno kept from open for
// a failed open (ENOENT: nothing there).
int state_file_open(int dirfd, const char *name, int flags, mode_t mode, std::string *why);

// Reads what is left of `fd` into `*out`: false on a read error, or when
// there is more than `max` bytes (errno EFBIG).
bool fd_read_all(int fd, size_t max, std::string *out);

// The directory part and the last component of a path ("/a/b" -> "/a",
// "b"; "/b" -> "/", "b"; "b" -> ".", "b").
std::string path_dir(const std::string &path);
std::string path_base(const std::string &path);
