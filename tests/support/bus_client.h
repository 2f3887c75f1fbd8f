// A small sd-bus client for the tests: reads the daemon's properties, calls
// what the policy may refuse, and collects the daemon's signals. Calls wait
// (a test may); every one has a deadline.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

struct sd_bus;
struct sd_bus_slot;
struct sd_bus_message;

namespace vk_test {

constexpr const char *kRegistryName = "org.korvane.Registry1";
constexpr const char *kRegistryPath = "/org/korvane/Registry1";
constexpr const char *kRegistryInterface = "org.korvane.Registry1";

// A property's value as text: a string as it is, a number in decimal, an
// array of strings its items each followed by '\n'.
using BusValues = std::map<std::string, std::string>;

struct BusSignal {
    std::string member;  // "PropertiesChanged" or "Notification"
    BusValues changed;   // PropertiesChanged: the values it carries
    std::vector<std::string> invalidated;
    uint16_t type = 0;  // Notification
    std::string uuid, data;
};

class BusClient {
public:
    // Connects to the bus at `address` and, when `watch`, subscribes to the
    // signals of the daemon's object.
    explicit BusClient(const std::string &address, bool watch = true);
    ~BusClient();
    BusClient(const BusClient &) = delete;
    BusClient &operator=(const BusClient &) = delete;

    bool ok() const { return m_bus != nullptr; }
    const std::string &error() const { return m_error; }

    // Every property of the daemon's interface (GetAll); nullopt on error.
    std::optional<BusValues> GetAll();
    // One property (Get); nullopt on error.
    std::optional<std::string> Get(const std::string &property);
    // Calls interface.member without arguments (with `signature` and the
    // one string `arg` when given) on the daemon: "" on success, else the
    // error's name.
    std::string Call(const std::string &interface, const std::string &member,
                     const char *signature = nullptr, const std::string &arg = "");
    // RequestName on the bus itself: "" when granted, else the error's name
    // or "not primary owner".
    std::string RequestName(const std::string &name);
    // Whether the name has an owner now.
    bool HasOwner(const std::string &name);
    // The daemon's introspection XML; "" on error.
    std::string Introspect();

    // Pings the daemon: once its answer is here, every signal it sent
    // before has been collected. False when it does not answer.
    bool Sync();
    // The signals collected so far, in order; the list is emptied.
    std::vector<BusSignal> Take();

private:
    static int OnSignal(sd_bus_message *m, void *self, void *error);
    sd_bus *m_bus = nullptr;
    sd_bus_slot *m_match = nullptr;
    std::string m_error;
    std::vector<BusSignal> m_signals;
};

}  // namespace vk_test
