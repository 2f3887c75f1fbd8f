// What delivers korvane-notify and what it is made of: the autostart entry
// passes desktop-file-validate, the user unit systemd-analyze verify; the
// catalogues translate every message the program has (the template made
// again from the source has no other); one agent per session; with no bus
// at all it says so once per bus and keeps waiting.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>

#include <set>
#include <string>

#include "support/build_tree.h"
#include "support/child_process.h"
#include "support/daemon_process.h"
#include "support/private_bus.h"
#include "support/shell.h"
#include "support/temp_root.h"

namespace {

using vk_test::Quote;
using vk_test::Sh;

std::string Source(const std::string &rel) {
    return vk_test::BuildCacheValue("CMAKE_HOME_DIRECTORY") + "/" + rel;
}

TEST(NotifyPackaging, AutostartEntryIsValid) {
    if (!vk_test::Have("desktop-file-validate"))
        GTEST_SKIP()
            << "desktop-file-validate is not installed (Debian package desktop-file-utils)";
    vk_test::ShellOutput o =
        Sh("desktop-file-validate " + Quote(Source("packaging/korvane-notify.desktop")));
    EXPECT_EQ(o.status, 0) << o.text;
    EXPECT_EQ(o.text, "");
}

TEST(NotifyPackaging, UserUnitVerifies) {
    if (!vk_test::Have("systemd-analyze"))
        GTEST_SKIP() << "systemd-analyze is not installed (Debian package systemd)";
    vk_test::TempRoot root;
    std::string unit = vk_test::ReadFile(Source("packaging/korvane-notify.service.in"));
    const std::string key = "@BINDIR@";
    const std::string program = VK_NOTIFY_PATH;
    unit.replace(unit.find(key), key.size(), program.substr(0, program.rfind('/')));
    vk_test::WriteFile(root.path() + "/korvane-notify.service", unit);
    vk_test::ShellOutput o =
        Sh("systemd-analyze verify --man=no " + Quote(root.path() + "/korvane-notify.service"));
    EXPECT_EQ(o.status, 0) << o.text;
}

// The msgids of a catalogue or template.
std::set<std::string> Msgids(const std::string &text) {
    std::set<std::string> out;
    size_t at = 0;
    while ((at = text.find("\nmsgid \"", at)) != std::string::npos) {
        at += 8;
        const size_t end = text.find("\"\n", at);
        if (end != at) out.insert(text.substr(at, end - at));
    }
    return out;
}

TEST(NotifyPackaging, CataloguesTranslateEveryMessage) {
    if (!vk_test::Have("xgettext") || !vk_test::Have("msgfmt"))
        GTEST_SKIP() << "xgettext or msgfmt is not installed (Debian package gettext)";
    vk_test::TempRoot root;
    const std::string pot = root.path() + "/now.pot";
    vk_test::ShellOutput o = Sh("cd " + Quote(Source("")) +
                                " && xgettext --keyword=tr --keyword=N_ --from-code=UTF-8 "
                                "--omit-header -o " +
                                Quote(pot) + " tools/korvane-notify/notify_text.cpp");
    ASSERT_EQ(o.status, 0) << o.text;
    const std::set<std::string> now = Msgids("\n" + vk_test::ReadFile(pot));
    ASSERT_FALSE(now.empty());
    EXPECT_EQ(now, Msgids(vk_test::ReadFile(Source("po/korvane-notify.pot"))))
        << "po/korvane-notify.pot is out of date: make it again as it says";
    for (const char *lang : {"de", "zh_CN"}) {
        SCOPED_TRACE(lang);
        const std::string po = Source(std::string("po/") + lang + ".po");
        EXPECT_EQ(now, Msgids(vk_test::ReadFile(po)));
        o = Sh("msgfmt --check --statistics -o /dev/null " + Quote(po));
        EXPECT_EQ(o.status, 0) << o.text;
        EXPECT_NE(o.text.find(std::to_string(now.size()) + " translated messages.\n"),
                  std::string::npos)
            << o.text;
    }
}

// Whether the child ends within `ms` (reaped then).
bool Ended(vk_test::ChildProcess &child, int ms) {
    int status;
    return vk_test::WaitFor([&] { return waitpid(child.pid(), &status, WNOHANG) == child.pid(); },
                            ms);
}

TEST(NotifyAgent, NoBusAtAllIsOneLineEachAndWaiting) {
    vk_test::TempRoot root;
    vk_test::ScopedEnv system("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=" + root.path() + "/no-system");
    vk_test::ScopedEnv session("DBUS_SESSION_BUS_ADDRESS",
                               "unix:path=" + root.path() + "/no-session");
    const std::string log = root.path() + "/agent.out";
    vk_test::ChildProcess agent({VK_NOTIFY_PATH}, "", log);
    // Past a few tries of each (after 1, 2 and 4 s): still running, one line
    // per bus.
    EXPECT_FALSE(Ended(agent, 3500));
    EXPECT_EQ(vk_test::ReadFile(log),
              "korvane-notify: no session bus (No such file or directory); waiting for it\n"
              "korvane-notify: no system bus (No such file or directory); waiting for it\n");
    std::optional<int> status = agent.Stop(SIGTERM);
    ASSERT_TRUE(status.has_value());
    EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << *status;
}

TEST(NotifyAgent, OnePerSession) {
    if (!vk_test::Have("dbus-daemon"))
        GTEST_SKIP() << "dbus-daemon is not installed (Debian package dbus-daemon)";
    vk_test::PrivateBus session(vk_test::BusKind::kSession);
    ASSERT_TRUE(session.ok()) << session.error();
    vk_test::TempRoot root;
    vk_test::ScopedEnv system("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=" + root.path() + "/no-system");
    vk_test::ScopedEnv address("DBUS_SESSION_BUS_ADDRESS", session.address());
    vk_test::ChildProcess first({VK_NOTIFY_PATH}, "", root.path() + "/first.out");
    ASSERT_TRUE(vk_test::WaitFor([&] {
        return Sh("busctl --address=" + Quote(session.address()) + " status org.korvane.Notify1")
                   .status == 0;
    })) << vk_test::ReadFile(root.path() + "/first.out");
    vk_test::ChildProcess second({VK_NOTIFY_PATH}, "", root.path() + "/second.out");
    std::optional<int> status = second.Stop(0, 5000);  // signal 0: only wait
    ASSERT_TRUE(status.has_value()) << "the second one keeps running";
    EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << *status;
    EXPECT_NE(vk_test::ReadFile(root.path() + "/second.out")
                  .find("already running in this session (org.korvane.Notify1)"),
              std::string::npos);
    EXPECT_FALSE(Ended(first, 0)) << "the first one stays";
}

}  // namespace
