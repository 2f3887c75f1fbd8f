// PID files and instance locks against what may already lie at their path. "Another process"
// holding a file is stood in for by a second descriptor of this one: flock
// locks belong to open files, so the two conflict all the same.
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <string>

#include "daemon/pidfile.h"
#include "support/temp_root.h"

using vk_test::FileExists;
using vk_test::ReadFile;
using vk_test::TempRoot;
using vk_test::WriteFile;

namespace {

std::string OwnPid() {
    return std::to_string(getpid());
}

// Holds `path` locked as a running instance would; -1 when it cannot.
int HoldLocked(const std::string &path) {
    int fd = open(path.c_str(), O_RDWR | O_CLOEXEC);
    if (fd >= 0 && flock(fd, LOCK_EX | LOCK_NB) != 0) {
        close(fd);
        fd = -1;
    }
    return fd;
}

struct Planted {
    const char *label;
    std::function<void(const std::string &pid, const std::string &victim)> plant;
    int wantErrno;  // 0: written
    // What is found at the PID path and in the victim afterwards.
    std::function<void(const std::string &pid, const std::string &victim)> check;
};

void PrintTo(const Planted &p, std::ostream *os) {
    *os << p.label;
}

class WritePidFile : public ::testing::TestWithParam<Planted> {};

TEST_P(WritePidFile, OverPlanted) {
    const Planted &c = GetParam();
    TempRoot root;
    std::string pid = root.Under("/x.pid"), victim = root.Under("/victim");
    WriteFile(victim, "precious");
    ASSERT_EQ(chmod(victim.c_str(), 0600), 0);
    c.plant(pid, victim);

    errno = 0;
    int fd = CPidFile::write_pid_file(pid.c_str());
    int err = errno;
    if (c.wantErrno == 0) {
        ASSERT_GE(fd, 0) << strerror(err);
        EXPECT_EQ(ReadFile(pid), OwnPid());
        int intruder = HoldLocked(pid);
        EXPECT_EQ(intruder, -1) << "the file is held";
        if (intruder >= 0) close(intruder);
        EXPECT_EQ(fcntl(fd, F_GETFD) & FD_CLOEXEC, FD_CLOEXEC);
        close(fd);
    } else {
        EXPECT_EQ(fd, -1);
        EXPECT_EQ(err, c.wantErrno) << strerror(err);
    }
    EXPECT_EQ(ReadFile(victim), "precious");
    struct stat st;
    ASSERT_EQ(stat(victim.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    if (c.check) c.check(pid, victim);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, WritePidFile,
    ::testing::Values(Planted{"nothing", [](const std::string &, const std::string &) {}, 0,
                              nullptr},
                      Planted{"stale_longer_content",
                              [](const std::string &pid, const std::string &) {
                                  WriteFile(pid, "123456789012345 left by a dead instance");
                              },
                              0, nullptr},
                      Planted{"symlink_to_victim",
                              [](const std::string &pid, const std::string &victim) {
                                  ASSERT_EQ(symlink(victim.c_str(), pid.c_str()), 0);
                              },
                              ELOOP, nullptr},
                      Planted{"dangling_symlink",
                              [](const std::string &pid, const std::string &victim) {
                                  ASSERT_EQ(symlink((victim + ".new").c_str(), pid.c_str()), 0);
                              },
                              ELOOP,
                              [](const std::string &, const std::string &victim) {
                                  EXPECT_FALSE(FileExists(victim + ".new"))
                                      << "created through the link";
                              }},
                      Planted{"fifo",
                              [](const std::string &pid, const std::string &) {
                                  ASSERT_EQ(mkfifo(pid.c_str(), 0644), 0);
                              },
                              EINVAL, nullptr},
                      Planted{"directory",
                              [](const std::string &pid, const std::string &) {
                                  ASSERT_EQ(mkdir(pid.c_str(), 0755), 0);
                              },
                              EISDIR, nullptr}),
    [](const auto &info) { return std::string(info.param.label); });

// Whoever opened an old PID file may hold its lock (it is readable by all):
// the holder of the instance lock writes a new file all the same, and the
// new one is locked by it alone.
TEST(WritePidFileHeld, AHolderOfTheOldFileDoesNotKeepIt) {
    TempRoot root;
    std::string pid = root.Under("/x.pid");
    WriteFile(pid, "4242");
    int holder = HoldLocked(pid);
    ASSERT_GE(holder, 0);
    int fd = CPidFile::write_pid_file(pid.c_str());
    ASSERT_GE(fd, 0) << strerror(errno);
    EXPECT_EQ(ReadFile(pid), OwnPid());
    struct stat st;
    ASSERT_EQ(stat(pid.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0644u) << "readable by all";
    int intruder = HoldLocked(pid);
    EXPECT_EQ(intruder, -1) << "the new file is held";
    if (intruder >= 0) close(intruder);
    close(fd);
    close(holder);
}

// The instance lock against what may lie at its path. A wider or foreign
// file may be open in another process already: it is replaced, not reused.
struct LockScene {
    const char *label;
    // Sets the scene; returns a descriptor to keep open meanwhile, or -1.
    std::function<int(const std::string &lock, const std::string &victim)> scene;
    int wantErrno;  // 0: taken
};

void PrintTo(const LockScene &c, std::ostream *os) {
    *os << c.label;
}

class InstanceLock : public ::testing::TestWithParam<LockScene> {};

TEST_P(InstanceLock, TakenOnlyOnARootOnlyFile) {
    const LockScene &c = GetParam();
    TempRoot root;
    std::string lock = root.Under("/x.lock"), victim = root.Under("/victim");
    WriteFile(victim, "precious");
    ASSERT_EQ(chmod(victim.c_str(), 0644), 0);
    int kept = c.scene(lock, victim);

    lock_holder_t holder;
    errno = 0;
    int fd = CPidFile::take_instance_lock(lock.c_str(), &holder);
    int err = errno;
    if (c.wantErrno == 0) {
        ASSERT_GE(fd, 0) << strerror(err);
        struct stat st;
        ASSERT_EQ(fstat(fd, &st), 0);
        EXPECT_EQ(st.st_mode & 07777, 0600u);
        EXPECT_EQ(st.st_uid, geteuid());
        int other = HoldLocked(lock);
        EXPECT_EQ(other, -1) << "the lock is held";
        if (other >= 0) close(other);
        EXPECT_EQ(fcntl(fd, F_GETFD) & FD_CLOEXEC, FD_CLOEXEC);
        close(fd);
    } else {
        EXPECT_EQ(fd, -1);
        EXPECT_EQ(err, c.wantErrno) << strerror(err);
    }
    if (c.wantErrno == EWOULDBLOCK) {
        // Held by this very process, and named so.
        EXPECT_EQ(holder.pid, getpid());
        EXPECT_NE(holder.exe.find("test_pidfile"), std::string::npos) << holder.exe;
        EXPECT_NE(CPidFile::describe(holder).find("pid " + OwnPid() + " ("), std::string::npos);
    }
    EXPECT_EQ(ReadFile(victim), "precious");
    struct stat st;
    ASSERT_EQ(stat(victim.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0644u);
    if (kept >= 0) close(kept);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, InstanceLock,
    ::testing::Values(LockScene{"nothing",
                                [](const std::string &, const std::string &) { return -1; }, 0},
                      LockScene{"left_by_a_former_run",
                                [](const std::string &lock, const std::string &) {
                                    WriteFile(lock, "");
                                    EXPECT_EQ(chmod(lock.c_str(), 0600), 0);
                                    return -1;
                                },
                                0},
                      LockScene{"readable_by_all_and_held_through_it",
                                [](const std::string &lock, const std::string &) {
                                    WriteFile(lock, "");
                                    EXPECT_EQ(chmod(lock.c_str(), 0644), 0);
                                    return HoldLocked(lock);
                                },
                                0},
                      LockScene{"hard_link_to_victim",
                                [](const std::string &lock, const std::string &victim) {
                                    EXPECT_EQ(link(victim.c_str(), lock.c_str()), 0);
                                    return -1;
                                },
                                0},
                      LockScene{"held",
                                [](const std::string &lock, const std::string &) {
                                    int fd = open(lock.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
                                    EXPECT_EQ(flock(fd, LOCK_EX | LOCK_NB), 0);
                                    return fd;
                                },
                                EWOULDBLOCK},
                      LockScene{"symlink_to_victim",
                                [](const std::string &lock, const std::string &victim) {
                                    EXPECT_EQ(symlink(victim.c_str(), lock.c_str()), 0);
                                    return -1;
                                },
                                ELOOP},
                      LockScene{"directory",
                                [](const std::string &lock, const std::string &) {
                                    EXPECT_EQ(mkdir(lock.c_str(), 0700), 0);
                                    return -1;
                                },
                                EISDIR}),
    [](const auto &info) { return std::string(info.param.label); });

// Removal: only while this process holds the file's lock.
struct Removal {
    const char *label;
    // Sets the scene; returns the descriptor to pass (ours, or -1).
    std::function<int(const std::string &pid, int &other)> scene;
    int want;
    bool stays;  // a file is still at the path afterwards
};

void PrintTo(const Removal &r, std::ostream *os) {
    *os << r.label;
}

class RemovePidFile : public ::testing::TestWithParam<Removal> {};

TEST_P(RemovePidFile, OnlyUnderItsLock) {
    const Removal &c = GetParam();
    TempRoot root;
    std::string pid = root.Under("/x.pid");
    int other = -1;
    int fd = c.scene(pid, other);
    EXPECT_EQ(CPidFile::remove_pid_file(pid.c_str(), fd), c.want);
    EXPECT_EQ(FileExists(pid), c.stays);
    if (fd >= 0) close(fd);
    if (other >= 0) close(other);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RemovePidFile,
    ::testing::Values(Removal{"ours",
                              [](const std::string &pid, int &) {
                                  return CPidFile::write_pid_file(pid.c_str());
                              },
                              0, false},
                      Removal{"ours_but_replaced",
                              [](const std::string &pid, int &other) {
                                  int fd = CPidFile::write_pid_file(pid.c_str());
                                  unlink(pid.c_str());
                                  other =
                                      CPidFile::write_pid_file(pid.c_str());  // a later instance's
                                  return fd;
                              },
                              1, true},
                      Removal{"stale",
                              [](const std::string &pid, int &) {
                                  WriteFile(pid, "4242");
                                  return -1;
                              },
                              0, false},
                      Removal{"held_by_another",
                              [](const std::string &pid, int &other) {
                                  other = CPidFile::write_pid_file(pid.c_str());
                                  return -1;
                              },
                              1, true},
                      Removal{"absent", [](const std::string &, int &) { return -1; }, 0, false},
                      Removal{"symlink",
                              [](const std::string &pid, int &) {
                                  WriteFile(pid + ".target", "4242");
                                  EXPECT_EQ(symlink((pid + ".target").c_str(), pid.c_str()), 0);
                                  return -1;
                              },
                              -1, true}),
    [](const auto &info) { return std::string(info.param.label); });

}  // namespace
