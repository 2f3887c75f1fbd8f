// The cut: once the counted size has passed the ceiling, the next line is
// written and the file is replaced by a copy of its newest half, that line
// included. A cut that cannot finish leaves the file whole, is said once,
// and stops the log at twice its ceiling.
#include <errno.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "log/mylog.h"
#include "support/temp_root.h"

using vk_test::FileExists;
using vk_test::ReadFile;
using vk_test::TempRoot;
using vk_test::WriteFile;

namespace {

const long long kSmallCeiling = 1048576;

long long SizeOf(const std::string &path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? static_cast<long long>(st.st_size) : -1;
}

// The newest line of `text` (with its '\n').
std::string LastLine(const std::string &text) {
    size_t start = text.rfind('\n', text.size() - 2);
    return start == std::string::npos ? text : text.substr(start + 1);
}

// A failed cut: the file is `before` and the newest line, whole, followed
// by the one line that says the cut failed.
::testing::AssertionResult FailedCut(const std::string &text, const std::string &before,
                                     const std::string &newest) {
    if (text.compare(0, before.size(), before) != 0)
        return ::testing::AssertionFailure() << "the old content changed";
    std::string rest = text.substr(before.size());
    size_t eol = rest.find('\n');
    if (eol == std::string::npos || rest.compare(eol - newest.size(), newest.size(), newest) != 0)
        return ::testing::AssertionFailure() << "no newest line: " << rest.substr(0, 300);
    std::string said = rest.substr(eol + 1);
    if (said.find("|ERROR|cannot cut the log ") == std::string::npos ||
        said.find('\n') != said.size() - 1)
        return ::testing::AssertionFailure() << "not one line about the cut: " << said;
    return ::testing::AssertionSuccess();
}

// Compares texts of megabytes: gtest's own message for two unequal strings
// is a line diff whose cost grows with the square of the line count.
::testing::AssertionResult SameText(const std::string &a, const std::string &b) {
    if (a == b) return ::testing::AssertionSuccess();
    size_t i = 0;
    while (i < a.size() && i < b.size() && a[i] == b[i]) ++i;
    return ::testing::AssertionFailure()
           << "sizes " << a.size() << " and " << b.size() << ", first difference at byte " << i;
}

// A log with the given ceiling (from its configuration file, or set by the
// program) on a file just below it: the next line passes the ceiling, the
// one after triggers the cut.
class CutFixture {
public:
    explicit CutFixture(long long ceiling, bool set_by_program = false) : ceiling_(ceiling) {
        if (set_by_program) {
            log_.SetMaxLogFilesize(ceiling);
        } else if (ceiling != MyLog::kDefaultCeiling) {
            WriteFile(root_.path() + "/log.conf",
                      "[LOG_CONF]\nMAXFILESIZE = " + std::to_string(ceiling) + "\n");
            log_.LoadConf(root_.path() + "/log.conf");
        }
        // Numbered lines, so that the kept part can be told from any other.
        std::string content;
        for (int i = 0; content.size() < static_cast<size_t>(ceiling - 200); ++i)
            content += "old line " + std::to_string(i) + "\n";
        content.resize(static_cast<size_t>(ceiling - 100));
        WriteFile(path_, content);
        // Already private: opening it adds no line about its mode.
        chmod(path_.c_str(), 0600);
    }

    // Opens the log and writes the line that passes the ceiling: true when
    // the file then holds everything, uncut.
    bool Fill() {
        if (!log_.Open(path_.c_str())) return false;
        log_.Write(INFO, "%s", std::string(200, 'b').c_str());
        before_ = ReadFile(path_);
        return static_cast<long long>(before_.size()) > ceiling_;
    }

    const std::string &path() const { return path_; }
    const std::string &root() const { return root_.path(); }
    MyLog &log() { return log_; }
    const std::string &before() const { return before_; }
    long long ceiling() const { return ceiling_; }

private:
    TempRoot root_;
    std::string path_ = root_.path() + "/cut.log";
    long long ceiling_;
    MyLog log_;
    std::string before_;
};

struct CeilingCase {
    long long ceiling;
    bool set_by_program;  // as the supervisor sets its own log's
};

class LogCutTest : public ::testing::TestWithParam<CeilingCase> {};

TEST_P(LogCutTest, KeepsExactlyTheNewestHalf) {
    CutFixture f(GetParam().ceiling, GetParam().set_by_program);
    ASSERT_EQ(f.log().Ceiling(), GetParam().ceiling);
    // A umask that would take the owner's write access from the copy.
    vk_test::ScopedUmask mask(0277);
    ASSERT_TRUE(f.Fill()) << "no cut before the counted size passed the ceiling";

    ASSERT_TRUE(f.log().Write(INFO, "newest line"));
    const long long keep = GetParam().ceiling / 2;
    std::string text = ReadFile(f.path());
    ASSERT_EQ(static_cast<long long>(text.size()), keep);
    std::string last = LastLine(text);
    EXPECT_EQ(last.substr(last.size() - strlen("INFO|newest line\n")), "INFO|newest line\n");
    std::string whole = f.before() + last;
    EXPECT_TRUE(SameText(text, whole.substr(whole.size() - static_cast<size_t>(keep))));

    struct stat st;
    ASSERT_EQ(stat(f.path().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u) << "the copy keeps the log's mode, whatever the umask";
    EXPECT_FALSE(FileExists(f.path() + ".cut"));

    // The log now writes into the new file, and counts from its size.
    ASSERT_TRUE(f.log().Write(INFO, "after"));
    EXPECT_TRUE(SameText(ReadFile(f.path()), text + LastLine(ReadFile(f.path()))));
    EXPECT_GT(SizeOf(f.path()), keep);
    EXPECT_LT(SizeOf(f.path()), keep + 200);
}

INSTANTIATE_TEST_SUITE_P(Ceilings, LogCutTest,
                         ::testing::Values(CeilingCase{MyLog::kDefaultCeiling, false},
                                           CeilingCase{2 * kSmallCeiling, false},
                                           CeilingCase{kSmallCeiling, false},
                                           CeilingCase{kSmallCeiling, true}),
                         [](const auto &info) {
                             return std::to_string(info.param.ceiling) +
                                    (info.param.set_by_program ? "_SetByProgram" : "");
                         });

// The program may set a ceiling only within the range the configuration
// file allows; outside it the ceiling stays.
TEST(LogCeiling, SetByProgramWithinTheRange) {
    struct Case {
        long long size;
        bool taken;
    };
    for (const Case &c :
         {Case{MyLog::kMinConfiguredCeiling, true}, Case{MyLog::kMaxConfiguredCeiling, true},
          Case{MyLog::kMinConfiguredCeiling - 1, false},
          Case{MyLog::kMaxConfiguredCeiling + 1, false}, Case{0, false}, Case{-1, false}}) {
        SCOPED_TRACE(c.size);
        MyLog log;
        const long long before = log.Ceiling();
        EXPECT_EQ(c.taken, log.SetMaxLogFilesize(c.size));
        EXPECT_EQ(c.taken ? c.size : before, log.Ceiling());
    }
}

// Whatever occupies the temporary's name beside the log.
struct TempNameCase {
    const char *name;
    void (*occupy)(const std::string &tmp, const std::string &victim);
    bool cut;  // whether the cut can happen
};

void PrintTo(const TempNameCase &c, std::ostream *os) {
    *os << c.name;
}

class LogCutTempNameTest : public ::testing::TestWithParam<TempNameCase> {};

TEST_P(LogCutTempNameTest, CutsOrLeavesTheLogWhole) {
    CutFixture f(kSmallCeiling);
    const std::string tmp = f.path() + ".cut";
    const std::string victim = f.root() + "/victim";
    WriteFile(victim, "precious\n");
    GetParam().occupy(tmp, victim);
    ASSERT_TRUE(f.Fill());

    ASSERT_TRUE(f.log().Write(INFO, "newest line"));
    std::string text = ReadFile(f.path());
    EXPECT_EQ(ReadFile(victim), "precious\n");
    if (GetParam().cut) {
        EXPECT_EQ(static_cast<long long>(text.size()), kSmallCeiling / 2);
        EXPECT_FALSE(FileExists(tmp));
        return;
    }
    EXPECT_TRUE(FailedCut(text, f.before(), "newest line"));
    EXPECT_NE(text.find(tmp + " is not a regular file"), std::string::npos);
    struct stat st;
    ASSERT_EQ(lstat(tmp.c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));

    // The next line tries again, once the way is clear.
    ASSERT_EQ(rmdir(tmp.c_str()), 0);
    ASSERT_TRUE(f.log().Write(INFO, "retry"));
    EXPECT_EQ(SizeOf(f.path()), kSmallCeiling / 2);
}

INSTANTIATE_TEST_SUITE_P(
    Occupants, LogCutTempNameTest,
    ::testing::Values(TempNameCase{"Free", [](const std::string &, const std::string &) {}, true},
                      TempNameCase{"LeftoverFile",
                                   [](const std::string &tmp, const std::string &) {
                                       WriteFile(tmp, "stale");
                                   },
                                   true},
                      TempNameCase{"LinkToVictim",
                                   [](const std::string &tmp, const std::string &victim) {
                                       ASSERT_EQ(symlink(victim.c_str(), tmp.c_str()), 0);
                                   },
                                   true},
                      TempNameCase{"Directory",
                                   [](const std::string &tmp, const std::string &) {
                                       ASSERT_EQ(mkdir(tmp.c_str(), 0755), 0);
                                   },
                                   false}),
    [](const auto &info) { return std::string(info.param.name); });

// The directory turns read-only under the open log: the line still goes
// in, the cut cannot, and the file is not emptied.
TEST(LogCutMount, ReadOnlyDirectoryLeavesTheLogWhole) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root: bind-mounts the log's directory read-only";
    CutFixture f(kSmallCeiling);
    ASSERT_TRUE(f.Fill());
    // A private mount namespace: nothing of this is seen outside the process.
    if (unshare(CLONE_NEWNS) != 0 || mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
        GTEST_SKIP() << "needs root with mount rights: " << strerror(errno);
    const char *dir = f.root().c_str();
    ASSERT_EQ(mount(dir, dir, nullptr, MS_BIND, nullptr), 0) << strerror(errno);
    struct Unmount {
        const char *dir;
        ~Unmount() { umount2(dir, MNT_DETACH); }
    } unmount{dir};
    ASSERT_EQ(mount(nullptr, dir, nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr), 0)
        << strerror(errno);

    ASSERT_TRUE(f.log().Write(INFO, "newest line"));
    EXPECT_TRUE(FailedCut(ReadFile(f.path()), f.before(), "newest line"));
}

// A cut that keeps failing (a directory at the temporary's name) stops the
// log at twice its ceiling: the lines past that are dropped, the failure
// is said once, and the first cut that succeeds says how many were lost.
TEST(LogCutFailing, StopsAtTwiceTheCeiling) {
    CutFixture f(kSmallCeiling);
    const std::string tmp = f.path() + ".cut";
    ASSERT_EQ(mkdir(tmp.c_str(), 0755), 0);
    ASSERT_TRUE(f.Fill());
    const std::string filler(1000, 'x');
    const int lines = static_cast<int>(3 * kSmallCeiling / 1000);  // three ceilings' worth
    int written = 0;
    for (int i = 0; i < lines; ++i) written += f.log().Write(INFO, "%s", filler.c_str()) ? 1 : 0;

    EXPECT_LE(SizeOf(f.path()), 2 * kSmallCeiling);
    EXPECT_GT(SizeOf(f.path()), 2 * kSmallCeiling - 2000) << "it stopped well before the limit";
    EXPECT_LT(written, lines);
    std::string text = ReadFile(f.path());
    EXPECT_EQ(vk_test::Occurrences(text, "cannot cut the log "), 1u);

    ASSERT_EQ(rmdir(tmp.c_str()), 0);
    ASSERT_TRUE(f.log().Write(INFO, "cut again"));
    EXPECT_LE(SizeOf(f.path()), kSmallCeiling / 2 + 4096);
    text = ReadFile(f.path());
    EXPECT_NE(text.find("|INFO|cut again\n"), std::string::npos);
    const std::string dropped = "lines were dropped while it could not be";
    size_t at = text.find(dropped);
    ASSERT_NE(at, std::string::npos) << LastLine(text);
    size_t digits = text.rfind("; ", at) + 2;
    EXPECT_EQ(std::stoll(text.substr(digits)), lines - written);
}

}  // namespace
