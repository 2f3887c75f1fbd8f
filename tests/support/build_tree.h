// Facts about the build tree under test, as its configuration chose them.
#pragma once

#include <string>

namespace vk_test {

// The value of a cache entry of the build tree (CMakeCache.txt), "" when it
// has none: e.g. CMAKE_INSTALL_LIBDIR, which GNUInstallDirs sets from the
// install prefix ("lib", or "lib/<multiarch>" for the prefix /usr).
std::string BuildCacheValue(const std::string &name);

}  // namespace vk_test
