// The journal copy of the log: recognising the journal's stream on standard
// error, the priority prefix per level, and the real daemon writing each
// line of its file log to standard error when (and only when) that is the
// journal.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "base/utils.h"
#include "client/korvane_client.h"
#include "log/journal.h"
#include "log/mylog.h"
#include "support/as_user.h"
#include "support/daemon_process.h"
#include "support/temp_root.h"

using vk_test::DaemonProcess;
using vk_test::ReadFile;
using vk_test::TempRoot;
using vk_test::WriteFile;

namespace {

// "<dev>:<inode>" of a file, as systemd puts it in JOURNAL_STREAM.
std::string StreamOf(const std::string &path) {
    struct stat st;
    if (stat(path.c_str(), &st) != 0) return "";
    return std::to_string(static_cast<unsigned long long>(st.st_dev)) + ":" +
           std::to_string(static_cast<unsigned long long>(st.st_ino));
}

// A datagram socket bound at `path` in place of the journal's native
// socket: what the daemon sends there, one entry per datagram.
class FakeJournal {
public:
    explicit FakeJournal(const std::string &path) {
        Utils::make_parent_dirs(path);
        m_fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        struct sockaddr_un addr = {};
        addr.sun_family = AF_UNIX;
        snprintf(addr.sun_path, sizeof(addr.sun_path), "%s", path.c_str());
        m_bound = bind(m_fd, reinterpret_cast<struct sockaddr *>(&addr), sizeof(addr)) == 0;
    }
    ~FakeJournal() { close(m_fd); }
    bool bound() const { return m_bound; }
    // Every entry received so far.
    std::vector<std::string> Entries() {
        char buf[65536];
        ssize_t n;
        while ((n = recv(m_fd, buf, sizeof(buf), 0)) > 0) m_got.emplace_back(buf, n);
        return m_got;
    }

private:
    int m_fd = -1;
    bool m_bound = false;
    std::vector<std::string> m_got;
};

std::string Entry(int priority, const std::string &message) {
    return "PRIORITY=" + std::to_string(priority) +
           "\nSYSLOG_IDENTIFIER=veskkorvaned\nMESSAGE=" + message + "\n";
}

class ScopedJournalEnv {
public:
    explicit ScopedJournalEnv(const std::string *value) {
        if (value)
            setenv("JOURNAL_STREAM", value->c_str(), 1);
        else
            unsetenv("JOURNAL_STREAM");
    }
    ~ScopedJournalEnv() { unsetenv("JOURNAL_STREAM"); }
};

// Descriptor 2 of this process pointed at `path` for the object's lifetime.
class ScopedStderr {
public:
    explicit ScopedStderr(const std::string &path) {
        fflush(stderr);
        m_saved = dup(2);
        int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
        if (fd >= 0) {
            dup2(fd, 2);
            close(fd);
        }
    }
    ~ScopedStderr() {
        fflush(stderr);
        dup2(m_saved, 2);
        close(m_saved);
    }

private:
    int m_saved = -1;
};

struct LevelCase {
    _LogLevel level;
    const char *name;  // as in the file log
    const char *prefix;
};

const LevelCase kLevels[] = {
    {ERROR, "ERROR", "<3>"},
    {INFO, "INFO", "<6>"},
    {DEBUG, "DEBUG", "<7>"},
};

TEST(JournalStream, MatchesOnlyTheFileOnTheDescriptor) {
    TempRoot root;
    std::string mine = root.path() + "/stderr", other = root.path() + "/other";
    WriteFile(mine, "");
    WriteFile(other, "");
    int fd = open(mine.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    struct stat st;
    ASSERT_EQ(fstat(fd, &st), 0);
    const std::string dev = std::to_string(static_cast<unsigned long long>(st.st_dev));
    const std::string ino = std::to_string(static_cast<unsigned long long>(st.st_ino));
    const std::string self = dev + ":" + ino, otherStream = StreamOf(other);
    const std::string wrongDev = std::to_string(st.st_dev + 1) + ":" + ino;
    const std::string trailing = self + "x", spaced = " " + self, signedDev = "+" + self;
    const std::string noInode = dev + ":", noDev = ":" + ino;
    struct {
        const char *stream;
        bool matches;
    } cases[] = {
        {self.c_str(), true},
        {otherStream.c_str(), false},
        {wrongDev.c_str(), false},
        {nullptr, false},
        {"", false},
        {dev.c_str(), false},  // no inode
        {noInode.c_str(), false},
        {noDev.c_str(), false},
        {trailing.c_str(), false},
        {spaced.c_str(), false},
        {signedDev.c_str(), false},
        {"x:y", false},
    };
    for (const auto &c : cases)
        EXPECT_EQ(journal_stream_matches(c.stream, fd), c.matches)
            << (c.stream ? c.stream : "(unset)");
    EXPECT_FALSE(journal_stream_matches(self.c_str(), -1));
    close(fd);
}

TEST(JournalWrite, PriorityPrefixThenTheLine) {
    TempRoot root;
    for (const LevelCase &c : kLevels) {
        std::string path = root.path() + "/" + c.name;
        int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
        ASSERT_GE(fd, 0);
        EXPECT_TRUE(journal_write(fd, c.level, "msg\n", 4)) << c.name;
        close(fd);
        EXPECT_EQ(ReadFile(path), std::string(c.prefix) + "msg\n") << c.name;
    }
}

TEST(JournalSend, OneEntryPerMessageNeverWaiting) {
    TempRoot root;
    FakeJournal journal(root.path() + "/journal.socket");
    ASSERT_TRUE(journal.bound());
    int fd = journal_socket();
    ASSERT_GE(fd, 0);
    const std::string path = root.path() + "/journal.socket";
    EXPECT_TRUE(journal_send(fd, path.c_str(), ERROR, "refused\\n here", 14));
    EXPECT_TRUE(journal_send(fd, path.c_str(), WARNING, "suppressed", 10));
    EXPECT_EQ(journal.Entries(),
              (std::vector<std::string>{Entry(3, "refused\\n here"), Entry(4, "suppressed")}));
    // No journal there, or a name too long for a socket: nothing, at once.
    EXPECT_FALSE(journal_send(fd, (root.path() + "/none").c_str(), ERROR, "x", 1));
    EXPECT_FALSE(
        journal_send(fd, (root.path() + "/" + std::string(200, 'n')).c_str(), ERROR, "x", 1));
    close(fd);
}

// A log of this process with descriptor 2 on a file named in JOURNAL_STREAM:
// the copy carries the escaped message under its priority, nothing else.
TEST(JournalLog, EscapedMessageUnderItsPriority) {
    TempRoot root;
    std::string err = root.path() + "/stderr", path = root.path() + "/var/log/test.log";
    WriteFile(err, "");
    std::string stream = StreamOf(err);
    ScopedJournalEnv env(&stream);
    std::string copy;
    {
        ScopedStderr redirect(err);
        MyLog log;
        log.SetLogLevel(DEBUG);
        ASSERT_TRUE(log.Open(path.c_str()));
        for (const LevelCase &c : kLevels) log.Write(c.level, "%s line\n\x01 end", c.name);
        copy = ReadFile(err);
    }
    std::string expect;
    for (const LevelCase &c : kLevels)
        expect += std::string(c.prefix) + c.name + " line\\n\\x01 end\n";
    EXPECT_EQ(copy, expect);
    // The file log keeps its own form.
    std::string file = ReadFile(path);
    EXPECT_NE(file.find("|ERROR|ERROR line\\n\\x01 end\n"), std::string::npos) << file;
    EXPECT_EQ(file.find('<'), std::string::npos) << file;
}

// The daemon under a wrapper shell that gives it `err` as standard error.
std::vector<std::string> StderrTo(const std::string &err) {
    return {"sh", "-c", "f=$1; shift; exec \"$@\" 2>>\"$f\"", "sh", err};
}

// The journal copy the file log `log` calls for: each line's message under
// the priority of its level.
std::string ExpectedCopy(const std::string &log) {
    std::string out;
    size_t start = 0;
    while (start < log.size()) {
        size_t end = log.find('\n', start);
        if (end == std::string::npos) end = log.size();
        std::string line = log.substr(start, end - start);
        start = end + 1;
        // time|pid|tid|LEVEL|message
        size_t bar = 0;
        for (int i = 0; i < 3 && bar != std::string::npos; ++i) bar = line.find('|', bar + 1);
        if (bar == std::string::npos) continue;
        size_t levelEnd = line.find('|', bar + 1);
        std::string level = line.substr(bar + 1, levelEnd - bar - 1);
        for (const LevelCase &c : kLevels)
            if (level == c.name) out += c.prefix + line.substr(levelEnd + 1) + "\n";
    }
    return out;
}

// The level names whose prefix starts a line of `copy`.
std::string Levels(const std::string &copy) {
    std::string seen, lines = "\n" + copy;
    for (const LevelCase &c : kLevels)
        if (lines.find("\n" + std::string(c.prefix)) != std::string::npos)
            seen += c.name + std::string(" ");
    return seen;
}

// A normal run with DEBUG switched on and one request served: INFO and
// DEBUG lines, the latter ending in the reply's escaped line feed.
TEST(DaemonJournal, EveryLineOfTheFileLogUnderItsPriority) {
    TempRoot root;
    std::string err = root.path() + "/stderr";
    WriteFile(err, "");
    std::string stream = StreamOf(err);
    ScopedJournalEnv env(&stream);
    DaemonProcess d(root.path(), {"--foreground"}, VK_DAEMON_PATH, 0, StderrTo(err));
    ASSERT_TRUE(d.WaitListening());
    ASSERT_TRUE(d.Signal(SIGUSR1));
    ASSERT_TRUE(vk_test::WaitFor([&] {
        korvane::Client c = vk_test::TryOutClient();
        if (!c.Connect("@" + root.path() + "/tmp/.zelluskkorvanefui")) return false;
        if (!c.SendRequest("u", 1, 1004)) return false;
        c.ReadMessage(2000);
        return d.Log().find("|DEBUG|") != std::string::npos;
    }));
    ASSERT_EQ(d.Stop(), 0);
    std::string log = d.Log(), copy = ReadFile(err);
    EXPECT_EQ(copy, ExpectedCopy(log)) << log;
    EXPECT_EQ(Levels(copy), "INFO DEBUG ");
}

// A start that fails on a wrong access policy: its ERROR line goes to the
// journal too, beside the message on standard error it always had.
TEST(DaemonJournal, ErrorOfAFailedStart) {
    TempRoot root;
    std::string err = root.path() + "/stderr";
    WriteFile(err, "");
    std::string policy = root.Under("/etc/korvane/access.conf");
    ASSERT_TRUE(Utils::make_parent_dirs(policy));
    WriteFile(policy, "not a policy line\n");
    std::string stream = StreamOf(err);
    ScopedJournalEnv env(&stream);
    DaemonProcess d(root.path(), {"--foreground"}, VK_DAEMON_PATH, 0, StderrTo(err));
    int status = -1;
    ASSERT_TRUE(d.WaitExit(&status));
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 78);
    std::string copy = ReadFile(err), log = d.Log();
    std::string expected = ExpectedCopy(log);
    size_t bad = copy.find("veskkorvaned: bad access policy: ");
    ASSERT_NE(bad, std::string::npos) << copy;
    size_t badEnd = copy.find('\n', bad);
    EXPECT_EQ(copy.substr(0, bad) + copy.substr(badEnd + 1), expected);
    EXPECT_NE(copy.find("<3>access policy: "), std::string::npos) << copy;
    EXPECT_EQ(Levels(copy), "ERROR INFO ");
}

// The evidence of a flood (the count of suppressed lines, a refused
// request) reaches the journal's native socket when standard error is not
// the journal, and only those lines; with the journal on standard error
// they go there, once, with everything else.
TEST(DaemonJournal, EvidenceOfAFloodReachesTheJournal) {
    const bool root_user = geteuid() == 0;
    for (bool stream : {false, true}) {
        SCOPED_TRACE(stream ? "journal on standard error" : "journal socket");
        TempRoot root;
        FakeJournal journal(root.Under("/run/systemd/journal/socket"));
        ASSERT_TRUE(journal.bound());
        std::string err = root.path() + "/stderr";
        WriteFile(err, "");
        const std::string id = StreamOf(err);
        ScopedJournalEnv env(stream ? &id : nullptr);
        DaemonProcess d(root.path(), {"--foreground"}, VK_DAEMON_PATH, 0, StderrTo(err));
        ASSERT_TRUE(d.WaitListening());
        const std::string sec = "@" + root.path() + "/tmp/.zelluskkorvane";
        {
            // More bad lines than even root may have logged.
            korvane::Client c = vk_test::TryOutClient();
            ASSERT_TRUE(c.Connect(sec));
            std::string burst;
            for (unsigned i = 0; i < 150; ++i) burst += "====\n";
            ASSERT_TRUE(c.SendRaw(burst));
            ASSERT_TRUE(c.SendRequest("sync", 1, 1004));
            ASSERT_TRUE(c.ReadMessage(10000).has_value());
        }
        std::string refusal;
        if (root_user) {
            auto got = vk_test::RunAs(vk_test::kNobodyIdentity, [&] {
                korvane::Client c = vk_test::TryOutClient();
                if (!c.Connect(sec) || !c.SendRequest("evidence", 1, 2001)) return std::string();
                auto m = c.ReadMessage(10000);
                return m ? std::to_string(m->result) : std::string();
            });
            ASSERT_EQ(got, std::optional<std::string>("403"));
            ASSERT_TRUE(d.WaitLog("|ERROR|refuse request type: 2001,uuid: evidence,"));
            std::string log = d.Log();
            size_t at = log.find("refuse request type: 2001,uuid: evidence,");
            refusal = log.substr(at, log.find('\n', at) - at);
        }
        ASSERT_TRUE(d.WaitLog("|WARNING|suppressed ")) << d.Log();
        std::string log = d.Log();
        size_t at = log.find("suppressed ");
        const std::string summary = log.substr(at, log.find('\n', at) - at);
        // Both gone to the file log whole.
        std::vector<std::string> expected;
        if (root_user) expected.push_back(Entry(3, refusal));
        expected.push_back(Entry(4, summary));
        if (!stream) {
            EXPECT_TRUE(
                vk_test::WaitFor([&] { return journal.Entries().size() >= expected.size(); }));
            EXPECT_EQ(journal.Entries(), expected);
            EXPECT_EQ(ReadFile(err), "");
        } else {
            EXPECT_TRUE(journal.Entries().empty()) << "not sent twice";
            std::string copy = ReadFile(err);
            EXPECT_NE(copy.find("<4>" + summary + "\n"), std::string::npos) << copy;
            if (root_user) {
                EXPECT_NE(copy.find("<3>" + refusal + "\n"), std::string::npos) << copy;
            }
        }
        ASSERT_EQ(d.Stop(), 0);
    }
}

// Without the journal on standard error the daemon writes nothing there.
TEST(DaemonJournal, NothingWhenStandardErrorIsNotTheJournal) {
    TempRoot root;
    std::string err = root.path() + "/stderr", other = root.path() + "/other";
    WriteFile(err, "");
    WriteFile(other, "");
    const std::string otherFile = StreamOf(other), garbage = "journal";
    struct {
        const char *label;
        const std::string *stream;
    } cases[] = {{"unset", nullptr}, {"another file", &otherFile}, {"not dev:inode", &garbage}};
    for (const auto &c : cases) {
        ScopedJournalEnv env(c.stream);
        DaemonProcess d(root.path(), {"--foreground"}, VK_DAEMON_PATH, 0, StderrTo(err));
        ASSERT_TRUE(d.WaitListening()) << c.label;
        EXPECT_EQ(d.Stop(), 0) << c.label;
        EXPECT_NE(d.Log().find("|INFO|veskkorvaned exit!"), std::string::npos) << c.label;
        EXPECT_EQ(ReadFile(err), "") << c.label;
    }
}

}  // namespace
