// Reading the access policy file: what each key sets, and every way a file
// can be wrong, each refused with its line and never read as a more open
// policy.
#include <gtest/gtest.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "access/access_config.h"
#include "support/temp_root.h"

namespace {

struct Loaded {
    int rc;
    access_policy_t policy;
    std::string error;
};

Loaded Load(const std::string &path) {
    Loaded l;
    l.rc = access_policy_load(path, l.policy, l.error);
    return l;
}

Loaded LoadText(const vk_test::TempRoot &root, const std::string &text) {
    std::string path = root.path() + "/access.conf";
    vk_test::WriteFile(path, text);
    chmod(path.c_str(), 0644);
    return Load(path);
}

TEST(AccessConfig, KeysAndTheirValues) {
    vk_test::TempRoot root;
    std::string real = root.path() + "/avd";
    vk_test::WriteFile(real, "");
    std::string link = root.path() + "/avd-link";
    ASSERT_EQ(symlink(real.c_str(), link.c_str()), 0);

    Loaded l = LoadText(root,
                        "; a comment\n"
                        "# another\n"
                        "\n"
                        "[Access]\n"
                        "MODE = enforce\n"
                        "[products]\n"
                        "users = root 4242,nobody\n"
                        "groups = nogroup\t27\n"
                        "executables = " +
                            link +
                            " /opt/not/installed\n"
                            "[frontui]\n"
                            "users = 1000\r\n"
                            "[Default-Product]\n"
                            "users = 4545\n"
                            "executables = /usr/sbin/ambrel-setup\n"
                            "[limits]\n"
                            "connections_per_uid = 16\n");
    ASSERT_EQ(l.rc, 0) << l.error;
    EXPECT_FALSE(l.policy.open);
    EXPECT_EQ(l.policy.owner_uid, geteuid());
    EXPECT_EQ(l.policy.products.users, (std::vector<uid_t>{0, 4242, 65534}));
    EXPECT_EQ(l.policy.products.groups, (std::vector<gid_t>{65534, 27}));
    // A link is listed as the program the kernel will name.
    EXPECT_EQ(l.policy.products.executables,
              (std::vector<std::string>{real, "/opt/not/installed"}));
    EXPECT_EQ(l.policy.frontui.users, (std::vector<uid_t>{1000}));
    EXPECT_TRUE(l.policy.frontui.groups.empty());
    EXPECT_EQ(l.policy.default_product.users, (std::vector<uid_t>{4545}));
    EXPECT_EQ(l.policy.default_product.executables,
              (std::vector<std::string>{"/usr/sbin/ambrel-setup"}));
    // Listed for the default product is not listed as a product.
    EXPECT_EQ(l.policy.products.users, (std::vector<uid_t>{0, 4242, 65534}));
    EXPECT_EQ(l.policy.connections_per_uid, 16);
}

TEST(AccessConfig, AbsentFileIsTheDefault) {
    vk_test::TempRoot root;
    for (const std::string &path :
         {root.path() + "/none.conf", root.path() + "/missing-dir/access.conf"}) {
        Loaded l = Load(path);
        EXPECT_EQ(l.rc, 1) << path << ": " << l.error;
        EXPECT_FALSE(l.policy.open);
        EXPECT_TRUE(l.policy.products.empty());
        EXPECT_TRUE(l.policy.frontui.empty());
        EXPECT_EQ(l.policy.connections_per_uid, 0);
    }
    // A file under a path component that is a file cannot exist either.
    vk_test::WriteFile(root.path() + "/plain", "");
    EXPECT_EQ(Load(root.path() + "/plain/access.conf").rc, 1);
}

TEST(AccessConfig, OpenMode) {
    vk_test::TempRoot root;
    Loaded l = LoadText(root, "[access]\nmode = open\n");
    ASSERT_EQ(l.rc, 0) << l.error;
    EXPECT_TRUE(l.policy.open);
}

// The largest limit is what the client tables can give one uid. Larger
// values that earlier versions accepted are taken as that, and said.
TEST(AccessConfig, LargestConnectionLimit) {
    struct Case {
        const char *value;
        int limit;
        const char *summary_end;
    };
    for (const Case &c :
         {Case{"960", 960, ",connections per uid: 960"},
          Case{"961", 960,
               ",connections per uid: 960 (the file says 961: no uid can hold more than 960)"},
          Case{"2048", 960,
               ",connections per uid: 960 (the file says 2048: no uid can hold more than 960)"}}) {
        SCOPED_TRACE(c.value);
        vk_test::TempRoot root;
        Loaded l = LoadText(root, std::string("[limits]\nconnections_per_uid = ") + c.value + "\n");
        ASSERT_EQ(l.rc, 0) << l.error;
        EXPECT_EQ(l.policy.connections_per_uid, c.limit);
        const std::string summary = access_policy_summary(l.policy);
        EXPECT_EQ(summary.substr(summary.size() - strlen(c.summary_end)), c.summary_end);
    }
}

// The shipped sample, every key commented out, reads as the default.
TEST(AccessConfig, SampleHasTheDefaults) {
    std::string here = __FILE__;
    std::string sample = here.substr(0, here.rfind("/tests/")) + "/conf/access.conf";
    std::string text = vk_test::ReadFile(sample);
    ASSERT_FALSE(text.empty()) << sample;
    vk_test::TempRoot root;
    Loaded l = LoadText(root, text);
    ASSERT_EQ(l.rc, 0) << l.error;
    EXPECT_FALSE(l.policy.open);
    EXPECT_TRUE(l.policy.products.empty());
    EXPECT_TRUE(l.policy.frontui.empty());
    EXPECT_TRUE(l.policy.default_product.empty());
    EXPECT_EQ(l.policy.connections_per_uid, 0);
}

struct BadCase {
    const char *name;
    const char *text;
    const char *error;  // after "<path>:"
};

const BadCase kBad[] = {
    {"line of words", "[access]\nmode enforce\n",
     "2: neither a section header, a key = value nor a comment: mode enforce"},
    {"key before any section", "mode = open\n[access]\n", "1: outside any section: mode = open"},
    {"empty section name", "[]\nmode = open\n", "1: empty section name"},
    {"bracket inside a value", "[products]\nexecutables = /opt/[x]/avd\n",
     "2: brackets inside a line that is not a section header"},
    {"no value", "[products]\nusers =\n", "2: no value: users ="},
    {"no key", "[products]\n= root\n", "2: no key"},
    {"empty list", "[frontui]\nusers = ,\n", "2: nothing listed in [frontui] users"},
    {"unknown section", "[access]\n[product]\n", "2: unknown section [product]"},
    {"unknown key", "[products]\nuser = root\n", "2: unknown key [products] user"},
    {"key of another section", "[access]\nusers = root\n", "2: unknown key [access] users"},
    {"key given twice", "[products]\nusers = root\n[PRODUCTS]\nUsers = nobody\n",
     "4: [products] users given again (first on line 2)"},
    {"unknown user", "[products]\nusers = root vk-no-such-user\n",
     "2: unknown user \"vk-no-such-user\" in [products] users"},
    {"unknown group", "[frontui]\ngroups = vk-no-such-group\n",
     "2: unknown group \"vk-no-such-group\" in [frontui] groups"},
    {"negative id", "[products]\nusers = -1\n", "2: unknown user \"-1\""},
    {"id too large", "[products]\nusers = 4294967295\n", "2: unknown user \"4294967295\""},
    {"empty default-product list", "[default-product]\ngroups = \n", "2: no value: groups ="},
    {"default-product relative executable", "[default-product]\nexecutables = ambrel\n",
     "2: \"ambrel\" is not an absolute path in [default-product] executables"},
    {"relative executable", "[products]\nexecutables = bin/avd\n",
     "2: \"bin/avd\" is not an absolute path in [products] executables"},
    {"bad mode", "[access]\nmode = permissive\n",
     "2: mode must be enforce or open, not \"permissive\" in [access] mode"},
    {"remark after the mode", "[access]\nmode = open ; for now\n",
     "2: mode must be enforce or open, not \"open ; for now\""},
    {"limit zero", "[limits]\nconnections_per_uid = 0\n",
     "2: connections_per_uid must be a whole number from 1 to 960, not \"0\""},
    {"limit too large", "[limits]\nconnections_per_uid = 2049\n", "2: connections_per_uid must"},
    {"limit with a suffix", "[limits]\nconnections_per_uid = 64k\n", "2: connections_per_uid must"},
    {"limit signed", "[limits]\nconnections_per_uid = +64\n", "2: connections_per_uid must"},
};

TEST(AccessConfig, WrongFilesAreRefusedWithTheirLine) {
    vk_test::TempRoot root;
    for (const BadCase &c : kBad) {
        SCOPED_TRACE(c.name);
        Loaded l = LoadText(root, c.text);
        EXPECT_EQ(l.rc, -1);
        std::string expect = root.path() + "/access.conf:" + c.error;
        EXPECT_EQ(l.error.compare(0, expect.size(), expect), 0) << l.error;
    }
}

TEST(AccessConfig, FilesThatOthersCouldWriteAreRefused) {
    vk_test::TempRoot root;
    std::string path = root.path() + "/access.conf";
    vk_test::WriteFile(path, "[access]\nmode = enforce\n");
    for (mode_t mode : {0664, 0646, 0666}) {
        chmod(path.c_str(), mode);
        Loaded l = Load(path);
        EXPECT_EQ(l.rc, -1) << std::oct << mode;
        EXPECT_NE(l.error.find("writable by group or others"), std::string::npos) << l.error;
    }
    chmod(path.c_str(), 0600);
    EXPECT_EQ(Load(path).rc, 0);

    std::string dir = root.path() + "/dir.conf";
    ASSERT_EQ(mkdir(dir.c_str(), 0755), 0);
    Loaded l = Load(dir);
    EXPECT_EQ(l.rc, -1);
    EXPECT_NE(l.error.find("not a regular file"), std::string::npos) << l.error;
}

TEST(AccessConfig, FileOfAnotherUserIsRefused) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root: gives the file to another user";
    vk_test::TempRoot root;
    std::string path = root.path() + "/access.conf";
    vk_test::WriteFile(path, "[access]\nmode = enforce\n");
    chmod(path.c_str(), 0644);
    ASSERT_EQ(chown(path.c_str(), 65534, 65534), 0);
    Loaded l = Load(path);
    EXPECT_EQ(l.rc, -1);
    EXPECT_NE(l.error.find("owned by uid 65534, not by root"), std::string::npos) << l.error;
}

TEST(AccessConfig, UnreadableFileIsRefused) {
    if (geteuid() == 0) GTEST_SKIP() << "root reads any file; needs an ordinary user";
    vk_test::TempRoot root;
    std::string path = root.path() + "/access.conf";
    vk_test::WriteFile(path, "[access]\nmode = enforce\n");
    chmod(path.c_str(), 0200);
    Loaded l = Load(path);
    EXPECT_EQ(l.rc, -1);
    EXPECT_NE(l.error.find("cannot be read"), std::string::npos) << l.error;
}

}  // namespace
