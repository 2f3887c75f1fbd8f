#include "base/paths.h"

#include <cstdlib>

namespace vk_paths {

std::string Root() {
    const char *env = getenv(kRootEnv);
    if (env == nullptr) return std::string();
    std::string root(env);
    // "/" or "//" as a root means no relocation at all.
    while (!root.empty() && root.back() == '/') root.pop_back();
    return root;
}

std::string File(const char *path) {
    return Root() + path;
}

std::string Socket(const char *name) {
    if (name == nullptr || name[0] != '@') return name ? std::string(name) : std::string();
    return "@" + Root() + (name + 1);
}

}  // namespace vk_paths
