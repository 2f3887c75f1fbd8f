// The example products, as the -dev package installs them: each is built
// from the installed copy the way its own files say (make with pkg-config,
// CMake with find_package, and a C project linking the static archive),
// then run against the installed daemon: the verdict must name it as
// protected while its reports keep coming, before and after a restart of
// the daemon, and SIGTERM must unregister it.
#include <cjson/cJSON.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <optional>
#include <string>
#include <vector>

#include "client/korvane_client.h"
#include "proto/codec/json.h"
#include "support/child_process.h"
#include "support/daemon_process.h"
#include "support/installed_tree.h"
#include "support/shell.h"
#include "support/temp_root.h"

using vk_test::Quote;
using vk_test::Sh;
using vk_test::ShellOutput;

namespace {

// What request 1005 says of the active product.
struct Verdict {
    std::string verdict, name;
    double last_report = 0;  // 0: none
};

std::optional<Verdict> AskHealth(const std::string &root) {
    std::unique_ptr<korvane::Client> c = vk_test::TryOutConnect(root, korvane::Endpoint::kFrontUi);
    if (c == nullptr) return std::nullopt;
    std::optional<korvane::Message> reply =
        c->Request("examples-test", KORVANE_REQ_GET_HEALTH, std::nullopt, 10000);
    if (!reply || reply->result != KORVANE_RESULT_OK) return std::nullopt;
    JsonPtr data = json_parse(reply->data);
    if (data == nullptr) return std::nullopt;
    Verdict v;
    const cJSON *verdict = cJSON_GetObjectItem(data.get(), "verdict");
    const cJSON *name = cJSON_GetObjectItem(data.get(), "name");
    const cJSON *last = cJSON_GetObjectItem(data.get(), "last_report");
    if (cJSON_IsString(verdict)) v.verdict = verdict->valuestring;
    if (cJSON_IsString(name)) v.name = name->valuestring;
    if (cJSON_IsNumber(last)) v.last_report = last->valuedouble;
    return v;
}

struct ExampleCase {
    const char *what;
    const char *name;  // the product's "name"
    bool shared;       // linked to libkorvane-client.so.0
};

class Examples : public vk_test::Installed, public ::testing::WithParamInterface<ExampleCase> {
protected:
    std::string ExamplesDir() const {
        return Prefix() + "/share/doc/libkorvane-client-dev/examples";
    }
    std::string Flags() const { return VK_CXX_EXTRA_FLAGS; }

    // Builds the case's example in a scratch directory; the program's path.
    std::string Build(const std::string &what) {
        const std::string dir = m_root.path() + "/build-" + std::to_string(m_builds++);
        const std::string cmake = std::string(Quote(VK_CMAKE));
        std::string commands, exe;
        if (what == "make") {
            // The installed Makefile as it is; the rpath finds the library
            // under the temporary prefix.
            commands = "cp -r " + Quote(ExamplesDir() + "/c") + " " + Quote(dir) +
                       " && PKG_CONFIG_PATH=" + Quote(LibPath() + "/pkgconfig") + " make -C " +
                       Quote(dir) + " CC=" + Quote(VK_CC) +
                       " CFLAGS=" + Quote("-O2 -g -Werror " + Flags()) +
                       " LDFLAGS=" + Quote("-Wl,-rpath," + LibPath() + " " + Flags());
            exe = dir + "/product";
        } else if (what == "cmake") {
            commands = "cp -r " + Quote(ExamplesDir() + "/cxx") + " " + Quote(dir) + " && " +
                       cmake + " -S " + Quote(dir) + " -B " + Quote(dir + "/build") +
                       " -DCMAKE_PREFIX_PATH=" + Quote(Prefix()) +
                       " -DCMAKE_CXX_COMPILER=" + Quote(VK_CXX) +
                       " -DCMAKE_CXX_FLAGS=" + Quote("-Werror " + Flags()) + " && " + cmake +
                       " --build " + Quote(dir + "/build");
            exe = dir + "/build/product";
        } else {
            // A project in C alone, on the archive: what the archive needs
            // beyond C must come with korvane::client_static.
            Sh("mkdir -p " + Quote(dir));
            vk_test::WriteFile(dir + "/CMakeLists.txt",
                               "cmake_minimum_required(VERSION 3.18)\n"
                               "project(static-product LANGUAGES C)\n"
                               "find_package(korvane-client 0.1 REQUIRED)\n"
                               "add_executable(product \"" +
                                   ExamplesDir() +
                                   "/c/product.c\")\n"
                                   "target_link_libraries(product PRIVATE "
                                   "korvane::client_static)\n");
            commands = cmake + " -S " + Quote(dir) + " -B " + Quote(dir + "/build") +
                       " -DCMAKE_PREFIX_PATH=" + Quote(Prefix()) +
                       " -DCMAKE_C_COMPILER=" + Quote(VK_CC) +
                       " -DCMAKE_C_FLAGS=" + Quote("-Werror " + Flags()) + " && " + cmake +
                       " --build " + Quote(dir + "/build");
            exe = dir + "/build/product";
        }
        ShellOutput built = Sh(commands);
        EXPECT_EQ(built.status, 0) << built.text;
        return built.status == 0 ? exe : "";
    }

    int m_builds = 0;
};

TEST_P(Examples, ProductRegistersReportsAndUnregistersOnSigterm) {
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root: a daemon under test accepts products only from root";
    const ExampleCase &c = GetParam();
    if (std::string(c.what) == "make" && !vk_test::Have("make"))
        GTEST_SKIP() << "make is not installed";
    if (std::string(c.what) == "make" && !vk_test::Have("pkg-config"))
        GTEST_SKIP() << "pkg-config is not installed";
    ASSERT_NO_FATAL_FAILURE(StartDaemon());
    const std::string exe = Build(c.what);
    ASSERT_FALSE(exe.empty());
    const std::string needed = Sh("readelf -d " + Quote(exe)).text;
    EXPECT_EQ(needed.find("[libkorvane-client.so.0]") != std::string::npos, c.shared) << needed;

    const std::string uuid = std::string("example-") + c.what;
    const std::string out = m_root.path() + "/" + c.what + ".out";
    std::optional<int> status;
    {
        vk_test::ScopedRootEnv env(m_daemonRoot.path());
        vk_test::ChildProcess product({exe, uuid}, "", out);
        // Protected, by this product, and its reports keep coming.
        auto reports_arrive = [&] {
            double first = 0;
            return vk_test::WaitFor(
                [&] {
                    std::optional<Verdict> v = AskHealth(m_daemonRoot.path());
                    if (!v || v->verdict != "protected" || v->name != c.name || v->last_report == 0)
                        return false;
                    if (first == 0) first = v->last_report;
                    return v->last_report > first;
                },
                15000);
        };
        EXPECT_TRUE(reports_arrive()) << vk_test::ReadFile(out);
        // Over a restart of the daemon as well: the next report finds the
        // connection closed and goes on a new one.
        m_daemon->Stop();
        ASSERT_NO_FATAL_FAILURE(StartDaemon());
        EXPECT_TRUE(reports_arrive()) << vk_test::ReadFile(out);
        status = product.Stop(SIGTERM);
    }
    ASSERT_TRUE(status) << "the product did not end on SIGTERM";
    EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << *status;
    const std::string said = vk_test::ReadFile(out);
    EXPECT_NE(said.find("registered " + uuid + " (success)\n"), std::string::npos) << said;
    EXPECT_NE(said.find("unregistered " + uuid + " (success)\n"), std::string::npos) << said;
    std::optional<Verdict> after = AskHealth(m_daemonRoot.path());
    ASSERT_TRUE(after);
    EXPECT_EQ(after->name, "");
}

INSTANTIATE_TEST_SUITE_P(Built, Examples,
                         ::testing::Values(ExampleCase{"make", "Example product (C)", true},
                                           ExampleCase{"cmake", "Example product (C++)", true},
                                           ExampleCase{"static", "Example product (C)", false}),
                         [](const ::testing::TestParamInfo<ExampleCase> &info) {
                             return std::string(info.param.what);
                         });

}  // namespace
