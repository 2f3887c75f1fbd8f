// The install rules as a user meets them: the tree that `cmake --install`
// lays out under a temporary prefix, a program built against it through
// pkg-config alone, the systemd unit checked by systemd-analyze, and the
// Debian packages that CPack makes from the same rules.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "support/build_tree.h"
#include "support/shell.h"
#include "support/temp_root.h"

using vk_test::FileExists;
using vk_test::Have;
using vk_test::Quote;
using vk_test::Sh;
using vk_test::ShellOutput;
using vk_test::TempRoot;

namespace {

// cmake --install and cpack write into the build tree (install_manifest.txt,
// the preinstall step), which a suite run by another user may only read.
bool BuildTreeWritable() {
    return access(VK_BUILD_DIR, W_OK) == 0;
}
constexpr const char *kReadOnlyTree =
    "needs a build tree writable by this user: cmake --install and cpack write into it";

// Where the build installs the library and the unit, relative to the prefix:
// "lib" or "lib/<multiarch>" depending on the configured prefix.
std::string LibDir() {
    return vk_test::BuildCacheValue("CMAKE_INSTALL_LIBDIR");
}
std::string UnitDir() {
    return vk_test::BuildCacheValue("VK_SYSTEMD_UNIT_DIR");
}

// The manual pages and the bash completion, relative to the prefix; the
// pages only when the build found scdoc, compressed when it found gzip.
std::vector<std::string> ServiceExtras() {
    std::vector<std::string> files = {"share/bash-completion/completions/korvanectl"};
    auto found = [](const char *name) {
        std::string v = vk_test::BuildCacheValue(name);
        return !v.empty() && v.find("NOTFOUND") == std::string::npos;
    };
    if (found("VK_SCDOC")) {
        std::string gz = found("VK_GZIP") ? ".gz" : "";
        files.push_back("share/man/man8/veskkorvaned.8" + gz);
        files.push_back("share/man/man1/korvanectl.1" + gz);
    }
    return files;
}

// Installs the service and dev components under <root>/usr once per test.
class Installed : public ::testing::Test {
protected:
    void SetUp() override {
        if (!BuildTreeWritable()) GTEST_SKIP() << kReadOnlyTree;
        ShellOutput o = Sh(std::string(Quote(VK_CMAKE)) + " --install " + Quote(VK_BUILD_DIR) +
                           " --prefix " + Quote(Prefix()));
        ASSERT_EQ(o.status, 0) << o.text;
    }
    std::string Prefix() const { return m_root.path() + "/usr"; }

    TempRoot m_root;
};

TEST_F(Installed, TreeHoldsEveryPart) {
    ASSERT_NE(LibDir(), "");
    ASSERT_NE(UnitDir(), "");
    for (const std::string &rel : std::vector<std::string>{
             "/sbin/veskkorvaned", "/bin/korvanectl", "/include/korvane/korvane_client.h",
             "/include/korvane/korvane_codes.h", "/" + LibDir() + "/libkorvane-client.a",
             "/" + LibDir() + "/pkgconfig/korvane-client.pc",
             "/" + UnitDir() + "/veskkorvaned.service", "/share/veskkorvaned/log.conf",
             "/share/veskkorvaned/access.conf"})
        EXPECT_TRUE(FileExists(Prefix() + rel)) << rel;
    for (const std::string &rel : ServiceExtras())
        EXPECT_TRUE(FileExists(Prefix() + "/" + rel)) << rel;
    std::string unit = vk_test::ReadFile(Prefix() + "/" + UnitDir() + "/veskkorvaned.service");
    EXPECT_NE(unit.find("ExecStart=" + Prefix() + "/sbin/veskkorvaned --foreground\n"),
              std::string::npos)
        << unit;
    std::string pc = vk_test::ReadFile(Prefix() + "/" + LibDir() + "/pkgconfig/korvane-client.pc");
    EXPECT_EQ(pc.rfind("prefix=" + Prefix() + "\n", 0), 0u) << pc;
    EXPECT_NE(pc.find("libdir=${prefix}/" + LibDir() + "\n"), std::string::npos) << pc;
}

// An outside program finds the library through pkg-config alone.
TEST_F(Installed, ProgramBuildsAgainstTheTreeThroughPkgConfig) {
    if (!Have("pkg-config")) GTEST_SKIP() << "pkg-config is not installed";
    std::string src = m_root.path() + "/user.cpp", exe = m_root.path() + "/user";
    vk_test::WriteFile(src, R"(#include <korvane/korvane_client.h>
#include <cstdio>
int main() {
    auto line = korvane::EncodeRequest("ui-1", 7, KORVANE_REQ_GET_SECSOFT, std::nullopt);
    auto msg = korvane::DecodeLine(*line);
    std::printf("%s|%llu|%u|%s\n", msg->uuid.c_str(), (unsigned long long)msg->id, msg->type,
                korvane::EndpointName(korvane::Endpoint::kFrontUi).c_str());
    return 0;
}
)");
    std::string flags = "$(PKG_CONFIG_PATH=" + Quote(Prefix() + "/" + LibDir() + "/pkgconfig") +
                        " pkg-config --cflags --libs korvane-client)";
    // A sanitized build installs an instrumented library; its users link
    // the sanitizer runtimes too.
    ShellOutput build = Sh(std::string(Quote(VK_CXX)) + " -std=c++17 " + VK_CXX_EXTRA_FLAGS +
                           " -o " + Quote(exe) + " " + Quote(src) + " " + flags);
    ASSERT_EQ(build.status, 0) << build.text;
    ShellOutput run = Sh("VESKKORVANED_ROOT=/r " + Quote(exe));
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.text, "ui-1|7|1001|@/r/tmp/.zelluskkorvanefui\n");
}

// The protocol's numbers are plain C: a C program compiles against them.
TEST_F(Installed, CodesHeaderCompilesAsC) {
    std::string src = m_root.path() + "/codes.c", obj = m_root.path() + "/codes.o";
    vk_test::WriteFile(src, R"(#include <korvane/korvane_codes.h>
int wanted(int type) { return type == KORVANE_REQ_GET_SECSOFT ? KORVANE_RESULT_OK : -1; }
)");
    ShellOutput build =
        Sh(std::string(Quote(VK_CC)) + " -std=c99 -Wall -Wextra -pedantic -Werror -I" +
           Quote(Prefix() + "/include") + " -c -o " + Quote(obj) + " " + Quote(src));
    EXPECT_EQ(build.status, 0) << build.text;
}

TEST_F(Installed, UnitPassesSystemdVerify) {
    if (!Have("systemd-analyze"))
        GTEST_SKIP() << "systemd-analyze is not installed (package systemd)";
    ShellOutput o =
        Sh("systemd-analyze verify " + Quote(Prefix() + "/" + UnitDir() + "/veskkorvaned.service"));
    EXPECT_EQ(o.status, 0) << o.text;
    EXPECT_EQ(o.text, "") << "no warnings either";
}

std::set<std::string> DebFiles(const std::string &deb) {
    std::set<std::string> files;
    std::istringstream in(Sh("dpkg-deb -c " + Quote(deb)).text);
    std::string line;
    while (std::getline(in, line)) {
        std::string path = line.substr(line.rfind(' ') + 1);
        if (path.back() != '/') files.insert(path);
    }
    return files;
}

TEST(Package, DebianPackagesHoldTheirFilesAndDependencies) {
    if (!Have("dpkg-deb")) GTEST_SKIP() << "dpkg-deb is not installed";
    if (!BuildTreeWritable()) GTEST_SKIP() << kReadOnlyTree;
    TempRoot root;
    ShellOutput o =
        Sh(std::string("cd ") + Quote(root.path()) + " && " + Quote(VK_CPACK) +
           " -G DEB --config " + Quote(std::string(VK_BUILD_DIR) + "/CPackConfig.cmake") + " -B " +
           Quote(root.path() + "/out"));
    ASSERT_EQ(o.status, 0) << o.text;
    std::string version = VK_VERSION;
    std::string arch = Sh("dpkg --print-architecture").text;
    arch.erase(arch.find_last_not_of('\n') + 1);
    std::string service = root.path() + "/out/veskkorvaned_" + version + "_" + arch + ".deb";
    std::string dev = root.path() + "/out/libkorvane-client-dev_" + version + "_" + arch + ".deb";

    std::set<std::string> service_files = {"./usr/bin/korvanectl",
                                           "./usr/sbin/veskkorvaned",
                                           "./usr/" + UnitDir() + "/veskkorvaned.service",
                                           "./usr/share/veskkorvaned/log.conf",
                                           "./usr/share/doc/veskkorvaned/README.md",
                                           "./usr/share/doc/veskkorvaned/protocol.md",
                                           "./usr/share/doc/veskkorvaned/service.md",
                                           "./usr/share/veskkorvaned/access.conf",
                                           "./usr/share/doc/veskkorvaned/security.md"};
    for (const std::string &rel : ServiceExtras()) service_files.insert("./usr/" + rel);
    EXPECT_EQ(DebFiles(service), service_files);
    EXPECT_EQ(DebFiles(dev),
              (std::set<std::string>{"./usr/include/korvane/korvane_client.h",
                                     "./usr/include/korvane/korvane_codes.h",
                                     "./usr/" + LibDir() + "/libkorvane-client.a",
                                     "./usr/" + LibDir() + "/pkgconfig/korvane-client.pc"}));

    std::string depends = Sh("dpkg-deb -f " + Quote(service) + " Depends").text;
    for (const char *pkg : {"libsqlite3-0", "libcjson1", "libstdc++6"})
        EXPECT_NE(depends.find(pkg), std::string::npos) << depends;
    EXPECT_NE(Sh("dpkg-deb -f " + Quote(dev) + " Depends").text.find("libcjson-dev"),
              std::string::npos);

    // The packaged unit and .pc name the packaging prefix, not the build's.
    ShellOutput unit = Sh("dpkg-deb --fsys-tarfile " + Quote(service) + " | tar -xO ./usr/" +
                          UnitDir() + "/veskkorvaned.service");
    EXPECT_NE(unit.text.find("ExecStart=/usr/sbin/veskkorvaned --foreground\n"), std::string::npos);
    ShellOutput pc = Sh("dpkg-deb --fsys-tarfile " + Quote(dev) + " | tar -xO ./usr/" + LibDir() +
                        "/pkgconfig/korvane-client.pc");
    EXPECT_EQ(pc.text.rfind("prefix=/usr\n", 0), 0u) << pc.text;
}

}  // namespace
