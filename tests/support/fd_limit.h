// Raises this process's soft descriptor limit for the lifetime of the object
// and puts the old one back when it goes away, however the test ends.
#pragma once

#include <sys/resource.h>

namespace vk_test {

class ScopedDescriptorLimit {
public:
    // Raises the soft limit to at least `want`; ok() is false when the hard
    // limit does not allow it, and nothing is changed then.
    explicit ScopedDescriptorLimit(rlim_t want);
    ~ScopedDescriptorLimit();
    ScopedDescriptorLimit(const ScopedDescriptorLimit &) = delete;
    ScopedDescriptorLimit &operator=(const ScopedDescriptorLimit &) = delete;

    bool ok() const { return m_raised; }

private:
    struct rlimit m_old = {};
    bool m_raised = false;
};

}  // namespace vk_test
