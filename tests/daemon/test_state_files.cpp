// The daemon's state directories and files against what another user could
// put there: a directory others may write is refused with the status of
// what it holds, and a link, a foreign file or anything but a regular file
// at a state or configuration file's name is refused without being
// followed, its target left as it was.
#include <errno.h>
#include <gtest/gtest.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <string>

#include "base/utils.h"
#include "daemon/run_to_end.h"
#include "support/daemon_process.h"
#include "support/temp_root.h"

using vk_test::ReadFile;
using vk_test::TempRoot;

namespace {

struct UnsafeDir {
    const char *label;
    const char *dir;
    mode_t mode;
    int status;
    const char *what;  // as standard error names it
};

void PrintTo(const UnsafeDir &c, std::ostream *os) {
    *os << c.label;
}

class StateDirectory : public ::testing::TestWithParam<UnsafeDir> {};

TEST_P(StateDirectory, WritableByOthersIsRefused) {
    const UnsafeDir &c = GetParam();
    TempRoot root;
    const std::string dir = root.Under(c.dir);
    ASSERT_TRUE(Utils::make_dirs(dir));
    ASSERT_EQ(chmod(dir.c_str(), c.mode), 0);

    vk_test::Finished f = vk_test::RunToEnd(root.path(), {"--foreground"}, 5000);
    ASSERT_TRUE(f.ended) << "it started in " << dir;
    ASSERT_TRUE(WIFEXITED(f.status));
    EXPECT_EQ(WEXITSTATUS(f.status), c.status);
    char mode[8];
    snprintf(mode, sizeof(mode), "%04o", static_cast<unsigned>(c.mode));
    const std::string line = std::string("unsafe ") + c.what + " directory " + dir +
                             ": writable by others (mode " + mode + ")";
    EXPECT_NE(f.err.find("veskkorvaned: " + line + "\n"), std::string::npos) << f.err;
    EXPECT_EQ(ReadFile(root.Under("/var/log/veskkorvaned.log")).find("net-core init ok"),
              std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, StateDirectory,
    ::testing::Values(UnsafeDir{"run_sticky", "/var/run", 01777, 73, "PID file"},
                      UnsafeDir{"run", "/var/run", 0777, 73, "PID file"},
                      UnsafeDir{"run_parent", "/var", 01777, 73, "PID file"},
                      UnsafeDir{"log_sticky", "/var/log", 01777, 74, "log"},
                      UnsafeDir{"db_sticky", "/etc/korvane", 01777, 66, "database"},
                      UnsafeDir{"db_parent", "/etc", 0777, 66, "database"},
                      UnsafeDir{"seat", "/run/systemd/seats", 01777, 78, "seat"},
                      UnsafeDir{"seat_parent", "/run", 0777, 78, "seat"},
                      UnsafeDir{"journal", "/run/systemd/journal", 0777, 78, "journal"}),
    [](const auto &info) { return std::string(info.param.label); });

// Something planted at one of the daemon's file names.
struct Planted {
    const char *label;
    const char *name;     // under the root
    const char *content;  // of the victim, one the daemon would take as its own
    bool dangling;        // a link to a file that does not exist yet
    bool foreign;         // a regular file of nobody's instead of a link (needs root)
    int status;
    const char *err;  // on standard error or in the log
};

void PrintTo(const Planted &c, std::ostream *os) {
    *os << c.label;
}

class PlantedFile : public ::testing::TestWithParam<Planted> {};

TEST_P(PlantedFile, IsRefusedAndNotFollowed) {
    const Planted &c = GetParam();
    if (c.foreign && geteuid() != 0) GTEST_SKIP() << "needs root: plants a file of nobody's";
    TempRoot root;
    const std::string path = root.Under(c.name);
    ASSERT_TRUE(Utils::make_parent_dirs(path));
    ASSERT_TRUE(Utils::make_parent_dirs(root.Under("/var/log/x")));
    const std::string victim = root.Under("/victim");
    if (c.foreign) {
        vk_test::WriteFile(path, c.content);
        ASSERT_EQ(chmod(path.c_str(), 0600), 0);
        ASSERT_EQ(chown(path.c_str(), 65534, 65534), 0);
    } else {
        if (!c.dangling) {
            vk_test::WriteFile(victim, c.content);
            ASSERT_EQ(chmod(victim.c_str(), 0644), 0);
        }
        ASSERT_EQ(symlink(victim.c_str(), path.c_str()), 0);
    }

    vk_test::Finished f = vk_test::RunToEnd(root.path(), {"--foreground"}, 5000);
    ASSERT_TRUE(f.ended) << "it started over " << c.name;
    ASSERT_TRUE(WIFEXITED(f.status));
    EXPECT_EQ(WEXITSTATUS(f.status), c.status);
    const std::string said = f.err + ReadFile(root.Under("/var/log/veskkorvaned.log"));
    EXPECT_NE(said.find(c.err), std::string::npos) << said;

    struct stat st;
    if (c.foreign) {
        ASSERT_EQ(stat(path.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, 0600u);
        EXPECT_EQ(st.st_uid, 65534u);
        EXPECT_EQ(ReadFile(path), c.content);
    } else if (c.dangling) {
        EXPECT_FALSE(vk_test::FileExists(victim)) << "created through the link";
    } else {
        ASSERT_EQ(stat(victim.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, 0644u) << "the target's mode changed";
        EXPECT_EQ(ReadFile(victim), c.content);
    }
}

const char kLink[] = "a symbolic link (not followed)";

INSTANTIATE_TEST_SUITE_P(
    Cases, PlantedFile,
    ::testing::Values(
        Planted{"db_journal", "/etc/korvane/korvaned.db-journal", "", false, false, 66, kLink},
        Planted{"db_wal", "/etc/korvane/korvaned.db-wal", "", false, false, 66, kLink},
        Planted{"db_shm", "/etc/korvane/korvaned.db-shm", "", false, false, 66, kLink},
        Planted{"db", "/etc/korvane/korvaned.db", "", false, false, 66, kLink},
        Planted{"db_dangling", "/etc/korvane/korvaned.db", "", true, false, 66, kLink},
        Planted{"log", "/var/log/veskkorvaned.log", "", false, false, 74, kLink},
        Planted{"log_dangling", "/var/log/veskkorvaned.log", "", true, false, 74, kLink},
        Planted{"access_conf", "/etc/korvane/access.conf", "[access]\nmode = open\n", false, false,
                78, kLink},
        Planted{"daemon_conf", "/etc/korvane/korvaned.conf", "", false, false, 78, kLink},
        Planted{"log_of_nobody", "/var/log/veskkorvaned.log", "", false, true, 74,
                "owned by uid 65534"},
        Planted{"db_of_nobody", "/etc/korvane/korvaned.db", "", false, true, 66,
                "owned by uid 65534"},
        Planted{"journal_of_nobody", "/etc/korvane/korvaned.db-journal", "", false, true, 66,
                "owned by uid 65534"}),
    [](const auto &info) { return std::string(info.param.label); });

// A relocation root that another user owns or may write, or that is
// reached through a link, ends the start before anything is made in it.
struct UnsafeRoot {
    const char *label;
    bool needs_root;  // gives the root to another user
    // Makes the root in `outer` and returns it.
    std::function<std::string(const std::string &outer)> make;
    const char *why;  // after "<root>: " on standard error, the path under `outer` first
};

void PrintTo(const UnsafeRoot &c, std::ostream *os) {
    *os << c.label;
}

std::string MakeDir(const std::string &path, mode_t mode) {
    EXPECT_EQ(mkdir(path.c_str(), 0700), 0) << path;
    EXPECT_EQ(chmod(path.c_str(), mode), 0) << path;
    return path;
}

class RelocationRoot : public ::testing::TestWithParam<UnsafeRoot> {};

TEST_P(RelocationRoot, OthersMayChangeItSoTheStartEnds) {
    const UnsafeRoot &c = GetParam();
    if (c.needs_root && geteuid() != 0) GTEST_SKIP() << "needs root: the root is nobody's";
    TempRoot outer;
    const std::string root = c.make(outer.path());

    vk_test::Finished f = vk_test::RunToEnd(root, {"--foreground"}, 5000);
    ASSERT_TRUE(f.ended) << "it started in " << root;
    ASSERT_TRUE(WIFEXITED(f.status));
    EXPECT_EQ(WEXITSTATUS(f.status), 78);
    EXPECT_EQ(f.err,
              "veskkorvaned: unsafe relocation root " + root + ": " + outer.path() + c.why + "\n");
    EXPECT_FALSE(vk_test::FileExists(root + "/var")) << "made in an unsafe root";
    EXPECT_FALSE(vk_test::FileExists(root + "/etc")) << "made in an unsafe root";
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RelocationRoot,
    ::testing::Values(UnsafeRoot{"writable_by_all", false,
                                 [](const std::string &o) { return MakeDir(o + "/r", 0777); },
                                 "/r: writable by others (mode 0777)"},
                      UnsafeRoot{"sticky", false,
                                 [](const std::string &o) { return MakeDir(o + "/r", 01777); },
                                 "/r: writable by others (mode 1777)"},
                      UnsafeRoot{"of_nobody", true,
                                 [](const std::string &o) {
                                     std::string r = MakeDir(o + "/r", 0755);
                                     EXPECT_EQ(chown(r.c_str(), 65534, 65534), 0);
                                     return r;
                                 },
                                 "/r: owned by uid 65534"},
                      UnsafeRoot{"group_of_nobody", true,
                                 [](const std::string &o) {
                                     std::string r = MakeDir(o + "/r", 0770);
                                     EXPECT_EQ(chown(r.c_str(), 0, 65534), 0);
                                     return r;
                                 },
                                 "/r: writable by group 65534 (mode 0770)"},
                      UnsafeRoot{"parent_writable_by_all", false,
                                 [](const std::string &o) {
                                     return MakeDir(MakeDir(o + "/p", 0777) + "/r", 0755);
                                 },
                                 "/p: writable by others (mode 0777)"},
                      UnsafeRoot{"through_a_link", false,
                                 [](const std::string &o) {
                                     MakeDir(o + "/real", 0755);
                                     EXPECT_EQ(symlink("real", (o + "/r").c_str()), 0);
                                     return o + "/r";
                                 },
                                 "/r: a symbolic link"}),
    [](const auto &info) { return std::string(info.param.label); });

// A missing root is made, and a directory the daemon makes in it is safe:
// the daemon then serves.
TEST(RelocatedStart, AMissingRootIsMadeAndServed) {
    TempRoot outer;
    const std::string root = outer.path() + "/new/root";
    vk_test::DaemonProcess daemon(root);
    ASSERT_TRUE(daemon.WaitListening()) << daemon.Log();
    for (const char *d : {"", "/var/log", "/var/run", "/etc/korvane"}) {
        struct stat st;
        ASSERT_EQ(lstat((root + d).c_str(), &st), 0) << d;
        EXPECT_TRUE(S_ISDIR(st.st_mode)) << d;
        EXPECT_EQ(st.st_uid, geteuid()) << d;
        EXPECT_EQ(st.st_mode & 022, 0u) << d;
    }
    EXPECT_EQ(daemon.Stop(), 0);
}

// A directory under the root that is a link leads elsewhere: refused with
// the status of what it holds, nothing written through it.
TEST(RelocatedStart, ALinkedStateDirectoryIsRefused) {
    TempRoot root;
    TempRoot elsewhere;
    ASSERT_TRUE(Utils::make_dirs(root.Under("/var")));
    ASSERT_EQ(symlink(elsewhere.path().c_str(), root.Under("/var/log").c_str()), 0);
    vk_test::Finished f = vk_test::RunToEnd(root.path(), {"--foreground"}, 5000);
    ASSERT_TRUE(f.ended);
    ASSERT_TRUE(WIFEXITED(f.status));
    EXPECT_EQ(WEXITSTATUS(f.status), 74);
    EXPECT_NE(f.err.find("veskkorvaned: unsafe log directory " + root.Under("/var/log") +
                         ": a symbolic link\n"),
              std::string::npos)
        << f.err;
    EXPECT_FALSE(vk_test::FileExists(elsewhere.path() + "/veskkorvaned.log"));
}

}  // namespace
