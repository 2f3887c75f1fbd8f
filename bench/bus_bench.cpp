// The bus's cost, measured against the real daemon under a temporary root
// and a private dbus-daemon (tests/support): a program of its own, never
// part of the test suite.
//
// 1. One change of state (a status report that flips the verdict) with the
//    bus on and with [dbus] mode = off: the daemon's CPU time per report,
//    whose difference is what the PropertiesChanged and the Notification
//    signal cost it, and the report's round trip.
// 2. Request 1005 and 1001 round trips on the front-UI socket, alone and
//    while another thread reads the properties over the bus 1000 times a
//    second (Get and GetAll in turn).
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "bench_util.h"
#include "client/korvane_client.h"
#include "support/bus_client.h"
#include "support/daemon_process.h"
#include "support/private_bus.h"
#include "support/temp_root.h"

using vk_bench::NowNs;

namespace {

constexpr int kReports = 4000;
constexpr int kQueries = 5000;
constexpr int kReadsPerSecond = 1000;

struct Daemon {
    vk_test::TempRoot root;
    std::unique_ptr<vk_test::DaemonProcess> process;
    std::unique_ptr<korvane::Client> ui, sec;
    uint64_t id = 1;

    explicit Daemon(const std::string &conf) {
        vk_test::WriteDaemonSettings(root, conf);
        process = std::make_unique<vk_test::DaemonProcess>(root.path());
        process->WaitListening();
        ui = std::make_unique<korvane::Client>(vk_test::TryOutClient());
        sec = std::make_unique<korvane::Client>(vk_test::TryOutClient());
        ui->Connect(vk_test::TryOutName(root.path(), korvane::Endpoint::kFrontUi));
        sec->Connect(vk_test::TryOutName(root.path(), korvane::Endpoint::kSecSoft));
        Ask(*ui, "ui-1", 1000,
            R"({"name":"ui","login_uid":-1,"euid":)" + std::to_string(geteuid()) + R"(,"pid":)" +
                std::to_string(getpid()) + "}");
        Ask(*sec, "av-1", 2000, R"({"name":"Acme AV","exec":"/opt/acme/avd"})");
    }
    // The round trip in nanoseconds, notifications skipped; -1 on failure.
    int64_t Ask(korvane::Client &c, const std::string &uuid, uint32_t type,
                const std::optional<std::string> &data = std::nullopt) {
        int64_t t0 = NowNs();
        if (!c.SendRequest(uuid, ++id, type, data)) return -1;
        auto m = c.ReadMessage(5000);
        while (m && !m->has_result) m = c.ReadMessage(5000);
        return m ? NowNs() - t0 : -1;
    }
};

void PrintStats(const char *what, const std::vector<int64_t> &samples, double seconds) {
    vk_bench::Stats s = vk_bench::Summarise(samples, seconds);
    printf("  %-44s median %7.1f us  p99 %7.1f us  (%zu)\n", what, s.median_us, s.p99_us, s.count);
}

void ChangeCost(const std::string &address) {
    printf("one change of state (status report flipping the verdict), %d reports:\n", kReports);
    for (bool on : {false, true}) {
        Daemon d(on ? "" : "[dbus]\nmode = off\n");
        std::unique_ptr<vk_test::BusClient> listener;
        if (on) {
            listener = std::make_unique<vk_test::BusClient>(address);
            vk_test::WaitFor([&] { return listener->HasOwner(vk_test::kRegistryName); });
        }
        std::vector<int64_t> rtt;
        long cpu0 = d.process->CpuMs();
        int64_t t0 = NowNs();
        for (int i = 0; i < kReports; ++i)
            rtt.push_back(d.Ask(*d.sec, "av-1", 2002,
                                i % 2 ? R"({"protection":"on"})" : R"({"protection":"off"})"));
        double seconds = static_cast<double>(NowNs() - t0) / 1e9;
        long cpu = d.process->CpuMs() - cpu0;
        size_t signals = 0;
        if (listener) {
            listener->Sync();
            signals = listener->Take().size();
        }
        printf("  bus %-3s: daemon CPU %.1f us per report, %zu signals received\n",
               on ? "on" : "off", 1000.0 * static_cast<double>(cpu) / kReports, signals);
        PrintStats(on ? "  report round trip, bus on" : "  report round trip, bus off", rtt,
                   seconds);
    }
}

void QueriesUnderReads(const std::string &address) {
    printf("front-UI queries, %d each, alone and under %d bus reads per second:\n", kQueries,
           kReadsPerSecond);
    Daemon d("");
    vk_test::BusClient probe(address, false);
    vk_test::WaitFor([&] { return probe.HasOwner(vk_test::kRegistryName); });
    for (bool loaded : {false, true}) {
        std::atomic<bool> stop{false};
        std::atomic<long> reads{0}, failed{0};
        std::thread reader;
        if (loaded)
            reader = std::thread([&] {
                vk_test::BusClient c(address, false);
                const int64_t period = 1000000000LL / kReadsPerSecond;
                int64_t next = NowNs();
                for (long i = 0; !stop.load(); ++i) {
                    bool ok = i % 2 ? c.GetAll().has_value() : c.Get("Verdict").has_value();
                    ++(ok ? reads : failed);
                    next += period;
                    int64_t wait = next - NowNs();
                    if (wait > 0) usleep(static_cast<useconds_t>(wait / 1000));
                }
            });
        int64_t t0 = NowNs();
        for (uint32_t type : {1005u, 1001u}) {
            std::vector<int64_t> rtt;
            int64_t s0 = NowNs();
            for (int i = 0; i < kQueries; ++i) rtt.push_back(d.Ask(*d.ui, "ui-1", type));
            std::string what =
                "request " + std::to_string(type) + (loaded ? ", bus reads" : ", alone");
            PrintStats(what.c_str(), rtt, static_cast<double>(NowNs() - s0) / 1e9);
        }
        stop = true;
        if (reader.joinable()) reader.join();
        if (loaded)
            printf("  bus reads: %ld done (%.0f per second), %ld failed\n", reads.load(),
                   static_cast<double>(reads.load()) / (static_cast<double>(NowNs() - t0) / 1e9),
                   failed.load());
    }
}

}  // namespace

int main() {
    vk_test::PrivateBus bus;
    if (!bus.ok()) {
        fprintf(stderr, "bus_bench: %s\n", bus.error().c_str());
        return 1;
    }
    vk_test::ScopedDaemonBus daemon_bus(bus.address());
    ChangeCost(bus.address());
    QueriesUnderReads(bus.address());
    return 0;
}
