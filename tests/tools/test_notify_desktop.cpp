// korvane-notify against real parts: the daemon on a private system bus
// with the shipped policy, a private session bus, and a real notification
// server, dunst on Xvfb, whose history shows what the person saw. A
// product that runs and reports is killed: the critical notification comes
// within the grace and a few seconds; it comes back: the normal one
// replaces it. Under LANGUAGE=zh_CN the words are Chinese. Restarting the
// daemon or the session bus neither ends the agent nor repeats anything.
// Skipped, with the reason, where dunst, Xvfb or dbus-daemon is missing.
#include <cjson/cJSON.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include "support/child_process.h"
#include "support/daemon_process.h"
#include "support/private_bus.h"
#include "support/shell.h"
#include "support/temp_root.h"
#include "tools/ctl_runner.h"

namespace {

using vk_test::ChildProcess;
using vk_test::Quote;
using vk_test::Sh;

std::string Which(const char *program) {
    vk_test::ShellOutput o = Sh(std::string("command -v ") + program);
    if (o.status != 0) return "";
    std::string path = o.text;
    while (!path.empty() && path.back() == '\n') path.pop_back();
    return path;
}

struct Seen {
    std::string summary, body;
    long id = 0;
};

class NotifyDesktop : public ::testing::Test {
protected:
    void SetUp() override {
        for (const char *p : {"dunst", "dunstctl", "Xvfb", "dbus-daemon"})
            if (Which(p).empty())
                GTEST_SKIP() << p << " is not installed (Debian packages dunst, xvfb, dbus-daemon)";
        ASSERT_TRUE(m_system.ok()) << m_system.error();
        ASSERT_TRUE(m_session.ok()) << m_session.error();
        m_daemon_bus = std::make_unique<vk_test::ScopedDaemonBus>(m_system.address());
        m_env.push_back(
            std::make_unique<vk_test::ScopedEnv>("DBUS_SYSTEM_BUS_ADDRESS", m_system.address()));
        m_env.push_back(
            std::make_unique<vk_test::ScopedEnv>("DBUS_SESSION_BUS_ADDRESS", m_session.address()));
        ASSERT_NO_FATAL_FAILURE(StartX());
        ASSERT_NO_FATAL_FAILURE(StartDunst());
        vk_test::WriteDaemonSettings(m_root, "[liveness]\ngrace = 1\n");
        m_daemon = std::make_unique<vk_test::DaemonProcess>(m_root.path());
        ASSERT_TRUE(m_daemon->WaitListening());
        m_program = vk_test::SleepProgram(m_root.path(), "avd");
    }

    // Xvfb on a display of this test's own (tests run side by side): a
    // number from the pid, the next one when it is taken.
    void StartX() {
        const std::string out = m_root.Under("/xvfb.out");
        for (int attempt = 0; attempt < 10; ++attempt) {
            const std::string display =
                std::to_string(100 + (static_cast<int>(getpid()) + attempt * 97) % 800);
            if (access(("/tmp/.X" + display + "-lock").c_str(), F_OK) == 0) continue;
            m_x = std::make_unique<ChildProcess>(
                std::vector<std::string>{Which("Xvfb"), ":" + display, "-nolisten", "tcp"}, "",
                out);
            const std::string socket = "/tmp/.X11-unix/X" + display;
            int status;
            bool ended = false;
            const bool up = vk_test::WaitFor([&] {
                ended = waitpid(m_x->pid(), &status, WNOHANG) == m_x->pid();
                return ended || access(socket.c_str(), F_OK) == 0;
            });
            if (!up || ended) continue;
            m_env.push_back(std::make_unique<vk_test::ScopedEnv>("DISPLAY", ":" + display));
            return;
        }
        FAIL() << "Xvfb did not start: " << vk_test::ReadFile(out);
    }

    void StartDunst() {
        for (int attempt = 0; attempt < 3; ++attempt) {
            m_dunst = std::make_unique<ChildProcess>(std::vector<std::string>{Which("dunst")}, "",
                                                     m_root.Under("/dunst.out"));
            if (vk_test::WaitFor([] { return Sh("dunstctl count displayed").status == 0; })) return;
        }
        FAIL() << "dunst did not start: " << vk_test::ReadFile(m_root.Under("/dunst.out"));
    }

    // The agent, in `language`, with the build's catalogues.
    void StartAgent(const std::string &language) {
        vk_test::ScopedEnv lang("LANGUAGE", language);
        vk_test::ScopedEnv all("LC_ALL", "C.UTF-8");
        vk_test::ScopedEnv dir("KORVANE_NOTIFY_LOCALEDIR", VK_BUILD_DIR "/locale");
        m_agent = std::make_unique<ChildProcess>(std::vector<std::string>{VK_NOTIFY_PATH}, "",
                                                 AgentLog());
    }
    std::string AgentLog() const { return m_root.Under("/agent.out"); }

    void Ctl(const std::vector<std::string> &args) {
        vk_test::CtlResult r = vk_test::RunCtl(m_root.path(), args);
        ASSERT_EQ(r.exit_code, 0) << r.out << r.err;
    }
    // A product whose program runs and reports protection on.
    std::unique_ptr<ChildProcess> Protect() {
        auto product = vk_test::RunSleeping(m_program);
        Ctl({"register", "--uuid", "av-1", "--name", "Acme AV", "--exec", m_program});
        Ctl({"report", "--uuid", "av-1", R"({"protection":"on"})"});
        return product;
    }

    // What dunst has shown, oldest first (shown ones closed into its
    // history first).
    std::vector<Seen> History() {
        Sh("dunstctl close-all");
        vk_test::ShellOutput o = Sh("dunstctl history");
        std::vector<Seen> out;
        cJSON *root = cJSON_Parse(o.text.c_str());
        const cJSON *data = cJSON_GetObjectItem(root, "data");
        const cJSON *list = cJSON_GetArrayItem(data, 0);
        const cJSON *n;
        cJSON_ArrayForEach(n, list) {
            auto text = [n](const char *key) {
                const cJSON *v = cJSON_GetObjectItem(cJSON_GetObjectItem(n, key), "data");
                return cJSON_IsString(v) ? std::string(v->valuestring) : std::string();
            };
            const cJSON *id = cJSON_GetObjectItem(cJSON_GetObjectItem(n, "id"), "data");
            out.insert(out.begin(),
                       Seen{text("summary"), text("body"),
                            cJSON_IsNumber(id) ? static_cast<long>(id->valuedouble) : 0});
        }
        cJSON_Delete(root);
        return out;
    }
    // Waits until dunst shows `count` notifications (displayed or closed).
    bool WaitShown(size_t count, int timeout_ms = 10000) {
        return vk_test::WaitFor(
            [&] {
                vk_test::ShellOutput d = Sh("dunstctl count displayed");
                vk_test::ShellOutput h = Sh("dunstctl count history");
                return static_cast<size_t>(atoi(d.text.c_str()) + atoi(h.text.c_str())) >= count;
            },
            timeout_ms);
    }

    vk_test::TempRoot m_root;
    vk_test::PrivateBus m_system;
    vk_test::PrivateBus m_session{vk_test::BusKind::kSession};
    std::unique_ptr<vk_test::ScopedDaemonBus> m_daemon_bus;
    std::vector<std::unique_ptr<vk_test::ScopedEnv>> m_env;
    std::unique_ptr<ChildProcess> m_x, m_dunst, m_agent;
    std::unique_ptr<vk_test::DaemonProcess> m_daemon;
    std::string m_program;
};

TEST_F(NotifyDesktop, KilledProductThenBack) {
    auto product = Protect();
    StartAgent("en");
    // Protected at start: nothing to say.
    EXPECT_FALSE(WaitShown(1, 1500)) << vk_test::ReadFile(AgentLog());

    product->Kill();
    // Within the grace (1 s) and a few seconds.
    ASSERT_TRUE(WaitShown(1, 6000)) << vk_test::ReadFile(AgentLog());
    // The person closes it (were it still shown, the next would take its
    // place on the screen).
    std::vector<Seen> seen = History();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].summary, "Your computer is not protected");
    EXPECT_NE(seen[0].body.find("Acme AV"), std::string::npos) << seen[0].body;
    // One change, one notification: none more while the product stays
    // gone, its loss after the grace included.
    EXPECT_FALSE(WaitShown(2, 2500));

    product = Protect();
    ASSERT_TRUE(WaitShown(2)) << vk_test::ReadFile(AgentLog());
    EXPECT_FALSE(WaitShown(3, 1500));
    seen = History();
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[1].summary, "Your computer is protected again");
    EXPECT_EQ(seen[1].id, seen[0].id) << "it replaces the first";
    EXPECT_EQ(vk_test::ReadFile(AgentLog()), "");
}

TEST_F(NotifyDesktop, NotProtectedAtStartInChinese) {
    StartAgent("zh_CN");
    ASSERT_TRUE(WaitShown(1)) << vk_test::ReadFile(AgentLog());
    const std::vector<Seen> seen = History();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].summary, "您的计算机未受保护");
    EXPECT_EQ(seen[0].body, "没有正在运行的安全软件。");
}

TEST_F(NotifyDesktop, RestartsOfTheDaemonAndTheSessionBus) {
    StartAgent("en");
    ASSERT_TRUE(WaitShown(1)) << vk_test::ReadFile(AgentLog());

    // The daemon restarts with the same verdict: nothing new.
    m_daemon.reset();
    m_daemon = std::make_unique<vk_test::DaemonProcess>(m_root.path());
    ASSERT_TRUE(m_daemon->WaitListening());
    EXPECT_FALSE(WaitShown(2, 3000));

    // The session bus and the server go and come back: nothing new either.
    m_dunst.reset();
    m_session.Kill();
    ASSERT_TRUE(m_session.Start());
    ASSERT_NO_FATAL_FAILURE(StartDunst());
    EXPECT_FALSE(WaitShown(1, 3000)) << "repeated after the session bus came back";

    // Still following: protected again reaches the new server.
    auto product = Protect();
    ASSERT_TRUE(WaitShown(1, 10000)) << vk_test::ReadFile(AgentLog());
    EXPECT_EQ(History().at(0).summary, "Your computer is protected again");
    const std::string log = vk_test::ReadFile(AgentLog());
    EXPECT_NE(log.find("veskkorvaned is not on the system bus; waiting for it"), std::string::npos)
        << log;
    EXPECT_NE(log.find("the session bus went away; waiting for it"), std::string::npos) << log;
    EXPECT_NE(log.find("connected to the session bus again"), std::string::npos) << log;
}

}  // namespace
