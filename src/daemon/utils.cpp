#include "daemon/utils.h"

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

void Utils::make_parent_dirs(const std::string &path) {
    size_t slash = path.rfind('/');
    if (slash == std::string::npos || slash == 0) return;
    std::string dir = path.substr(0, slash);
    for (size_t i = 1; i <= dir.size(); ++i) {
        if (i == dir.size() || dir[i] == '/') mkdir(dir.substr(0, i).c_str(), 0755);
    }
}
