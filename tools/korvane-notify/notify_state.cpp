#include "korvane-notify/notify_state.h"

bool NotifyState::Update(const notify_facts_t &facts) {
    const bool same = m_known && facts.verdict == m_facts.verdict &&
                      facts.reasons == m_facts.reasons && facts.codes == m_facts.codes &&
                      facts.product_name == m_facts.product_name;
    m_facts = facts;
    m_known = true;
    return !same;
}

notify_kind NotifyState::Pending() const {
    if (!m_known) return notify_kind::kNone;
    const bool safe = m_facts.verdict == "protected";
    if (safe == m_told_safe) return notify_kind::kNone;
    return safe ? notify_kind::kSafeAgain : notify_kind::kNotSafe;
}

void NotifyState::Shown(notify_kind kind, uint32_t id) {
    if (kind == notify_kind::kNotSafe) {
        m_told_safe = false;
        m_not_safe_id = id;
    } else if (kind == notify_kind::kSafeAgain) {
        m_told_safe = true;
        m_not_safe_id = 0;
    }
}
