#include <gtest/gtest.h>

#include <string>

#include "log/ini_parser.h"
#include "support/temp_root.h"

namespace {

struct IniCase {
    const char *name;
    const char *text;
    const char *section;
    const char *key;
    const char *expect;  // "" means absent
};

class IniReadTest : public ::testing::TestWithParam<IniCase> {};

TEST_P(IniReadTest, Lookup) {
    vk_test::TempRoot root;
    std::string path = root.path() + "/t.ini";
    vk_test::WriteFile(path, GetParam().text);
    INIParser ini;
    ini.SetPath(path);
    ASSERT_EQ(ini.ReadINI(), 0);
    EXPECT_EQ(ini.GetValue(GetParam().section, GetParam().key), GetParam().expect);
}

const IniCase kCases[] = {
    {"SpacesAroundEquals", "[log_conf]\nKEY = value\n", "LOG_CONF", "key", "value"},
    {"CrLfLineEnds", "[s]\r\nk=v\r\nk2 = w \r\n", "S", "K2", "w"},
    {"EmptyValueGivesNoEntry", "[s]\nk=\n", "s", "k", ""},
    {"EmptyKeyGivesNoEntry", "[s]\n=v\n", "s", "", ""},
    {"FurtherEqualsBelongToValue", "[s]\na=b=c\n", "s", "A", "b=c"},
    {"FirstDuplicateKeyWins", "[s]\nk=first\nK=second\n", "s", "k", "first"},
    {"SameSectionTwiceMerges", "[s]\na=1\n[S]\nb=2\na=3\n", "s", "b", "2"},
    {"EarlierSectionValueWins", "[s]\na=1\n[S]\nb=2\na=3\n", "s", "a", "1"},
    {"TabHashIsNotAComment", "[s]\n\t#k=v\n", "s", "\t#K", "v"},
    {"SemicolonComment", "[s]\n;k=v\n", "s", "k", ""},
    {"HashComment", "[s]\n# k=v\n", "s", "# k", ""},
    {"TrailingRemarkBelongsToValue", "[s]\nk=v ; note\n", "s", "k", "v ; note"},
    {"LinesBeforeFirstHeaderIgnored", "k=v\n[s]\n", "s", "k", ""},
    {"EmptyHeaderIgnoresFollowing", "[s]\n[]\nk=v\n", "s", "k", ""},
    {"BracketInValueChangesSection", "[s]\nk=[t]\nj=w\n", "t", "j", "w"},
    {"ReversedBracketsKeepSection", "[s]\nk]x[=v\n", "s", "K]X[", "v"},
    {"LastLineWithoutNewline", "[s]\nk=v", "s", "k", "v"},
    {"ValueKeepsCase", "[s]\nk=MiXeD\n", "S", "K", "MiXeD"},
    {"LeadingTabNotTrimmed", "[s]\nk=\tv\n", "s", "k", "\tv"},
    {"MissingSection", "[s]\nk=v\n", "other", "k", ""},
};

INSTANTIATE_TEST_SUITE_P(Cases, IniReadTest, ::testing::ValuesIn(kCases),
                         [](const auto &info) { return std::string(info.param.name); });

TEST(IniParser, MissingFileReadsNothing) {
    INIParser ini;
    ini.SetPath("/nonexistent/dir/file.ini");
    EXPECT_EQ(ini.ReadINI(), -1);
    EXPECT_EQ(ini.GetValue("LOG_CONF", "LOGLEVEL"), "");
}

TEST(IniParser, WriteRoundTripsInSectionOrderWithSortedKeys) {
    vk_test::TempRoot root;
    std::string path = root.path() + "/w.ini";
    INIParser ini;
    ini.SetPath(path);
    ini.SetValue("zeta", "b", "2", false);
    ini.SetValue("alpha", "x", "1", false);
    ini.SetValue("zeta", "A", "1", true);
    EXPECT_EQ(vk_test::ReadFile(path), "[ZETA]\nA=1\nB=2\n[ALPHA]\nX=1\n");

    EXPECT_TRUE(ini.DeleteValue("Zeta", "b", false));
    EXPECT_FALSE(ini.DeleteValue("zeta", "b", false));
    EXPECT_TRUE(ini.DeleteSection("alpha", true));
    EXPECT_EQ(vk_test::ReadFile(path), "[ZETA]\nA=1\n");
}

}  // namespace
