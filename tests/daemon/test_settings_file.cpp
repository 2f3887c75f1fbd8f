// The real binary with its settings file, korvaned.conf, under a temporary
// root: a wrong file stops the start with status 78 and says where, a good
// one (or none) starts it and the log says what it runs with.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <string>

#include "base/utils.h"
#include "daemon/run_to_end.h"
#include "support/daemon_process.h"
#include "support/temp_root.h"

using vk_test::TempRoot;

namespace {

std::string WriteSettings(const TempRoot &root, const std::string &text, mode_t mode) {
    std::string path = root.Under("/etc/korvane/korvaned.conf");
    EXPECT_TRUE(Utils::make_dirs(root.Under("/etc/korvane")));
    vk_test::WriteFile(path, text);
    chmod(path.c_str(), mode);
    return path;
}

struct BadSettings {
    const char *name;
    const char *text;
    mode_t mode;
    const char *error;  // after the file's path
};

const BadSettings kBadSettings[] = {
    {"grace out of range", "[liveness]\nmode = failover\ngrace = 0\n", 0644,
     ":3: grace must be a whole number of seconds from 1 to 3600, not \"0\" in [liveness] grace"},
    {"unknown section", "[bus]\nmode = on\n", 0644, ":1: unknown section [bus]"},
    {"writable by group", "[liveness]\nmode = off\n", 0664,
     ": writable by group or others (mode 0664)"},
};

TEST(SettingsFile, WrongFileStopsTheStart) {
    for (const BadSettings &c : kBadSettings) {
        SCOPED_TRACE(c.name);
        TempRoot root;
        std::string path = WriteSettings(root, c.text, c.mode);
        vk_test::Finished f = vk_test::RunToEnd(root.path(), {"--foreground"});
        ASSERT_TRUE(f.ended);
        ASSERT_TRUE(WIFEXITED(f.status));
        EXPECT_EQ(WEXITSTATUS(f.status), 78);
        std::string message = path + c.error;
        EXPECT_NE(f.err.find("veskkorvaned: bad daemon configuration: " + message + "\n"),
                  std::string::npos)
            << f.err;
        std::string log = vk_test::ReadFile(root.Under("/var/log/veskkorvaned.log"));
        EXPECT_NE(log.find("|ERROR|daemon configuration: " + message + "\n"), std::string::npos)
            << log;
        EXPECT_FALSE(vk_test::FileExists(root.Under("/etc/korvane/korvaned.db")))
            << "nothing after the settings was opened";
    }
}

TEST(SettingsFile, GoodFileStartsAndIsLogged) {
    TempRoot root;
    std::string path = WriteSettings(root, "[Liveness]\nmode = failover\ngrace = 5\n", 0600);
    vk_test::DaemonProcess d(root.path());
    ASSERT_TRUE(d.WaitListening());
    EXPECT_NE(
        d.Log().find("|INFO|daemon configuration from " + path +
                     ": liveness failover,grace 5 s,dbus on,default /opt/palemoss/palemoss\n"),
        std::string::npos)
        << d.Log();
}

TEST(SettingsFile, NoFileStartsWithTheDefaults) {
    TempRoot root;
    vk_test::DaemonProcess d(root.path());
    ASSERT_TRUE(d.WaitListening());
    std::string path = root.Under("/etc/korvane/korvaned.conf");
    EXPECT_NE(
        d.Log().find("|INFO|default daemon configuration, no " + path +
                     ": liveness failover,grace 30 s,dbus on,default /opt/palemoss/palemoss\n"),
        std::string::npos)
        << d.Log();
}

}  // namespace
