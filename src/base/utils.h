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

    // Creates every missing directory of `dir`, parents first, with mode
    // 0755: true when `dir` is a directory afterwards. Stops at a component
    // that is not a directory (errno ENOTDIR) or cannot be created.
    static bool make_dirs(const std::string &dir);

    // make_dirs for the directory that holds `path` (true when there is
    // none to make).
    static bool make_parent_dirs(const std::string &path);
};
