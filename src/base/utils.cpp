#include "base/utils.h"

#include <errno.h>
#include <sys/stat.h>
#include <unistd.h>

#include <vector>

std::string Utils::get_exepath() {
    // Grow the buffer until the link fits: readlink gives no length hint and
    // silently truncates.
    for (size_t size = 1024; size <= (1u << 20); size *= 2) {
        std::vector<char> buf(size, '\0');
        ssize_t n = readlink("/proc/self/exe", buf.data(), size);
        if (n < 0) return std::string();
        if (static_cast<size_t>(n) < size) return std::string(buf.data(), static_cast<size_t>(n));
    }
    return std::string();
}

std::string Utils::dir_of(const std::string &path) {
    size_t slash = path.rfind('/');
    if (slash == std::string::npos || slash == 0) return path;
    return path.substr(0, slash);
}

std::string Utils::get_runpath() {
    std::string exe = get_exepath();
    if (exe.empty()) return exe;
    return dir_of(exe);
}

bool Utils::make_dirs(const std::string &dir) {
    struct stat st;
    for (size_t i = 1; i <= dir.size(); ++i) {
        if (i != dir.size() && dir[i] != '/') continue;
        if (dir[i - 1] == '/') continue;  // empty component
        std::string prefix = dir.substr(0, i);
        if (stat(prefix.c_str(), &st) == 0) {
            if (!S_ISDIR(st.st_mode)) {
                errno = ENOTDIR;
                return false;
            }
            continue;
        }
        if (mkdir(prefix.c_str(), 0755) != 0 && errno != EEXIST) return false;
    }
    return stat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool Utils::make_parent_dirs(const std::string &path) {
    size_t slash = path.rfind('/');
    if (slash == std::string::npos || slash == 0) return true;
    return make_dirs(path.substr(0, slash));
}
