// One connection to a message bus that comes back by itself.
//
// The connection lives on an sd-event loop. When it cannot be made, or the
// bus goes away, one line goes to standard error and a timer tries again
// after 1 s, then twice as long each time up to 60 s; nothing else wakes
// the loop. The owner hears of each connection made (to add its matches
// and ask for the state) and lost, and sees every message the bus sends
// (a filter: replies to its own calls go to their callbacks first).
#pragma once

#include <systemd/sd-bus.h>
#include <systemd/sd-event.h>

#include <functional>
#include <string>

class BusLink {
public:
    enum class Kind { kSystem, kSession };
    struct Hooks {
        std::function<void(sd_bus *)> connected;
        std::function<void()> lost;
        // Every message from the bus; true when it was the owner's.
        std::function<bool(sd_bus_message *)> message;
    };

    BusLink(Kind kind, sd_event *ev, Hooks hooks);
    ~BusLink();
    BusLink(const BusLink &) = delete;
    BusLink &operator=(const BusLink &) = delete;

    // Connects now, or arms the timer to try again.
    void Start();
    sd_bus *bus() const { return m_bus; }
    const char *name() const { return m_kind == Kind::kSystem ? "system bus" : "session bus"; }
    // Asks the bus to send the messages `rule` matches (AddMatch).
    void AddMatch(const std::string &rule);

private:
    static int on_message(sd_bus_message *m, void *self, sd_bus_error *);
    static int on_retry(sd_event_source *, uint64_t, void *self);
    static int on_drop(sd_event_source *, void *self);
    void Connect();
    void Drop();
    void Retry();

    Kind m_kind;
    sd_event *m_ev;
    Hooks m_hooks;
    sd_bus *m_bus = nullptr;
    sd_event_source *m_timer = nullptr;
    sd_event_source *m_drop = nullptr;
    int m_wait_ms = 1000;
    bool m_down_said = false;  // this outage has its line
};
