// The rules for the relocation root, the directories above it and those
// the daemon uses below it: first as a table over what lstat says, then on
// real directories under a temporary root (owners other than the runner's
// need root).
#include "base/state_dir.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <string>

#include "support/temp_root.h"

namespace {

// A uid and a gid that are neither root's nor the runner's.
uid_t OtherUid() {
    return geteuid() == 65534 ? 65533 : 65534;
}
gid_t OtherGid() {
    return getegid() == 65534 ? 65533 : 65534;
}

enum Owner { kMine, kRoots, kOthers };

struct StatCase {
    const char *name;
    mode_t type;
    mode_t mode;
    Owner owner;
    bool other_group;
    const char *below;  // the root itself and below it: "" or the reason
    const char *above;  // a directory above the root
};

const StatCase kStatCases[] = {
    {"private", S_IFDIR, 0700, kMine, false, "", ""},
    {"readable by all", S_IFDIR, 0755, kMine, false, "", ""},
    {"root's", S_IFDIR, 0755, kRoots, false, "", ""},
    {"owned by another user", S_IFDIR, 0755, kOthers, false, "owned by uid", "owned by uid"},
    {"another user's, sticky", S_IFDIR, 01777, kOthers, false, "owned by uid", "owned by uid"},
    {"writable by all", S_IFDIR, 0777, kMine, false, "writable by others (mode 0777)",
     "writable by others (mode 0777)"},
    {"writable by all, sticky", S_IFDIR, 01777, kMine, false, "writable by others (mode 1777)", ""},
    {"writable by others only", S_IFDIR, 0757, kMine, false, "writable by others (mode 0757)",
     "writable by others (mode 0757)"},
    {"writable by its own group", S_IFDIR, 0775, kMine, false, "", ""},
    {"writable by another group", S_IFDIR, 0775, kMine, true, "writable by group",
     "writable by group"},
    {"another group's, sticky", S_IFDIR, 01775, kMine, true, "writable by group", ""},
    {"another group may only read", S_IFDIR, 0755, kMine, true, "", ""},
    {"a symbolic link", S_IFLNK, 0777, kMine, false, "a symbolic link", "a symbolic link"},
    {"a file", S_IFREG, 0644, kMine, false, "not a directory", "not a directory"},
};

TEST(RelocatedDir, TableOfOwnersAndModes) {
    for (const StatCase &c : kStatCases) {
        SCOPED_TRACE(c.name);
        struct stat st = {};
        st.st_mode = c.type | c.mode;
        st.st_uid = c.owner == kOthers ? OtherUid() : c.owner == kRoots ? 0 : geteuid();
        st.st_gid = c.other_group ? OtherGid() : getegid();
        for (bool above : {false, true}) {
            const std::string want = above ? c.above : c.below;
            const std::string got = relocated_dir_problem(st, above);
            if (want.empty()) {
                EXPECT_EQ(got, "") << (above ? "above" : "below");
            } else {
                EXPECT_EQ(got.rfind(want, 0), 0u) << (above ? "above: " : "below: ") << got;
            }
        }
    }
}

// A root and what the daemon checks under it, set up on disk.
struct TreeCase {
    const char *name;
    bool needs_root;  // gives a directory to another user
    // Given a fresh outer directory, makes the tree and returns the root.
    std::function<std::string(const std::string &outer)> make;
    const char *dir;      // checked with state_dir_check (under the root); null: the root
    const char *problem;  // the path after the outer directory, then the reason; "" none
};

std::string Dir(const std::string &path, mode_t mode) {
    EXPECT_EQ(mkdir(path.c_str(), 0700), 0) << path;
    EXPECT_EQ(chmod(path.c_str(), mode), 0) << path;
    return path;
}

const TreeCase kTreeCases[] = {
    {"fresh root", false, [](const std::string &o) { return Dir(o + "/r", 0700); }, nullptr, ""},
    {"root writable by all", false, [](const std::string &o) { return Dir(o + "/r", 0777); },
     nullptr, "/r: writable by others (mode 0777)"},
    {"sticky root writable by all", false,
     [](const std::string &o) { return Dir(o + "/r", 01777); }, nullptr,
     "/r: writable by others (mode 1777)"},
    {"root of another user", true,
     [](const std::string &o) {
         std::string r = Dir(o + "/r", 0755);
         EXPECT_EQ(chown(r.c_str(), 65534, 65534), 0);
         return r;
     },
     nullptr, "/r: owned by uid 65534"},
    {"root of another group, writable by it", true,
     [](const std::string &o) {
         std::string r = Dir(o + "/r", 0775);
         EXPECT_EQ(chown(r.c_str(), 0, 65534), 0);
         return r;
     },
     nullptr, "/r: writable by group 65534 (mode 0775)"},
    {"missing root", false, [](const std::string &o) { return o + "/r"; }, nullptr,
     "/r: No such file or directory"},
    {"parent writable by all", false,
     [](const std::string &o) { return Dir(Dir(o + "/p", 0777) + "/r", 0700); }, nullptr,
     "/p: writable by others (mode 0777)"},
    {"sticky parent writable by all, as /tmp", false,
     [](const std::string &o) { return Dir(Dir(o + "/p", 01777) + "/r", 0700); }, nullptr, ""},
    {"root reached through a link", false,
     [](const std::string &o) {
         Dir(o + "/real", 0700);
         EXPECT_EQ(symlink("real", (o + "/r").c_str()), 0);
         return o + "/r";
     },
     nullptr, "/r: a symbolic link"},
    {"a link above the root", false,
     [](const std::string &o) {
         Dir(Dir(o + "/real", 0700) + "/r", 0700);
         EXPECT_EQ(symlink("real", (o + "/l").c_str()), 0);
         return o + "/l/r";
     },
     nullptr, "/l: a symbolic link"},
    {"dot-dot in the root", false,
     [](const std::string &o) {
         Dir(o + "/r", 0700);
         return o + "/r/../r";
     },
     nullptr, "/r/../r: has a \"..\" component"},
    {"repeated slashes", false, [](const std::string &o) { return "/" + Dir(o + "/r", 0700); },
     nullptr, ""},
    {"relative root", false, [](const std::string &) { return std::string("run-root"); }, nullptr,
     "!run-root: not an absolute path"},
    {"directories below are missing", false,
     [](const std::string &o) { return Dir(o + "/r", 0700); }, "/run/systemd/seats", ""},
    {"a missing directory above one writable by all", false,
     [](const std::string &o) {
         std::string r = Dir(o + "/r", 0700);
         Dir(r + "/run", 0777);
         return r;
     },
     "/run/systemd/seats", "/r/run: writable by others (mode 0777)"},
    {"sticky below the root", false,
     [](const std::string &o) {
         std::string r = Dir(o + "/r", 0700);
         Dir(Dir(r + "/var", 0755) + "/log", 01777);
         return r;
     },
     "/var/log", "/r/var/log: writable by others (mode 1777)"},
    {"group writable below the root, own group", false,
     [](const std::string &o) {
         std::string r = Dir(o + "/r", 0700);
         Dir(Dir(r + "/var", 0775) + "/log", 0775);
         return r;
     },
     "/var/log", ""},
    {"a link below the root", false,
     [](const std::string &o) {
         std::string r = Dir(o + "/r", 0700);
         Dir(r + "/elsewhere", 0755);
         EXPECT_EQ(symlink("elsewhere", (r + "/var").c_str()), 0);
         Dir(r + "/elsewhere/log", 0755);
         return r;
     },
     "/var/log", "/r/var: a symbolic link"},
    {"a file where a directory goes", false,
     [](const std::string &o) {
         std::string r = Dir(o + "/r", 0700);
         vk_test::WriteFile(r + "/var", "");
         return r;
     },
     "/var/log", ""},
    {"the root checked from below", false,
     [](const std::string &o) {
         std::string r = Dir(o + "/r", 0777);
         Dir(Dir(r + "/var", 0755) + "/log", 0755);
         return r;
     },
     "/var/log", "/r: writable by others (mode 0777)"},
};

TEST(RelocationRoot, TableOfTrees) {
    for (const TreeCase &c : kTreeCases) {
        SCOPED_TRACE(c.name);
        if (c.needs_root && geteuid() != 0) {
            std::cout << "[ SKIPPED  ] " << c.name << ": needs root (chown)\n";
            continue;
        }
        vk_test::TempRoot outer;
        const std::string root = c.make(outer.path());
        vk_test::ScopedRootEnv env(root);
        const std::string got =
            c.dir == nullptr ? state_root_check() : state_dir_check(root + c.dir);
        std::string want = c.problem;
        if (!want.empty()) want = want[0] == '!' ? want.substr(1) : outer.path() + want;
        if (want.empty()) {
            EXPECT_EQ(got, "");
        } else {
            EXPECT_EQ(got.rfind(want, 0), 0u) << got << "\nwanted " << want;
        }
    }
}

TEST(RelocationRoot, NoneIsNoProblem) {
    vk_test::ScopedRootEnv env("");
    EXPECT_EQ(state_root_check(), "");
}

}  // namespace
