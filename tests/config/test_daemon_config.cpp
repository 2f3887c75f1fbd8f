// Reading the daemon's settings: each value it takes, and every way a file
// can be wrong, each refused with the file, its line and what is wrong,
// never half applied.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "config/daemon_config.h"
#include "support/temp_root.h"

namespace {

struct Loaded {
    int rc;
    daemon_config_t cfg;
    std::string error;
};

Loaded Load(const std::string &path) {
    Loaded l;
    // Not the defaults, so that a load that leaves it alone shows.
    l.cfg.liveness_failover = false;
    l.cfg.liveness_grace = 999;
    l.cfg.dbus = false;
    l.rc = daemon_config_load(path, l.cfg, l.error);
    return l;
}

Loaded LoadText(const vk_test::TempRoot &root, const std::string &text, mode_t mode = 0644) {
    std::string path = root.path() + "/korvaned.conf";
    vk_test::WriteFile(path, text);
    chmod(path.c_str(), mode);
    return Load(path);
}

struct GoodCase {
    const char *name;
    const char *text;
    bool failover;
    int grace;
    bool dbus;
};

const GoodCase kGood[] = {
    {"empty file", "", true, 30, true},
    {"comments and an empty section", "; nothing\n# set\n\n[liveness]\n", true, 30, true},
    {"failover", "[liveness]\nmode = failover\n", true, 30, true},
    {"off", "[liveness]\nmode = off\n", false, 30, true},
    {"lowest grace", "[liveness]\ngrace = 1\n", true, 1, true},
    {"highest grace", "[liveness]\ngrace = 3600\n", true, 3600, true},
    {"leading zeros", "[liveness]\ngrace = 0045\n", true, 45, true},
    {"both keys", "[liveness]\nmode = off\ngrace = 120\n", false, 120, true},
    {"names ignore case", "[LiveNess]\nMODE = off\nGrace = 7\r\n", false, 7, true},
    {"spaces around", "[liveness]\n   grace   =   12   \n", true, 12, true},
    {"bus on", "[dbus]\nmode = on\n", true, 30, true},
    {"bus off", "[DBus]\nMode = off\n", true, 30, false},
    {"both sections", "[liveness]\ngrace = 9\n[dbus]\nmode = off\n", true, 9, false},
};

TEST(DaemonConfig, GoodFilesAreRead) {
    vk_test::TempRoot root;
    for (const GoodCase &c : kGood) {
        SCOPED_TRACE(c.name);
        Loaded l = LoadText(root, c.text);
        ASSERT_EQ(l.rc, 0) << l.error;
        EXPECT_EQ(l.error, "");
        EXPECT_EQ(l.cfg.liveness_failover, c.failover);
        EXPECT_EQ(l.cfg.liveness_grace, c.grace);
        EXPECT_EQ(l.cfg.dbus, c.dbus);
    }
}

// [default]: what the front UIs are told to start and stop.
TEST(DaemonConfig, DefaultProductProgramIsRead) {
    struct Case {
        const char *text;
        std::string name, exec;
    };
    const Case cases[] = {
        {"", kDefSecSoftName, kDefSecSoftExec},
        {"[default]\nexec = /opt/av/bin/av-ui\n", kDefSecSoftName, "/opt/av/bin/av-ui"},
        {"[Default]\nName = Acme AV\nexec = /usr/bin/acme\n", "Acme AV", "/usr/bin/acme"},
        {"[default]\nname = 防护 Ü\n", "防护 Ü", kDefSecSoftExec},
        // A path with spaces is one path: nothing splits it.
        {"[default]\nexec = /opt/My AV/run\n", kDefSecSoftName, "/opt/My AV/run"},
    };
    vk_test::TempRoot root;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.text);
        Loaded l = LoadText(root, c.text);
        ASSERT_EQ(l.rc, 0) << l.error;
        EXPECT_EQ(l.cfg.default_name, c.name);
        EXPECT_EQ(l.cfg.default_exec, c.exec);
    }
}

TEST(DaemonConfig, AbsentFileIsTheDefault) {
    vk_test::TempRoot root;
    vk_test::WriteFile(root.path() + "/plain", "");
    for (const std::string &path :
         {root.path() + "/none.conf", root.path() + "/missing-dir/korvaned.conf",
          // Under a path component that is a file.
          root.path() + "/plain/korvaned.conf"}) {
        Loaded l = Load(path);
        EXPECT_EQ(l.rc, 1) << path << ": " << l.error;
        EXPECT_TRUE(l.cfg.liveness_failover) << path;
        EXPECT_EQ(l.cfg.liveness_grace, 30) << path;
        EXPECT_TRUE(l.cfg.dbus) << path;
    }
}

// The shipped sample, every key commented out, reads as the defaults.
TEST(DaemonConfig, SampleHasTheDefaults) {
    std::string here = __FILE__;
    std::string sample = here.substr(0, here.rfind("/tests/")) + "/conf/korvaned.conf";
    std::string text = vk_test::ReadFile(sample);
    ASSERT_FALSE(text.empty()) << sample;
    vk_test::TempRoot root;
    Loaded l = LoadText(root, text);
    ASSERT_EQ(l.rc, 0) << l.error;
    daemon_config_t defaults;
    EXPECT_EQ(l.cfg.liveness_failover, defaults.liveness_failover);
    EXPECT_EQ(l.cfg.liveness_grace, defaults.liveness_grace);
    EXPECT_EQ(l.cfg.dbus, defaults.dbus);
    EXPECT_EQ(l.cfg.default_name, kDefSecSoftName);
    EXPECT_EQ(l.cfg.default_exec, kDefSecSoftExec);
    EXPECT_TRUE(defaults.liveness_failover);
    EXPECT_TRUE(defaults.dbus);
    EXPECT_EQ(defaults.liveness_grace, 30);
}

struct BadCase {
    const char *name;
    std::string text;
    mode_t mode;
    const char *error;  // after "<path>"
};

const BadCase kBad[] = {
    {"mode maybe", "[liveness]\nmode = maybe\n", 0644,
     ":2: mode must be failover or off, not \"maybe\" in [liveness] mode"},
    {"mode in capitals", "[liveness]\nmode = OFF\n", 0644,
     ":2: mode must be failover or off, not \"OFF\""},
    {"grace zero", "[liveness]\ngrace = 0\n", 0644,
     ":2: grace must be a whole number of seconds from 1 to 3600, not \"0\" in [liveness] grace"},
    {"grace too long", "[liveness]\ngrace = 3601\n", 0644,
     ":2: grace must be a whole number of seconds from 1 to 3600, not \"3601\""},
    {"grace a fraction", "[liveness]\ngrace = 1.5\n", 0644, ":2: grace must be a whole number"},
    {"grace negative", "[liveness]\ngrace = -1\n", 0644, ":2: grace must be a whole number"},
    {"grace signed", "[liveness]\ngrace = +5\n", 0644, ":2: grace must be a whole number"},
    {"grace a word", "[liveness]\ngrace = abc\n", 0644, ":2: grace must be a whole number"},
    {"grace with a unit", "[liveness]\ngrace = 30s\n", 0644, ":2: grace must be a whole number"},
    {"grace past a long", "[liveness]\ngrace = 99999999999999999999\n", 0644,
     ":2: grace must be a whole number"},
    {"remark after a value", "[liveness]\ngrace = 30 ; seconds\n", 0644,
     ":2: grace must be a whole number of seconds from 1 to 3600, not \"30 ; seconds\""},
    {"empty value", "[liveness]\ngrace =\n", 0644, ":2: no value: grace ="},
    {"line of words", "[liveness]\nmode off\n", 0644,
     ":2: neither a section header, a key = value nor a comment: mode off"},
    {"key before any section", "grace = 10\n", 0644, ":1: outside any section: grace = 10"},
    {"unknown section", "[liveness]\n[bus]\n", 0644, ":2: unknown section [bus]"},
    {"bus mode yes", "[dbus]\nmode = yes\n", 0644,
     ":2: mode must be on or off, not \"yes\" in [dbus] mode"},
    {"bus mode in capitals", "[dbus]\nmode = OFF\n", 0644,
     ":2: mode must be on or off, not \"OFF\""},
    {"bus mode twice", "[dbus]\nmode = on\n[dbus]\nmode = off\n", 0644,
     ":4: [dbus] mode given again (first on line 2)"},
    {"bus key unknown", "[dbus]\naddress = unix:path=/x\n", 0644, ":2: unknown key [dbus] address"},
    {"unknown key", "[liveness]\ntimeout = 10\n", 0644, ":2: unknown key [liveness] timeout"},
    {"default exec relative", "[default]\nexec = bin/av\n", 0644,
     ":2: exec must be an absolute path of at most 4095 bytes without control characters, not "
     "\"bin/av\" in [default] exec"},
    {"default exec with an escape", "[default]\nexec = /opt/\x1b[2Jav\n", 0644,
     ":2: exec must be an absolute path"},
    {"default exec not UTF-8", "[default]\nexec = /opt/\xff\n", 0644,
     ":2: exec must be an absolute path"},
    {"default name with a C1 control",
     "[default]\nname = AV\xc2\x9b"
     "2J\n",
     0644,
     ":2: name must be UTF-8 text of at most 256 bytes without control characters in [default] "
     "name"},
    {"default name overlong UTF-8", "[default]\nname = \xc0\xaf\n", 0644,
     ":2: name must be UTF-8 text"},
    {"default name too long", "[default]\nname = " + std::string(257, 'a') + "\n", 0644,
     ":2: name must be UTF-8 text of at most 256 bytes"},
    {"default program key unknown", "[default]\nuuid = x\n", 0644,
     ":2: unknown key [default] uuid"},
    {"key twice", "[liveness]\ngrace = 10\n\n[LIVENESS]\nGRACE = 20\n", 0644,
     ":5: [liveness] grace given again (first on line 2)"},
    // The good line before the wrong one is not applied either.
    {"good key then bad one", "[liveness]\nmode = off\ngrace = 0\n", 0644,
     ":3: grace must be a whole number"},
    {"writable by group", "[liveness]\nmode = off\n", 0664,
     ": writable by group or others (mode 0664)"},
    {"writable by others", "[liveness]\nmode = off\n", 0646,
     ": writable by group or others (mode 0646)"},
};

TEST(DaemonConfig, WrongFilesAreRefusedWithTheirLine) {
    vk_test::TempRoot root;
    for (const BadCase &c : kBad) {
        SCOPED_TRACE(c.name);
        Loaded l = LoadText(root, c.text, c.mode);
        EXPECT_EQ(l.rc, -1);
        std::string expect = root.path() + "/korvaned.conf" + c.error;
        EXPECT_EQ(l.error.compare(0, expect.size(), expect), 0) << l.error;
        // Nothing of a wrong file is applied.
        EXPECT_TRUE(l.cfg.liveness_failover);
        EXPECT_EQ(l.cfg.liveness_grace, 30);
        EXPECT_TRUE(l.cfg.dbus);
    }
}

TEST(DaemonConfig, DirectoryInPlaceOfTheFileIsRefused) {
    vk_test::TempRoot root;
    std::string dir = root.path() + "/korvaned.conf";
    ASSERT_EQ(mkdir(dir.c_str(), 0755), 0);
    Loaded l = Load(dir);
    EXPECT_EQ(l.rc, -1);
    EXPECT_EQ(l.error, dir + ": not a regular file");
}

TEST(DaemonConfig, FileOfAnotherUserIsRefused) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root: gives the file to another user";
    vk_test::TempRoot root;
    std::string path = root.path() + "/korvaned.conf";
    vk_test::WriteFile(path, "[liveness]\nmode = off\n");
    chmod(path.c_str(), 0644);
    ASSERT_EQ(chown(path.c_str(), 65534, 65534), 0);
    Loaded l = Load(path);
    EXPECT_EQ(l.rc, -1);
    EXPECT_EQ(l.error, path + ": owned by uid 65534, not by root");
}

TEST(DaemonConfig, UnreadableFileIsRefused) {
    if (geteuid() == 0) GTEST_SKIP() << "root reads any file; needs an ordinary user";
    vk_test::TempRoot root;
    std::string path = root.path() + "/korvaned.conf";
    vk_test::WriteFile(path, "[liveness]\nmode = off\n");
    chmod(path.c_str(), 0200);
    Loaded l = Load(path);
    EXPECT_EQ(l.rc, -1);
    EXPECT_EQ(l.error, path + ": cannot be read");
}

TEST(DaemonConfig, SummaryNamesTheMode) {
    daemon_config_t cfg;
    EXPECT_EQ(daemon_config_summary(cfg),
              "liveness failover,grace 30 s,dbus on,default /opt/palemoss/palemoss");
    cfg.liveness_grace = 5;
    EXPECT_EQ(daemon_config_summary(cfg),
              "liveness failover,grace 5 s,dbus on,default /opt/palemoss/palemoss");
    cfg.liveness_failover = false;
    cfg.default_exec = "/opt/av/ui";
    EXPECT_EQ(daemon_config_summary(cfg), "liveness off,dbus on,default /opt/av/ui");
    cfg.dbus = false;
    EXPECT_EQ(daemon_config_summary(cfg), "liveness off,dbus off,default /opt/av/ui");
}

}  // namespace
