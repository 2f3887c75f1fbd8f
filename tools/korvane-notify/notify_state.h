// What the person at the desktop has been told, and what to tell them next.
//
// Pure: facts in (the daemon's verdict, or none while the daemon is away),
// a decision out; no bus, no clock. The person starts out assuming the
// computer is protected, so the first facts only speak when it is not.
// Afterwards only a change between protected and not protected speaks
// (at-risk and unknown are both "not protected"), once: a notification that
// could not be shown is owed until it can be, and is then shown for the
// facts of that moment.
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

// The daemon's answer, as org.korvane.Registry1 shows it.
struct notify_facts_t {
    std::string verdict;  // "protected", "at-risk" or "unknown"
    std::vector<std::string> reasons;
    std::vector<std::string> codes;
    std::string product_name;  // "" when no product is active
};

enum class notify_kind {
    kNone,       // nothing to show
    kNotSafe,    // critical: the computer is not protected
    kSafeAgain,  // normal: protected again, replacing the last kNotSafe
};

class NotifyState {
public:
    // The facts now; false when they are the same as before.
    bool Update(const notify_facts_t &facts);
    // The daemon went away: its last facts are no longer known, and nothing
    // is decided until it answers again.
    void Forget() { m_known = false; }
    // What to show for the facts held (kNone while the daemon is away).
    notify_kind Pending() const;
    // The notification of `kind` was shown with server id `id`.
    void Shown(notify_kind kind, uint32_t id);
    // The id of the last kNotSafe shown, for a kSafeAgain to replace; 0 when
    // there is none to replace.
    uint32_t ReplacesId() const { return m_not_safe_id; }
    const notify_facts_t &facts() const { return m_facts; }

private:
    notify_facts_t m_facts;
    bool m_known = false;
    bool m_told_safe = true;  // what the person believes
    uint32_t m_not_safe_id = 0;
};
