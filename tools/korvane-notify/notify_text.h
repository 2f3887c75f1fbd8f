// The words of a notification, in the user's language (gettext, domain
// "korvane-notify"). A reason is translated by its stable code; a code this
// program does not know falls back to the daemon's English reason, so a
// newer daemon is never shown as silence.
#pragma once

#include <string>

#include "korvane-notify/notify_state.h"

constexpr const char *kNotifyTextDomain = "korvane-notify";

struct notify_text_t {
    std::string summary;
    std::string body;
};

// The reason for `code` about `product`, translated; "" for an unknown code.
std::string notify_reason(const std::string &code, const std::string &product);

// What to show for `kind` (not kNone) with the facts of the moment.
notify_text_t notify_text(notify_kind kind, const notify_facts_t &facts);
