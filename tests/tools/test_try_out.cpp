// scripts/try.sh, run against the build under test (VK_TRY_NO_BUILD: no
// install, no build) with its state under a temporary directory: the two
// lines it prints reach the daemon from a shell that knows nothing else.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <sstream>
#include <string>
#include <vector>

#include "support/build_tree.h"
#include "support/daemon_process.h"
#include "support/shell.h"
#include "support/temp_root.h"

namespace {

using vk_test::DaemonProcess;
using vk_test::Quote;
using vk_test::ReadFile;
using vk_test::TempRoot;

TEST(TryOut, PrintedLinesReachTheDaemon) {
    TempRoot tmp;
    // A blank in the path: the printed lines must quote it.
    const std::string root = tmp.path() + "/run root";
    const std::string out = tmp.path() + "/try.out";
    const std::string source_dir = vk_test::BuildCacheValue("CMAKE_HOME_DIRECTORY");
    // The wrapper runs try.sh in place of the daemon (whose path it is
    // given last, and ignores); try.sh execs the daemon, so the pid stays.
    DaemonProcess d(root, {"--foreground"}, VK_DAEMON_PATH, 0,
                    {"env", "VK_TRY_NO_BUILD=1", "BUILD_DIR=" VK_BUILD_DIR, "VK_TRY_ROOT=" + root,
                     "VESKKORVANED_ROOT=", "sh", "-c", "exec bash \"$1\" >\"$2\" 2>&1", "sh",
                     source_dir + "/scripts/try.sh", out});
    ASSERT_TRUE(vk_test::WaitFor(
        [&] { return ReadFile(out).find("korvanectl status\n") != std::string::npos; }, 30000))
        << ReadFile(out);

    std::string export_line, ctl_line;
    std::istringstream lines(ReadFile(out));
    for (std::string line; std::getline(lines, line);) {
        if (line.rfind("export VESKKORVANED_ROOT=", 0) == 0) export_line = line;
        if (!export_line.empty() && line != export_line && ctl_line.empty()) ctl_line = line;
    }
    ASSERT_FALSE(export_line.empty()) << ReadFile(out);
    EXPECT_NE(export_line.find("'" + root + "'"), std::string::npos) << export_line;
    EXPECT_EQ(ctl_line.rfind("/", 0), 0u) << "an absolute path: " << ctl_line;

    // Pasted into a shell elsewhere that knows nothing of the root.
    vk_test::ShellOutput status = vk_test::Sh("cd / && env -u VESKKORVANED_ROOT bash -c " +
                                              Quote(export_line + "\n" + ctl_line));
    EXPECT_EQ(status.status, 0) << status.text;
    EXPECT_NE(status.text.find("daemon:    running, pid " + std::to_string(d.pid()) + ","),
              std::string::npos)
        << status.text;

    int ended = d.Stop();
    EXPECT_TRUE(WIFEXITED(ended) && WEXITSTATUS(ended) == 0) << ended;
}

}  // namespace
