#include "korvane-notify/agent.h"

NotifyAgent::NotifyAgent(sd_event *ev)
    : m_watch(ev, [this](const notify_facts_t *f) { Facts(f); }),
      m_desktop(ev,
                DesktopNotify::Hooks{[this](uint32_t id) { Done(id); }, [this] { Deliver(); }}) {}

void NotifyAgent::Start() {
    m_desktop.Start();
    m_watch.Start();
}

void NotifyAgent::Facts(const notify_facts_t *facts) {
    if (facts == nullptr)
        m_state.Forget();
    else if (m_state.Update(*facts))
        Deliver();
}

// Shows what is owed, if anything; one call at a time: what changes
// meanwhile is looked at when it ends.
void NotifyAgent::Deliver() {
    if (m_desktop.busy()) return;
    const notify_kind kind = m_state.Pending();
    if (kind == notify_kind::kNone) return;
    const bool critical = kind == notify_kind::kNotSafe;
    if (m_desktop.Show(notify_text(kind, m_state.facts()), critical,
                       critical ? 0 : m_state.ReplacesId()))
        m_showing = kind;
}

void NotifyAgent::Done(uint32_t id) {
    const notify_kind shown = m_showing;
    m_showing = notify_kind::kNone;
    // Not shown: owed until a server appears or the facts change.
    if (id == 0) return;
    m_state.Shown(shown, id);
    Deliver();
}
