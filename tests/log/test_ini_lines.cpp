// What the INI reader records besides its sections, for callers that must
// not skip a line silently: headers and entries with their line numbers,
// and every line it read differently from a plain INI reading.
#include <gtest/gtest.h>

#include <string>

#include "log/ini_parser.h"
#include "support/temp_root.h"

namespace {

INIParser Read(const vk_test::TempRoot &root, const std::string &text) {
    std::string path = root.path() + "/t.ini";
    vk_test::WriteFile(path, text);
    INIParser ini;
    ini.SetPath(path);
    EXPECT_EQ(ini.ReadINI(), 0);
    return ini;
}

TEST(IniLines, HeadersAndEntriesKeepTheirLines) {
    vk_test::TempRoot root;
    INIParser ini = Read(root, "; c\n[one]\r\nk = v\n\n[Two]\nk=first\nK=second\n");
    ASSERT_EQ(ini.Headers().size(), 2u);
    EXPECT_EQ(ini.Headers()[0].section, "ONE");
    EXPECT_EQ(ini.Headers()[0].line, 2);
    EXPECT_EQ(ini.Headers()[1].section, "TWO");
    EXPECT_EQ(ini.Headers()[1].line, 5);
    ASSERT_EQ(ini.Entries().size(), 3u);
    EXPECT_EQ(ini.Entries()[0].line, 3);
    // The repeated key is recorded although the section keeps the first.
    EXPECT_EQ(ini.Entries()[2].key, "K");
    EXPECT_EQ(ini.Entries()[2].value, "second");
    EXPECT_EQ(ini.Entries()[2].line, 7);
    EXPECT_EQ(ini.GetValue("two", "k"), "first");
    EXPECT_TRUE(ini.Oddities().empty());
}

struct OddCase {
    const char *name;
    const char *text;
    int line;  // 0: no odd line
    const char *what;
};

const OddCase kOdd[] = {
    {"plain file", "[s]\nk=v\n# x\n;y\n\n", 0, nullptr},
    {"words only", "[s]\njust words\n", 2, "neither a section header, a key = value nor a comment"},
    {"key before any section", "k=v\n[s]\n", 1, "outside any section"},
    {"after an empty header", "[s]\n[]\nk=v\n", 2, "empty section name"},
    {"no value", "[s]\nk=\n", 2, "no value"},
    {"only spaces after =", "[s]\nk=   \n", 2, "no value"},
    {"equals alone", "[s]\n=\n", 2, "no value"},
    {"no key", "[s]\n=v\n", 2, "no key"},
    {"brackets in a value", "[s]\nk=[t]\n", 2,
     "brackets inside a line that is not a section header"},
    {"text after a header", "[s] x\n", 1, "brackets inside a line that is not a section header"},
    {"header with equals", "[a=b]\n", 1, "brackets inside a line that is not a section header"},
    {"tab before a hash", "[s]\n\t#k\n", 2,
     "neither a section header, a key = value nor a comment"},
};

TEST(IniLines, OddLines) {
    vk_test::TempRoot root;
    for (const OddCase &c : kOdd) {
        SCOPED_TRACE(c.name);
        INIParser ini = Read(root, c.text);
        if (c.line == 0) {
            EXPECT_TRUE(ini.Oddities().empty()) << ini.Oddities().front().what;
            continue;
        }
        ASSERT_FALSE(ini.Oddities().empty());
        EXPECT_EQ(ini.Oddities().front().line, c.line);
        EXPECT_STREQ(ini.Oddities().front().what, c.what);
    }
}

TEST(IniLines, AMissingFileKeepsWhatWasRead) {
    vk_test::TempRoot root;
    INIParser ini = Read(root, "[s]\nodd\n");
    ini.SetPath(root.path() + "/none.ini");
    EXPECT_EQ(ini.ReadINI(), -1);
    EXPECT_EQ(ini.Oddities().size(), 1u);
    EXPECT_EQ(ini.Headers().size(), 1u);
}

}  // namespace
