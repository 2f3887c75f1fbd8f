// The install rules as a user meets them: the tree that `cmake --install`
// lays out under a temporary prefix, programs built against it through
// pkg-config (C and C++, shared and static) and find_package alone and run
// against the installed daemon, the systemd unit checked by systemd-analyze,
// and the Debian packages' file lists (debian/*.install) against the tree.
#include <fnmatch.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "support/build_tree.h"
#include "support/daemon_process.h"
#include "support/installed_tree.h"
#include "support/shell.h"
#include "support/temp_root.h"

using vk_test::FileExists;
using vk_test::Have;
using vk_test::Installed;
using vk_test::LibDir;
using vk_test::Quote;
using vk_test::Sh;
using vk_test::ShellOutput;
using vk_test::TempRoot;

namespace {

// Where the build installs the unit, relative to the prefix.
std::string UnitDir() {
    return vk_test::BuildCacheValue("VK_SYSTEMD_UNIT_DIR");
}

// Whether the build found the program of a find_program cache entry.
bool Found(const char *name) {
    std::string v = vk_test::BuildCacheValue(name);
    return !v.empty() && v.find("NOTFOUND") == std::string::npos;
}

// A manual page, relative to the prefix: compressed when the build found gzip.
std::string ManPage(const std::string &page) {
    return "share/man/man" + page.substr(page.size() - 1) + "/" + page +
           (Found("VK_GZIP") ? ".gz" : "");
}

// The client library's files, relative to the prefix, by package.
std::vector<std::string> ClientLibFiles() {
    return {LibDir() + "/libkorvane-client.so.0", LibDir() + "/libkorvane-client.so." VK_VERSION};
}
std::vector<std::string> ClientDevFiles() {
    // The CMake targets file of the configuration that was built.
    std::string config = vk_test::BuildCacheValue("CMAKE_BUILD_TYPE");
    std::transform(config.begin(), config.end(), config.begin(), ::tolower);
    if (config.empty()) config = "noconfig";
    const std::string cmake = LibDir() + "/cmake/korvane-client/";
    std::vector<std::string> files = {
        "include/korvane/korvane.h",
        "include/korvane/korvane_client.h",
        "include/korvane/korvane_codes.h",
        "include/korvane/korvane_export.h",
        LibDir() + "/libkorvane-client.a",
        LibDir() + "/libkorvane-client.so",
        LibDir() + "/pkgconfig/korvane-client.pc",
        cmake + "korvane-client-config.cmake",
        cmake + "korvane-client-config-version.cmake",
        cmake + "korvane-client-targets.cmake",
        cmake + "korvane-client-targets-" + config + ".cmake",
        "share/doc/libkorvane-client-dev/client.md",
        "share/doc/libkorvane-client-dev/protocol.md",
        "share/doc/libkorvane-client-dev/examples/c/product.c",
        "share/doc/libkorvane-client-dev/examples/c/Makefile",
        "share/doc/libkorvane-client-dev/examples/cxx/product.cpp",
        "share/doc/libkorvane-client-dev/examples/cxx/CMakeLists.txt"};
    // The C interface's manual page, when the build found scdoc.
    if (Found("VK_SCDOC")) files.push_back(ManPage("korvane.3"));
    return files;
}

// The daemon's manual pages and the bash completion, relative to the
// prefix; the pages only when the build found scdoc.
std::vector<std::string> ServiceExtras() {
    std::vector<std::string> files = {"share/bash-completion/completions/korvanectl"};
    if (Found("VK_SCDOC")) {
        files.push_back(ManPage("veskkorvaned.8"));
        files.push_back(ManPage("korvanectl.1"));
    }
    return files;
}

TEST_F(Installed, TreeHoldsEveryPart) {
    ASSERT_NE(LibDir(), "");
    ASSERT_NE(UnitDir(), "");
    for (const std::string &rel : std::vector<std::string>{
             "/sbin/veskkorvaned", "/bin/korvanectl", "/" + UnitDir() + "/veskkorvaned.service",
             "/" + UnitDir() + "/korvane-metrics.service",
             "/" + UnitDir() + "/korvane-metrics.timer", "/share/veskkorvaned/log.conf",
             "/share/veskkorvaned/access.conf", "/share/veskkorvaned/korvaned.conf",
             "/share/doc/veskkorvaned/fleet.md",
             "/share/doc/veskkorvaned/examples/korvane-alerts.yml",
             "/share/dbus-1/system.d/org.korvane.Registry1.conf"})
        EXPECT_TRUE(FileExists(Prefix() + rel)) << rel;
    for (const std::string &rel : ClientLibFiles())
        EXPECT_TRUE(FileExists(Prefix() + "/" + rel)) << rel;
    for (const std::string &rel : ClientDevFiles())
        EXPECT_TRUE(FileExists(Prefix() + "/" + rel)) << rel;
    // The link for the linker names the soname, which names the file.
    EXPECT_EQ(Sh("readlink " + Quote(Prefix() + "/" + LibDir() + "/libkorvane-client.so")).text,
              "libkorvane-client.so.0\n");
    EXPECT_EQ(Sh("readlink " + Quote(Prefix() + "/" + LibDir() + "/libkorvane-client.so.0")).text,
              "libkorvane-client.so." VK_VERSION "\n");
    for (const std::string &rel : ServiceExtras())
        EXPECT_TRUE(FileExists(Prefix() + "/" + rel)) << rel;
    if (vk_test::BuildCacheValue("VK_PYTHON_MODULE") == "TRUE") {
        std::string py = Prefix() + "/" + vk_test::BuildCacheValue("VK_PYTHON_DIR") + "/korvane/";
        EXPECT_TRUE(FileExists(py + "__init__.py")) << py;
        EXPECT_TRUE(FileExists(py + "codes.py")) << py;
    }
    std::string unit = vk_test::ReadFile(Prefix() + "/" + UnitDir() + "/veskkorvaned.service");
    EXPECT_NE(unit.find("ExecStart=" + Prefix() + "/sbin/veskkorvaned --foreground\n"),
              std::string::npos)
        << unit;
    std::string metrics =
        vk_test::ReadFile(Prefix() + "/" + UnitDir() + "/korvane-metrics.service");
    EXPECT_NE(metrics.find("ExecStart=" + Prefix() + "/bin/korvanectl "), std::string::npos)
        << metrics;
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
    ShellOutput run =
        Sh("VESKKORVANED_ROOT=/r LD_LIBRARY_PATH=" + Quote(LibPath()) + " " + Quote(exe));
    EXPECT_EQ(run.status, 0) << run.text;
    EXPECT_EQ(run.text, "ui-1|7|1001|@/r/tmp/.zelluskkorvanefui\n");
}

// A version's numbers, for comparing "0.1.10" with "0.1.9" as numbers.
std::vector<int> VersionParts(const std::string &v) {
    std::vector<int> parts;
    std::istringstream in(v);
    for (std::string part; std::getline(in, part, '.');) parts.push_back(std::stoi(part));
    return parts;
}

// The shared library's interface as programs link it, against the record
// tests/tools/client_symbols.txt: each recorded symbol still exported (a
// program built against the version that added it would not start without
// it), each exported symbol of the library's own recorded, and the shlibs
// minimum of the packages the newest version the record names, so that a
// program using a symbol depends on a library that has it.
TEST_F(Installed, SharedLibraryExportsTheRecordedSymbols) {
#if !(defined(__x86_64__) || defined(__aarch64__))
    GTEST_SKIP() << "the record holds the names as mangled on 64-bit Linux";
#endif
    if (!Have("nm")) GTEST_SKIP() << "nm is not installed (package binutils)";
    const std::string source_dir = vk_test::BuildCacheValue("CMAKE_HOME_DIRECTORY");
    std::map<std::string, std::string> recorded;  // symbol -> version
    std::string newest = "0";
    std::istringstream record(vk_test::ReadFile(source_dir + "/tests/tools/client_symbols.txt"));
    for (std::string line; std::getline(record, line);) {
        std::istringstream words(line);
        std::string symbol, version;
        if (!(words >> symbol) || symbol[0] == '#') continue;
        ASSERT_TRUE(words >> version) << line;
        recorded[symbol] = version;
        if (VersionParts(version) > VersionParts(newest)) newest = version;
    }
    ASSERT_FALSE(recorded.empty());

    ShellOutput nm = Sh("nm -D --defined-only " + Quote(LibPath() + "/libkorvane-client.so.0"));
    ASSERT_EQ(nm.status, 0) << nm.text;
    std::set<std::string> exported;
    std::istringstream lines(nm.text);
    for (std::string line; std::getline(lines, line);) {
        std::string symbol = line.substr(line.rfind(' ') + 1);
        for (const char *own : {"korvane_", "_ZN7korvane", "_ZNK7korvane"})
            if (symbol.rfind(own, 0) == 0) exported.insert(symbol);
    }
    for (const auto &[symbol, version] : recorded)
        EXPECT_EQ(exported.count(symbol), 1u) << symbol << " (since " << version << ") is gone";
    for (const std::string &symbol : exported)
        EXPECT_EQ(recorded.count(symbol), 1u) << symbol << " is exported but not recorded";

    EXPECT_LE(VersionParts(newest), VersionParts(VK_VERSION)) << newest;
    const std::string rules = vk_test::ReadFile(source_dir + "/debian/rules");
    EXPECT_NE(rules.find("dh_makeshlibs -V 'libkorvane-client0 (>= " + newest + ")'"),
              std::string::npos)
        << "debian/rules: the shlibs minimum must be " << newest;
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

// A front UI in C: registers, then asks for the product that registered
// meanwhile on the product socket, then reads that product's notification.
// Products register only as root, so an ordinary user sees result 403 and
// then no product.
constexpr const char *kCProgram = R"(#include <korvane/korvane.h>
#include <stdio.h>
#include <unistd.h>

static int ask(korvane_client_t *h, const char *uuid, uint32_t type, const char *data) {
    korvane_message_t m;
    int rc = korvane_request(h, uuid, type, data, 10000, &m);
    if (rc != KORVANE_OK) {
        printf("%s: %s\n", korvane_strerror(rc), korvane_client_error(h));
        return -1;
    }
    printf("%u %d %s\n", m.type, (int)m.result, m.data ? m.data : "-");
    rc = (int)m.result;
    korvane_message_free(&m);
    return rc;
}

int main(void) {
    korvane_client_t *ui = korvane_client_new(), *av = korvane_client_new();
    korvane_message_t note;
    char body[128];
    int product;
    if (ui == NULL || av == NULL) return 1;
    korvane_client_set_require_root_peer(ui, 0);
    korvane_client_set_require_root_peer(av, 0);
    if (korvane_client_connect(ui, KORVANE_ENDPOINT_FUI) != KORVANE_OK ||
        korvane_client_connect(av, KORVANE_ENDPOINT_SECSOFT) != KORVANE_OK) {
        printf("connect: %s\n", korvane_client_error(ui));
        return 1;
    }
    snprintf(body, sizeof body, "{\"name\":\"c-ui\",\"login_uid\":%u,\"euid\":%u,\"pid\":%d}",
             (unsigned)getuid(), (unsigned)geteuid(), (int)getpid());
    if (ask(ui, "c-ui", KORVANE_REQ_FUI_REGISTER, body) != KORVANE_RESULT_OK) return 1;
    product = ask(av, "av-1", KORVANE_REQ_SECSOFT_REGISTER, "{\"name\":\"AV\",\"exec\":\"/opt/av\"}");
    if (ask(ui, "c-ui", KORVANE_REQ_GET_SECSOFT, NULL) < 0) return 1;
    if (product == KORVANE_RESULT_OK) {
        if (korvane_read_notification(ui, 10000, &note) != KORVANE_OK) return 1;
        printf("notification %u %s %s\n", note.type, note.uuid, note.data);
        korvane_message_free(&note);
    }
    korvane_client_free(av);
    korvane_client_free(ui);
    return 0;
}
)";

std::string CProgramOutput() {
    if (geteuid() != 0) return "1000 0 -\n2000 403 -\n1001 101 -\n";
    const std::string detail = R"({"name":"AV","exec":"/opt/av","uuid":"av-1"})";
    return "1000 0 -\n2000 0 -\n1001 0 [" + detail + "]\nnotification 1500 av-1 " + detail + "\n";
}

// Links the shared library, or the archive (pkg-config --static for what it
// needs; the linker takes the archive only when told to prefer it).
TEST_F(Installed, CProgramTalksToTheDaemonThroughPkgConfig) {
    if (!Have("pkg-config")) GTEST_SKIP() << "pkg-config is not installed";
    ASSERT_NO_FATAL_FAILURE(StartDaemon());
    std::string src = m_root.path() + "/ui.c";
    vk_test::WriteFile(src, kCProgram);
    const std::string cc = std::string(Quote(VK_CC)) + " -std=c99 -Wall -Wextra -Werror " +
                           VK_CXX_EXTRA_FLAGS + " " + Quote(src) + " " + PkgConfig("--cflags") +
                           " -o ";
    struct Link {
        const char *name;
        std::string libs;
        bool needs_shared;
    };
    const Link links[] = {
        {"shared", PkgConfig("--libs"), true},
        {"static",
         "-Wl,-Bstatic -lkorvane-client -Wl,-Bdynamic -Wl,--as-needed " +
             PkgConfig("--static --libs"),
         false},
    };
    for (const Link &link : links) {
        SCOPED_TRACE(link.name);
        std::string exe = m_root.path() + "/ui-" + link.name;
        ShellOutput build = Sh(cc + Quote(exe) + " " + link.libs);
        ASSERT_EQ(build.status, 0) << build.text;
        std::string needed = Sh("readelf -d " + Quote(exe)).text;
        EXPECT_EQ(needed.find("[libkorvane-client.so.0]") != std::string::npos, link.needs_shared)
            << needed;
        ShellOutput run = RunAgainstDaemon(exe);
        EXPECT_EQ(run.status, 0) << run.text;
        // The second run meets the product of the first, already stored.
        if (std::string(link.name) == "shared")
            EXPECT_EQ(run.text, CProgramOutput());
        else
            EXPECT_NE(run.text.find("1001 "), std::string::npos) << run.text;
    }
}

// A CMake project of a user: find_package(korvane-client) and the C++
// interface, against the shared library and the archive.
TEST_F(Installed, CxxProgramBuildsThroughFindPackage) {
    ASSERT_NO_FATAL_FAILURE(StartDaemon());
    const std::string src = m_root.path() + "/proj", build = m_root.path() + "/proj-build";
    ASSERT_EQ(Sh("mkdir " + Quote(src)).status, 0);
    vk_test::WriteFile(src + "/CMakeLists.txt", R"(cmake_minimum_required(VERSION 3.18)
project(user LANGUAGES CXX)
find_package(korvane-client 0.1 REQUIRED)
add_executable(ui-shared ui.cpp)
target_link_libraries(ui-shared PRIVATE korvane::client)
add_executable(ui-static ui.cpp)
target_link_libraries(ui-static PRIVATE korvane::client_static)
)");
    vk_test::WriteFile(src + "/ui.cpp", R"(#include <korvane/korvane_client.h>
#include <unistd.h>
#include <cstdio>
#include <string>
int main() {
    korvane::Client c;
    c.SetRequireRootPeer(false);
    if (!c.Connect(korvane::Endpoint::kFrontUi)) return 1;
    std::string body = "{\"name\":\"cxx-ui\",\"login_uid\":" + std::to_string(getuid()) +
                       ",\"euid\":" + std::to_string(geteuid()) +
                       ",\"pid\":" + std::to_string(getpid()) + "}";
    if (!c.SendRequest("cxx-ui", 1, KORVANE_REQ_FUI_REGISTER, body) ||
        !c.SendRequest("cxx-ui", 2, KORVANE_REQ_GET_SECSOFT))
        return 1;
    for (int i = 0; i < 2; i++) {
        auto m = c.ReadMessage(10000);
        if (!m) return 1;
        std::printf("%u %d\n", m->type, m->result);
    }
    return 0;
}
)");
    ShellOutput configure =
        Sh(std::string(Quote(VK_CMAKE)) + " -S " + Quote(src) + " -B " + Quote(build) +
           " -DCMAKE_PREFIX_PATH=" + Quote(Prefix()) + " -DCMAKE_CXX_COMPILER=" + Quote(VK_CXX) +
           " -DCMAKE_CXX_FLAGS=" + Quote(VK_CXX_EXTRA_FLAGS));
    ASSERT_EQ(configure.status, 0) << configure.text;
    ShellOutput make = Sh(std::string(Quote(VK_CMAKE)) + " --build " + Quote(build));
    ASSERT_EQ(make.status, 0) << make.text;
    for (const char *exe : {"ui-shared", "ui-static"}) {
        SCOPED_TRACE(exe);
        ShellOutput run = RunAgainstDaemon(build + "/" + exe);
        EXPECT_EQ(run.status, 0) << run.text;
        EXPECT_EQ(run.text, "1000 0\n1001 101\n");
    }
    EXPECT_NE(Sh("readelf -d " + Quote(build + "/ui-shared")).text.find("libkorvane-client.so.0"),
              std::string::npos);
}

TEST_F(Installed, UnitPassesSystemdVerify) {
    if (!Have("systemd-analyze"))
        GTEST_SKIP() << "systemd-analyze is not installed (package systemd)";
    for (const char *unit :
         {"veskkorvaned.service", "korvane-metrics.service", "korvane-metrics.timer"}) {
        SCOPED_TRACE(unit);
        ShellOutput o =
            Sh("systemd-analyze verify " + Quote(Prefix() + "/" + UnitDir() + "/" + unit));
        EXPECT_EQ(o.status, 0) << o.text;
        EXPECT_EQ(o.text, "") << "no warnings either";
    }
}

// The value of the last `key=` line of a unit; "" when it has none.
std::string UnitLine(const std::string &unit, const std::string &key) {
    std::istringstream in(unit);
    std::string value;
    for (std::string line; std::getline(in, line);)
        if (line.rfind(key + "=", 0) == 0) value = line.substr(key.size() + 1);
    return value;
}

// The metrics service's command, as systemd would run it with its default
// environment, against the installed daemon: the file it names appears.
TEST_F(Installed, MetricsServiceCommandWritesItsFile) {
    ASSERT_NO_FATAL_FAILURE(StartDaemon());
    const std::string unit =
        vk_test::ReadFile(Prefix() + "/" + UnitDir() + "/korvane-metrics.service");
    const std::string env = UnitLine(unit, "Environment");
    const std::string variable = "KORVANE_METRICS_FILE=";
    ASSERT_EQ(env, variable + "/var/lib/prometheus/node-exporter/korvane.prom");
    std::string command = UnitLine(unit, "ExecStart");
    const std::string reference = "${KORVANE_METRICS_FILE}";
    const size_t at = command.find(reference);
    ASSERT_NE(at, std::string::npos) << command;
    const std::string file = m_root.path() + "/korvane.prom";
    command.replace(at, reference.size(), Quote(file));
    ShellOutput o = Sh("VESKKORVANED_ROOT=" + Quote(m_daemonRoot.path()) + " " + command);
    EXPECT_EQ(o.status, 0) << command << "\n" << o.text;
    EXPECT_NE(vk_test::ReadFile(file).find("\nkorvane_up 1\n"), std::string::npos)
        << vk_test::ReadFile(file);
}

// The Debian packages (debian/, built by scripts/build-debs.sh) take their
// files from the install rules: debian/<package>.install lists, for each
// package of debian/control, the paths (or globs, or directories ending in
// '/') of the tree `cmake --install` lays out under /usr, and a few files of
// the source tree with the directory they go to.
struct InstallLine {
    std::string package;
    std::string where;  // debian/<package>.install:<line>
    std::string source;
};

std::vector<std::string> ControlPackages(const std::string &source_dir) {
    std::vector<std::string> packages;
    std::istringstream in(vk_test::ReadFile(source_dir + "/debian/control"));
    std::string line;
    while (std::getline(in, line))
        if (line.rfind("Package: ", 0) == 0) packages.push_back(line.substr(9));
    return packages;
}

// The tree's layout as this build chose it: the multiarch library
// directory, the unit's and the Python module's directories.
std::string AsBuilt(std::string path) {
    auto replace = [&path](const std::string &from, const std::string &to) {
        if (path.rfind(from, 0) == 0) path = to + path.substr(from.size());
    };
    replace("usr/lib/${DEB_HOST_MULTIARCH}", "usr/" + LibDir());
    replace("usr/lib/systemd/system", "usr/" + UnitDir());
    replace("usr/lib/python3/dist-packages", "usr/" + vk_test::BuildCacheValue("VK_PYTHON_DIR"));
    return path;
}

bool Matches(const std::string &pattern, const std::string &path) {
    if (!pattern.empty() && pattern.back() == '/') return path.rfind(pattern, 0) == 0;
    return fnmatch(pattern.c_str(), path.c_str(), FNM_PATHNAME) == 0;
}

// Each installed file in exactly one package, each listed path installed.
TEST_F(Installed, EachInstalledFileBelongsToOneDebianPackage) {
    const std::string source_dir = vk_test::BuildCacheValue("CMAKE_HOME_DIRECTORY");
    ASSERT_TRUE(FileExists(source_dir + "/debian/control")) << source_dir;
    std::vector<std::string> packages = ControlPackages(source_dir);
    EXPECT_EQ(packages, (std::vector<std::string>{"veskkorvaned", "libkorvane-client0",
                                                  "libkorvane-client-dev", "python3-korvane",
                                                  "korvane-notify"}));
    std::vector<InstallLine> lines;
    for (const std::string &package : packages) {
        std::string file = source_dir + "/debian/" + package + ".install";
        ASSERT_TRUE(FileExists(file)) << file;
        std::istringstream in(vk_test::ReadFile(file));
        std::string line;
        for (int n = 1; std::getline(in, line); ++n) {
            std::istringstream words(line);
            std::string source;
            if (!(words >> source) || source[0] == '#') continue;
            lines.push_back({package, package + ".install:" + std::to_string(n), source});
        }
    }

    const std::string root = Prefix().substr(0, Prefix().size() - 4);  // without "/usr"
    std::istringstream found(
        Sh("cd " + Quote(root) + " && find usr \\( -type f -o -type l \\) | sort").text);
    std::vector<std::string> installed;
    for (std::string path; std::getline(found, path);) installed.push_back(path);
    ASSERT_FALSE(installed.empty());

    std::map<std::string, int> used;  // InstallLine::where -> files it takes
    std::map<std::string, std::set<std::string>> packages_of;  // installed path -> packages
    for (const std::string &path : installed) {
        std::vector<std::string> owners;
        for (const InstallLine &l : lines) {
            if (l.source.rfind("usr/", 0) != 0 || !Matches(AsBuilt(l.source), path)) continue;
            owners.push_back(l.where);
            packages_of[path].insert(l.package);
            ++used[l.where];
        }
        EXPECT_EQ(owners.size(), 1u)
            << path << " is listed by: " << ::testing::PrintToString(owners);
    }
    const bool man = Found("VK_SCDOC");
    const bool python = vk_test::BuildCacheValue("VK_PYTHON_MODULE") == "TRUE";
    for (const InstallLine &l : lines) {
        if (l.source.rfind("usr/", 0) != 0) {
            // A file of the source tree, e.g. the sample that becomes a conffile.
            EXPECT_TRUE(FileExists(source_dir + "/" + l.source)) << l.where << ": " << l.source;
            continue;
        }
        if (used[l.where] > 0) continue;
        if (!man && l.source.rfind("usr/share/man/", 0) == 0) continue;
        if (!python && l.package == "python3-korvane") continue;
        ADD_FAILURE() << l.where << ": " << l.source << " matches nothing that is installed";
    }
    // And in the right one: the library's manual page goes with its headers.
    const std::pair<std::string, std::vector<std::string>> expected[] = {
        {"veskkorvaned", ServiceExtras()},
        {"libkorvane-client0", ClientLibFiles()},
        {"libkorvane-client-dev", ClientDevFiles()}};
    for (const auto &[package, files] : expected)
        for (const std::string &rel : files)
            EXPECT_EQ(packages_of["usr/" + rel], std::set<std::string>{package}) << rel;
}

// The packaging lives in the project's own tree: a native source package,
// whose version is the project's, without a Debian revision.
TEST(DebianPackaging, NativeSourceWithTheProjectVersion) {
    const std::string source_dir = vk_test::BuildCacheValue("CMAKE_HOME_DIRECTORY");
    std::string changelog = vk_test::ReadFile(source_dir + "/debian/changelog");
    EXPECT_EQ(changelog.rfind(std::string("veskkorvaned (") + VK_VERSION + ") ", 0), 0u)
        << changelog.substr(0, changelog.find('\n'));
    EXPECT_EQ(vk_test::ReadFile(source_dir + "/debian/source/format"), "3.0 (native)\n");
}

}  // namespace

namespace {

// The package's removal script against a root of its own (DPKG_ROOT): on
// remove the exported metrics file goes and the registry stays; on purge
// the registry, its log files and the logs go too.
TEST(DebianPackaging, RemovalTakesTheMetricsAndPurgeTheRegistry) {
    const std::string source_dir = vk_test::BuildCacheValue("CMAKE_HOME_DIRECTORY");
    const std::string postrm = source_dir + "/debian/veskkorvaned.postrm";
    const char *metrics = "/var/lib/prometheus/node-exporter/korvane.prom";
    const char *kept[] = {"/var/lib/prometheus/node-exporter/other.prom",
                          "/etc/korvane/access.conf"};
    const char *registry[] = {"/etc/korvane/korvaned.db", "/etc/korvane/korvaned.db-wal",
                              "/etc/korvane/korvaned.db-shm", "/var/log/veskkorvaned.log"};
    for (const char *action : {"remove", "purge"}) {
        SCOPED_TRACE(action);
        vk_test::TempRoot root;
        std::vector<std::string> all = {metrics};
        for (const char *f : kept) all.push_back(f);
        for (const char *f : registry) all.push_back(f);
        for (const std::string &f : all) {
            ASSERT_EQ(0, Sh("mkdir -p " + Quote(root.Under(f.substr(0, f.rfind('/'))))).status);
            vk_test::WriteFile(root.Under(f), "korvane_protected 1\n");
        }
        ShellOutput run =
            Sh("DPKG_ROOT=" + Quote(root.path()) + " sh " + Quote(postrm) + " " + action);
        ASSERT_EQ(0, run.status) << run.text;
        EXPECT_FALSE(vk_test::FileExists(root.Under(metrics)));
        for (const char *f : kept) EXPECT_TRUE(vk_test::FileExists(root.Under(f))) << f;
        const bool purge = std::string(action) == "purge";
        for (const char *f : registry) EXPECT_EQ(!purge, vk_test::FileExists(root.Under(f))) << f;
    }
}

}  // namespace
