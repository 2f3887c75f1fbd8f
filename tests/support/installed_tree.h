// The build installed under a temporary prefix, as a user of the packages
// meets it: the fixture installs every component under <root>/usr, starts
// the installed daemon under a root of its own and runs programs built
// against the tree. For the tests of tests/tools, which know the build's
// cmake (VK_CMAKE).
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include "support/build_tree.h"
#include "support/daemon_process.h"
#include "support/shell.h"
#include "support/temp_root.h"

namespace vk_test {

// cmake --install writes into the build tree (install_manifest.txt), which
// a suite run by another user may only read.
inline bool BuildTreeWritable() {
    return access(VK_BUILD_DIR, W_OK) == 0;
}
constexpr const char *kReadOnlyTree =
    "needs a build tree writable by this user: cmake --install writes into it";

// Where the build installs the library, relative to the prefix: "lib" or
// "lib/<multiarch>" depending on the configured prefix.
inline std::string LibDir() {
    return BuildCacheValue("CMAKE_INSTALL_LIBDIR");
}

class Installed : public ::testing::Test {
protected:
    void SetUp() override {
        if (!BuildTreeWritable()) GTEST_SKIP() << kReadOnlyTree;
        ShellOutput o = Sh(std::string(Quote(VK_CMAKE)) + " --install " + Quote(VK_BUILD_DIR) +
                           " --prefix " + Quote(Prefix()));
        ASSERT_EQ(o.status, 0) << o.text;
    }
    std::string Prefix() const { return m_root.path() + "/usr"; }
    std::string LibPath() const { return Prefix() + "/" + LibDir(); }
    std::string PkgConfig(const std::string &args) const {
        return "$(PKG_CONFIG_PATH=" + Quote(LibPath() + "/pkgconfig") + " pkg-config " + args +
               " korvane-client)";
    }
    // Starts the installed daemon under a root of its own.
    void StartDaemon() {
        m_daemon = std::make_unique<DaemonProcess>(m_daemonRoot.path(),
                                                   std::vector<std::string>{"--foreground"},
                                                   Prefix() + "/sbin/veskkorvaned");
        ASSERT_TRUE(m_daemon->WaitListening());
    }
    // Runs a program built here against the daemon.
    ShellOutput RunAgainstDaemon(const std::string &exe) const {
        return Sh("VESKKORVANED_ROOT=" + Quote(m_daemonRoot.path()) +
                  " LD_LIBRARY_PATH=" + Quote(LibPath()) + " " + Quote(exe));
    }

    TempRoot m_root;
    TempRoot m_daemonRoot;
    std::unique_ptr<DaemonProcess> m_daemon;
};

}  // namespace vk_test
