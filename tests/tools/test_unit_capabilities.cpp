// The daemon confined as the shipped unit confines it: the capability
// bounding set named by the installed unit, no new privileges, and /proc
// mounted with the unit's ProtectProc= and ProcSubset=. It must still tell
// who a peer of another user is ("exe: ..." in the peer line) and still
// store what it is told in files it owns. The same run with no capability
// at all shows what the test detects: the peer's executable unreadable.
#include <gtest/gtest.h>
#include <limits.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "client/korvane_client.h"
#include "support/as_user.h"
#include "support/build_tree.h"
#include "support/daemon_process.h"
#include "support/shell.h"
#include "support/temp_root.h"

using vk_test::DaemonProcess;
using vk_test::Quote;
using vk_test::Sh;
using vk_test::TempRoot;

namespace {

// The value of the last `key=` line of a unit ("" when absent or reset).
// For CapabilityBoundingSet=, later lines add to earlier ones and an empty
// one resets the list, as systemd reads them.
std::string UnitValue(const std::string &unit, const std::string &key, bool accumulate) {
    std::istringstream in(unit);
    std::string line, value;
    while (std::getline(in, line)) {
        if (line.rfind(key + "=", 0) != 0) continue;
        std::string v = line.substr(key.size() + 1);
        if (accumulate && !v.empty() && !value.empty())
            value += " " + v;
        else
            value = v;
    }
    return value;
}

// "CAP_SYS_PTRACE CAP_KILL" -> "-all,+sys_ptrace,+kill" for setpriv.
std::string SetprivBoundingSet(const std::string &caps) {
    std::string out = "-all";
    std::istringstream in(caps);
    std::string cap;
    while (in >> cap) {
        std::transform(cap.begin(), cap.end(), cap.begin(),
                       [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
        if (cap.rfind("cap_", 0) == 0) cap.erase(0, 4);
        out += ",+" + cap;
    }
    return out;
}

// ProtectProc= and ProcSubset= as options of a proc mount.
std::string ProcMountOptions(const std::string &unit) {
    std::string opts = "nosuid,nodev,noexec";
    std::string protect = UnitValue(unit, "ProtectProc", false);
    if (!protect.empty() && protect != "default") opts += ",hidepid=" + protect;
    if (UnitValue(unit, "ProcSubset", false) == "pid") opts += ",subset=pid";
    return opts;
}

// A command line that runs the daemon in a mount namespace of its own with
// a fresh /proc, under a reduced capability bounding set.
std::vector<std::string> Confinement(const std::string &proc_options,
                                     const std::string &bounding_set) {
    return {"unshare",
            "--mount",
            "--propagation",
            "private",
            "sh",
            "-c",
            "mount -t proc -o \"$1\" proc /proc && shift && exec \"$@\"",
            "confine",
            proc_options,
            "setpriv",
            "--no-new-privs",
            "--bounding-set=" + bounding_set,
            "--inh-caps=-all",
            "--ambient-caps=-all"};
}

// What the daemon logged as the executable of the peer `pid` ("" before
// the line is written).
std::string LoggedExe(const std::string &log, pid_t pid) {
    std::string key = ",pid: " + std::to_string(pid) + ",uid: " + std::to_string(vk_test::kNobody) +
                      ",gid: " + std::to_string(vk_test::kNobody) + ",exe: ";
    size_t p = log.find(key);
    if (p == std::string::npos) return "";
    p += key.size();
    return log.substr(p, log.find('\n', p) - p);
}

std::string SelfExe() {
    char buf[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", buf, sizeof(buf) - 1);
    return std::string(buf, n > 0 ? static_cast<size_t>(n) : 0);
}

class UnitConfinement : public ::testing::Test {
protected:
    void SetUp() override {
        if (geteuid() != 0)
            GTEST_SKIP() << "needs root: runs the daemon with a reduced capability set and a "
                            "peer as another user";
        for (const char *tool : {"unshare", "setpriv", "mount"})
            if (!vk_test::Have(tool)) GTEST_SKIP() << tool << " is not installed (util-linux)";
        vk_test::ShellOutput o = Sh(std::string(Quote(VK_CMAKE)) + " --install " +
                                    Quote(VK_BUILD_DIR) + " --prefix " + Quote(m_prefix.path()));
        ASSERT_EQ(o.status, 0) << o.text;
        m_unit = vk_test::ReadFile(m_prefix.path() + "/" +
                                   vk_test::BuildCacheValue("VK_SYSTEMD_UNIT_DIR") +
                                   "/veskkorvaned.service");
        ASSERT_NE(m_unit, "");
        ASSERT_EQ(UnitValue(m_unit, "CapabilityBoundingSet", true).find('~'), std::string::npos)
            << "only a list of capabilities to keep is understood here";
        std::string probe = "unshare --mount --propagation private mount -t proc -o " +
                            Quote(ProcMountOptions(m_unit)) + " proc /proc";
        o = Sh(probe);
        if (o.status != 0) GTEST_SKIP() << "needs root allowed to mount /proc: " << o.text;
    }

    TempRoot m_prefix;
    std::string m_unit;
};

struct ConfinementCase {
    const char *name;
    bool unit_capabilities;  // false: an empty bounding set
    bool exe_readable;
};

const ConfinementCase kConfinementCases[] = {
    {"capabilities of the unit", true, true},
    {"no capability", false, false},
};

TEST_F(UnitConfinement, PeerOfAnotherUserIdentifiedAndRegistryWritten) {
    const std::string self = SelfExe();
    ASSERT_NE(self, "");
    for (const ConfinementCase &c : kConfinementCases) {
        SCOPED_TRACE(c.name);
        std::string caps =
            c.unit_capabilities ? UnitValue(m_unit, "CapabilityBoundingSet", true) : std::string();
        TempRoot root;
        DaemonProcess daemon(root.path(), {"--foreground"}, VK_DAEMON_PATH, 0,
                             Confinement(ProcMountOptions(m_unit), SetprivBoundingSet(caps)));
        ASSERT_TRUE(daemon.WaitListening()) << daemon.Log();

        // A peer of another user, connected until the object goes away.
        const std::string socket = vk_test::TryOutName(root.path(), korvane::Endpoint::kSecSoft);
        vk_test::OtherUserProcess peer(
            [&] { return std::string(vk_test::ConnectAbstract(socket) >= 0 ? "connected" : ""); });
        ASSERT_EQ(peer.WaitResult(), std::optional<std::string>("connected"));
        std::string exe;
        ASSERT_TRUE(vk_test::WaitFor([&] {
            return !(exe = LoggedExe(daemon.Log(), peer.pid())).empty();
        })) << daemon.Log();
        EXPECT_EQ(exe, c.exe_readable ? self : "?");

        // Its database and log are root's, so root needs no capability to
        // write them.
        vk_test::ScopedRootEnv env(root.path());
        korvane::Client product = vk_test::TryOutClient();
        ASSERT_TRUE(product.Connect(korvane::Endpoint::kSecSoft)) << product.error();
        ASSERT_TRUE(product.SendRequest("8b0e7c1d-2f3a-4b5c-9d6e-7f8a9b0c1d2e", 1, 2000,
                                        std::string(R"({"name":"Acme AV","exec":"/opt/acme"})")))
            << product.error();
        std::optional<korvane::Message> reply = product.ReadMessage(10000);
        ASSERT_TRUE(reply) << product.error();
        EXPECT_EQ(reply->result, 0) << reply->json;
        EXPECT_EQ(daemon.Stop(), 0) << daemon.Log();
    }
}

}  // namespace
