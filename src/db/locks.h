// Scoped holders for the store's pthread locks. Each releases what it took
// when it leaves scope, so an exception thrown while a lock is held (a string
// copy that runs out of memory) cannot leave it locked. unlock() releases
// early, for the places that free memory after the lock is let go.
#pragma once

#include <pthread.h>

// Holds a reader-writer lock taken by `Take` (read or write side).
template <int (*Take)(pthread_rwlock_t *)>
class CRwLockGuard {
public:
    explicit CRwLockGuard(pthread_rwlock_t &lock) : m_lock(&lock) { Take(m_lock); }
    ~CRwLockGuard() { unlock(); }
    CRwLockGuard(const CRwLockGuard &) = delete;
    CRwLockGuard &operator=(const CRwLockGuard &) = delete;

    void unlock() {
        if (m_lock != nullptr) pthread_rwlock_unlock(m_lock);
        m_lock = nullptr;
    }

private:
    pthread_rwlock_t *m_lock;
};

using CReadGuard = CRwLockGuard<pthread_rwlock_rdlock>;
using CWriteGuard = CRwLockGuard<pthread_rwlock_wrlock>;

class CMutexGuard {
public:
    explicit CMutexGuard(pthread_mutex_t &lock) : m_lock(&lock) { pthread_mutex_lock(m_lock); }
    ~CMutexGuard() { pthread_mutex_unlock(m_lock); }
    CMutexGuard(const CMutexGuard &) = delete;
    CMutexGuard &operator=(const CMutexGuard &) = delete;

private:
    pthread_mutex_t *m_lock;
};
