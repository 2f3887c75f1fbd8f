// The supervisor's back-off on a fake clock. The test forks the process
// that becomes the supervisor (CSimpleMonitor::CreateMonitor, as daemon
// mode calls it); the fake clock is shared with it, so the test decides how
// long the worker lived and sees the supervisor's wait move the clock
// instead of passing. The program it restarts is a script that writes down
// the quick-exit count it was handed.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "base/paths.h"
#include "base/vk_clock.h"
#include "daemon/monitor.h"
#include "support/daemon_process.h"
#include "support/temp_root.h"

namespace {

constexpr long long kStartMs = 5000000;  // whole seconds, so that lives count as the daemon's do
constexpr long long kQuickMs = CSimpleMonitor::kQuickExitSeconds * 1000;

struct BackoffCase {
    const char *name;
    int quick_before;  // handed down by the supervisor before, 0 for none
    long long lived_ms;
    int quick_after;  // handed to the restarted program
    int wait_s;
};

class MonitorBackoffTest : public ::testing::TestWithParam<BackoffCase> {
protected:
    void SetUp() override { ASSERT_EQ(vk_clock_fake(kStartMs), 0); }
    void TearDown() override {
        if (worker_ > 0) kill(worker_, SIGKILL);
        if (supervisor_ > 0) {
            kill(supervisor_, SIGKILL);
            waitpid(supervisor_, nullptr, 0);
        }
        vk_clock_real();
    }

    std::string MonitorLog() const {
        return vk_test::ReadFile(root_.Under(vk_paths::kMonitorLogFile));
    }

    vk_test::TempRoot root_;
    vk_test::ScopedRootEnv env_{root_.path()};
    pid_t supervisor_ = -1;
    pid_t worker_ = -1;
};

TEST_P(MonitorBackoffTest, WaitsOnTheClockAndHandsTheCountOn) {
    const BackoffCase &c = GetParam();
    ASSERT_EQ(system(("mkdir -p " + root_.Under("/var/log") + " " + root_.Under("/opt")).c_str()),
              0);
    const std::string program = root_.Under("/opt/restarted.sh");
    const std::string count = root_.Under("/restarted");
    vk_test::WriteFile(program, "#!/bin/sh\necho \"$" +
                                    std::string(CSimpleMonitor::kQuickExitsEnv) + "\" > " + count +
                                    "\n");
    ASSERT_EQ(chmod(program.c_str(), 0755), 0);

    supervisor_ = fork();
    ASSERT_GE(supervisor_, 0);
    if (supervisor_ == 0) {
        if (c.quick_before > 0)
            setenv(CSimpleMonitor::kQuickExitsEnv, std::to_string(c.quick_before).c_str(), 1);
        CSimpleMonitor monitor;
        monitor.CreateMonitor(program, "", vk_paths::File(vk_paths::kWorkerPidFile));
        pause();  // the worker, until the test kills it
        _exit(0);
    }

    const std::string started = "|INFO|child process start[";
    ASSERT_TRUE(vk_test::WaitFor([&] { return MonitorLog().find(started) != std::string::npos; }))
        << MonitorLog();
    std::string log = MonitorLog();
    worker_ = static_cast<pid_t>(atol(log.c_str() + log.find(started) + started.size()));
    ASSERT_GT(worker_, 0);
    vk_clock_advance_ms(c.lived_ms);
    ASSERT_EQ(kill(worker_, SIGKILL), 0);

    int status = -1;
    ASSERT_TRUE(vk_test::WaitFor([&] {
        return waitpid(supervisor_, &status, WNOHANG) == supervisor_;
    })) << MonitorLog();
    supervisor_ = -1;
    worker_ = -1;
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;

    log = MonitorLog();
    EXPECT_NE(log.find("termination by signal 9\n"), std::string::npos) << log;
    if (c.wait_s > 0) {
        const std::string line = " lived " + std::to_string(c.lived_ms / 1000) + " s," +
                                 std::to_string(c.quick_after) + " quick exits in a row,waiting " +
                                 std::to_string(c.wait_s) + " s before starting it again\n";
        EXPECT_NE(log.find(line), std::string::npos) << log;
    } else {
        EXPECT_EQ(log.find(",waiting "), std::string::npos) << log;
    }
    EXPECT_EQ(vk_clock_now_ms(), kStartMs + c.lived_ms + c.wait_s * 1000LL)
        << "the wait is on the clock";
    EXPECT_EQ(vk_test::ReadFile(count), std::to_string(c.quick_after) + "\n");
}

INSTANTIATE_TEST_SUITE_P(
    Deaths, MonitorBackoffTest,
    ::testing::Values(BackoffCase{"FirstQuickDeathAtOnce", 0, 0, 1, 0},
                      BackoffCase{"SecondQuickDeathOneSecond", 1, 0, 2, 1},
                      BackoffCase{"ThirdTwoSeconds", 2, 500, 3, 2},
                      BackoffCase{"CappedAtAMinute", 9, 0, 10, 60},
                      BackoffCase{"JustShortOfTheQuickTime", 3, kQuickMs - 1, 4, 4},
                      BackoffCase{"LivedLongEnoughStartsAgain", 6, kQuickMs, 0, 0}),
    [](const ::testing::TestParamInfo<BackoffCase> &info) { return std::string(info.param.name); });

}  // namespace
