#include "support/build_tree.h"

#include <fstream>

namespace vk_test {

std::string BuildCacheValue(const std::string &name) {
    std::ifstream in(std::string(VK_BUILD_DIR) + "/CMakeCache.txt");
    std::string line;
    while (std::getline(in, line)) {
        // NAME:TYPE=VALUE
        size_t colon = line.find(':');
        if (colon == std::string::npos || line.compare(0, colon, name) != 0 || colon != name.size())
            continue;
        size_t eq = line.find('=', colon);
        if (eq != std::string::npos) return line.substr(eq + 1);
    }
    return "";
}

}  // namespace vk_test
