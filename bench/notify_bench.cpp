// korvane-notify's cost, against the real daemon under a temporary root on
// a private system bus, and a private session bus on which this program
// serves org.freedesktop.Notifications itself and notes when each Notify
// arrives: a program of its own, never part of the test suite.
//
// 1. From a verdict change to the notification: a status report that turns
//    protection off (or on again), timed from before the report is sent
//    (over a kept connection, as a product's) to the Notify call,
//    alternating, --rounds times: median and p99.
// 2. Idle: the agent's context switches (its wake-ups) and CPU time over
//    --idle seconds in which nothing changes.
//
//   notify_bench [--rounds N] [--idle SECONDS]
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "bench_util.h"
#include "support/child_process.h"
#include "support/daemon_process.h"
#include "support/private_bus.h"
#include "support/temp_root.h"
#include "tools/ctl_runner.h"

using vk_bench::NowNs;

namespace {

// The notification server: Notify notes its time and summary.
struct Server {
    std::mutex lock;
    std::vector<std::pair<int64_t, std::string>> seen;
    std::atomic<bool> stop{false};
    uint32_t next_id = 1;
};

int OnNotify(sd_bus_message *m, void *data, sd_bus_error *) {
    const int64_t at = NowNs();
    auto *s = static_cast<Server *>(data);
    const char *app = nullptr, *icon = nullptr, *summary = nullptr, *body = nullptr;
    uint32_t replaces = 0;
    sd_bus_message_read(m, "susss", &app, &replaces, &icon, &summary, &body);
    std::lock_guard<std::mutex> g(s->lock);
    s->seen.push_back({at, summary != nullptr ? summary : ""});
    return sd_bus_reply_method_return(m, "u", replaces != 0 ? replaces : s->next_id++);
}

int OnCaps(sd_bus_message *m, void *, sd_bus_error *) {
    return sd_bus_reply_method_return(m, "as", 1, "body");
}

const sd_bus_vtable kVtable[] = {
    SD_BUS_VTABLE_START(0),
    SD_BUS_METHOD("Notify", "susssasa{sv}i", "u", OnNotify, 0),
    SD_BUS_METHOD("GetCapabilities", "", "as", OnCaps, 0),
    SD_BUS_VTABLE_END,
};

void Serve(const std::string &address, Server *s, std::atomic<bool> *ready) {
    sd_bus *bus = nullptr;
    if (sd_bus_new(&bus) < 0 || sd_bus_set_address(bus, address.c_str()) < 0 ||
        sd_bus_set_bus_client(bus, 1) < 0 || sd_bus_start(bus) < 0 ||
        sd_bus_add_object_vtable(bus, nullptr, "/org/freedesktop/Notifications",
                                 "org.freedesktop.Notifications", kVtable, s) < 0 ||
        sd_bus_request_name(bus, "org.freedesktop.Notifications", 0) < 0) {
        fprintf(stderr, "notify_bench: cannot serve notifications\n");
        exit(1);
    }
    *ready = true;
    while (!s->stop) {
        int r = sd_bus_process(bus, nullptr);
        if (r == 0) sd_bus_wait(bus, 100000);
    }
    sd_bus_flush_close_unref(bus);
}

// The context switches of a process so far: each is a wake-up of it.
long ContextSwitches(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    long n = 0;
    for (std::string line; std::getline(status, line);)
        if (line.find("ctxt_switches:") != std::string::npos)
            n += atol(line.c_str() + line.find(':') + 1);
    return n;
}

}  // namespace

int main(int argc, char **argv) {
    int rounds = 40, idle = 30;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (strcmp(argv[i], "--rounds") == 0) rounds = atoi(argv[i + 1]);
        if (strcmp(argv[i], "--idle") == 0) idle = atoi(argv[i + 1]);
    }
    vk_test::PrivateBus system;
    vk_test::PrivateBus session(vk_test::BusKind::kSession);
    if (!system.ok() || !session.ok()) {
        fprintf(stderr, "notify_bench: no private bus: %s%s\n", system.error().c_str(),
                session.error().c_str());
        return 1;
    }
    Server server;
    std::atomic<bool> ready{false};
    std::thread serving(Serve, session.address(), &server, &ready);
    while (!ready) usleep(1000);

    vk_test::TempRoot root;
    vk_test::ScopedDaemonBus daemon_bus(system.address());
    vk_test::DaemonProcess daemon(root.path());
    if (!daemon.WaitListening()) return 1;
    const std::string program = vk_test::SleepProgram(root.path(), "avd");
    auto product = vk_test::RunSleeping(program);
    vk_test::RunCtl(root.path(),
                    {"register", "--uuid", "av-1", "--name", "Acme", "--exec", program});
    vk_test::RunCtl(root.path(), {"report", "--uuid", "av-1", R"({"protection":"on"})"});

    setenv("DBUS_SYSTEM_BUS_ADDRESS", system.address().c_str(), 1);
    setenv("DBUS_SESSION_BUS_ADDRESS", session.address().c_str(), 1);
    vk_test::ChildProcess agent({VK_NOTIFY_PATH}, "", root.Under("/agent.out"));
    usleep(1000 * 1000);

    // The reports go over one kept connection, as a product's do.
    korvane::Client reporter = vk_test::TryOutClient();
    if (!reporter.Connect(vk_test::TryOutName(root.path(), korvane::Endpoint::kSecSoft))) return 1;
    std::vector<int64_t> samples;
    for (int i = 0; i < rounds; ++i) {
        const bool off = i % 2 == 0;
        size_t before;
        {
            std::lock_guard<std::mutex> g(server.lock);
            before = server.seen.size();
        }
        const int64_t start = NowNs();
        const auto reply = reporter.Request(
            "av-1", 2002, std::string(R"({"protection":")") + (off ? "off" : "on") + "\"}", 5000);
        if (!reply || reply->result != 0) {
            fprintf(stderr, "notify_bench: report %d not taken\n", i);
            return 1;
        }
        int64_t at = 0;
        for (int wait = 0; wait < 5000 && at == 0; ++wait) {
            {
                std::lock_guard<std::mutex> g(server.lock);
                if (server.seen.size() > before) at = server.seen[before].first;
            }
            if (at == 0) usleep(1000);
        }
        if (at == 0) {
            fprintf(stderr, "notify_bench: no notification in round %d\n", i);
            return 1;
        }
        samples.push_back(at - start);
    }
    const vk_bench::Stats change = vk_bench::Summarise(samples, 0);

    const long switches = ContextSwitches(agent.pid()), cpu = vk_test::ProcessCpuMs(agent.pid());
    const int64_t t0 = NowNs();
    sleep(static_cast<unsigned>(idle));
    const double secs = static_cast<double>(NowNs() - t0) / 1e9;

    printf(
        "verdict change to notification (from the report's send): median %.2f ms, p99 %.2f ms over "
        "%d changes\n",
        change.median_us / 1000, change.p99_us / 1000, rounds);
    printf("idle %.0f s: %ld context switches, %ld ms of CPU\n", secs,
           ContextSwitches(agent.pid()) - switches, vk_test::ProcessCpuMs(agent.pid()) - cpu);
    server.stop = true;
    serving.join();
    return 0;
}
