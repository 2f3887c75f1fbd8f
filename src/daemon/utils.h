// Small process helpers shared by the daemon's modules.
#pragma once

#include <string>

class Utils {
public:
    // Absolute path of the running executable (the target of
    // "/proc/self/exe"), read with a buffer that fits any path; "" when the
    // link cannot be read.
    static std::string get_exepath();

    // Directory of the running executable, without a trailing '/'; an
    // executable in the root directory keeps its full path ('/' in the
    // first position is not cut). "" when the link cannot be read.
    static std::string get_runpath();

    // The directory part of `path` by the rule above.
    static std::string dir_of(const std::string &path);

    // Creates the missing directories above `path` with mode 0755 (errors
    // are left for the caller's open of `path` to report).
    static void make_parent_dirs(const std::string &path);
};
