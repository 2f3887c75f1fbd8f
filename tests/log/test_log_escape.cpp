// Every message is one line: control bytes are escaped, whatever a peer
// put into the text; everything else is written as it is.
#include <gtest/gtest.h>
#include <stdarg.h>

#include <string>

#include "client/korvane_client.h"
#include "log/log_escape.h"
#include "log/mylog.h"
#include "support/daemon_process.h"
#include "support/temp_root.h"

using vk_test::Occurrences;
using vk_test::ReadFile;
using vk_test::TempRoot;

namespace {

struct EscapeCase {
    const char *name;
    const char *message;
    const char *logged;
};

// The message as the log shows it after its line's "|INFO|".
__attribute__((format(printf, 3, 4))) std::string Logged(MyLog &log, const std::string &path,
                                                         const char *format, ...) {
    size_t from = ReadFile(path).size();
    va_list ap;
    va_start(ap, format);
    bool ok = log.VWrite(INFO, format, ap);
    va_end(ap);
    std::string line = ReadFile(path).substr(from);
    size_t at = line.find("|INFO|");
    if (!ok || at == std::string::npos || Occurrences(line, "\n") != 1)
        return "not one line: " + line;
    return line.substr(at + 6);
}

TEST(LogEscape, ControlBytesAreEscapedAndNothingElse) {
    const EscapeCase cases[] = {
        {"plain", "init log successfully", "init log successfully"},
        {"line feed", "a\nb", "a\\nb"},
        {"carriage return and tab", "\r\t", "\\r\\t"},
        {"terminal escape", "\x1b[31mred", "\\x1b[31mred"},
        {"other controls", "\x01\x1f\x7f", "\\x01\\x1f\\x7f"},
        {"UTF-8", "Ambrel终端安全管理系统", "Ambrel终端安全管理系统"},
        {"high bytes", "\xff\x80\xc2\x85", "\xff\x80\xc2\x85"},
        {"backslash", "a\\nb \\x00", "a\\nb \\x00"},
        {"JSON as cJSON prints it", "{\n\t\"name\":\t\"x\"\n}", "{\\n\\t\"name\":\\t\"x\"\\n}"},
    };
    TempRoot root;
    std::string path = root.path() + "/escape.log";
    MyLog log;
    ASSERT_TRUE(log.Open(path.c_str()));
    for (const EscapeCase &c : cases)
        EXPECT_EQ(Logged(log, path, "%s", c.message), std::string(c.logged) + "\n") << c.name;
    // A NUL inside the formatted message neither ends it nor the line.
    EXPECT_EQ(Logged(log, path, "nul%cend", '\0'), "nul\\x00end\n");
}

// Plain text is skipped eight bytes at a time: every byte value, at every
// position of a word and in the tail, is escaped exactly when it is a
// control byte.
TEST(LogEscape, EveryByteAtEveryPosition) {
    auto expected = [](unsigned char c) -> std::string {
        if (c == '\n') return "\\n";
        if (c == '\r') return "\\r";
        if (c == '\t') return "\\t";
        if (c < 0x20 || c == 0x7f) {
            char hex[8];
            snprintf(hex, sizeof(hex), "\\x%02x", c);
            return hex;
        }
        return std::string(1, static_cast<char>(c));
    };
    for (int value = 0; value < 256; ++value) {
        for (size_t at = 0; at < 21; ++at) {
            std::string text(21, 'a');
            text[at] = static_cast<char>(value);
            const std::string want = text.substr(0, at) +
                                     expected(static_cast<unsigned char>(value)) +
                                     text.substr(at + 1);
            ASSERT_EQ(log_escaped_length(text.data(), text.size()), want.size())
                << value << " at " << at;
            std::string out(want.size(), '?');
            log_escape(text.data(), text.size(), &out[0]);
            ASSERT_EQ(out, want) << value << " at " << at;
        }
    }
}

// A product registers with a name that carries a whole log line of its own.
// The daemon logs the name inside its own line, escaped; no line of the log
// starts with the forged time stamp.
TEST(LogEscape, PeerCannotForgeALine) {
    const std::string forged = "2026-01-01 00:00:00|1    |1    |INFO|FORGED: root logged in";
    TempRoot root;
    vk_test::DaemonProcess d(root.path());
    ASSERT_TRUE(d.WaitListening());
    korvane::Client c = vk_test::TryOutClient();
    ASSERT_TRUE(c.Connect("@" + root.path() + "/tmp/.zelluskkorvane")) << c.error();
    ASSERT_TRUE(
        c.SendRequest("forger-0001", 1, 2000, R"({"name":"x\n)" + forged + R"(","exec":"/bin/x"})"))
        << c.error();
    auto reply = c.ReadMessage(5000);
    ASSERT_TRUE(reply.has_value()) << c.error();
    EXPECT_EQ(reply->result, 0);

    std::string expected = "|INFO|new sec-soft x\\n" + forged + ",uuid: forger-0001 registered";
    ASSERT_TRUE(d.WaitLog(expected)) << d.Log();
    std::string log = d.Log();
    EXPECT_EQ(log.find("\n2026-01-01 00:00:00|"), std::string::npos) << log;
    EXPECT_NE(log.rfind("2026-01-01", 0), 0u) << log;
}

}  // namespace
