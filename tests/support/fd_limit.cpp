#include "support/fd_limit.h"

#include <algorithm>

namespace vk_test {

ScopedDescriptorLimit::ScopedDescriptorLimit(rlim_t want) {
    if (getrlimit(RLIMIT_NOFILE, &m_old) != 0 || m_old.rlim_max < want) return;
    struct rlimit raised = m_old;
    raised.rlim_cur = std::max(m_old.rlim_cur, want);
    m_raised = setrlimit(RLIMIT_NOFILE, &raised) == 0;
}

ScopedDescriptorLimit::~ScopedDescriptorLimit() {
    if (m_raised) setrlimit(RLIMIT_NOFILE, &m_old);
}

}  // namespace vk_test
