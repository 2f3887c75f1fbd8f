// Strict reading of the daemon's configuration files (access.conf,
// korvaned.conf). A file is opened once, never through a symbolic link, and
// read through that descriptor only when it is a regular file of root's
// (or of the daemon's own user's) that neither group nor others may write;
// then every line must be one the INI reader takes as written, every
// section and key one of the caller's table, each key given once, and
// every value one the caller takes. Anything else is an error that names
// the file and, when there is one, the line: a file is never read as
// something other than what it says.
#pragma once

#include <stddef.h>

#include <functional>
#include <string>

// A key a file may hold. Names are matched ignoring case; `kind` is the
// caller's own tag for it.
struct conf_key_t {
    const char *section;
    const char *key;
    int kind;
};

// Takes one key's value: "" when taken, else what is wrong with it (the
// reader adds " in [section] key" and the line).
using conf_take_fn = std::function<std::string(const conf_key_t &def, const std::string &value)>;

// 0: the file was read and `take` called for each of its keys, in file
// order. 1: there is no file (no such file, or no such directory for it to
// be in); `take` was not called. -1: the file cannot be read or says
// something wrong; `error` is "<path>: <what>" or "<path>:<line>: <what>",
// and `take` may have been called for the keys before the wrong line.
int conf_file_read(const std::string &path, const conf_key_t *keys, size_t nkeys,
                   const conf_take_fn &take, std::string &error);

// A whole number written in decimal digits only (no sign, no space, at
// most ten digits), within [min, max].
bool conf_parse_number(const std::string &text, long min, long max, long *out);
