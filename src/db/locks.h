// Scoped holders for the store's pthread locks. Each releases what it took
// when it leaves scope, so an exception thrown while a lock is held (a string
// copy that runs out of memory) cannot leave it locked. unlock() releases
// early, for the places that free memory after the lock is let go.
#pragma once

#include <pthread.h>

class CReadGuard {
public:
    explicit CReadGuard(pthread_rwlock_t &lock) : m_lock(&lock) { pthread_rwlock_rdlock(m_lock); }
    ~CReadGuard() { unlock(); }
    CReadGuard(const CReadGuard &) = delete;
    CReadGuard &operator=(const CReadGuard &) = delete;

    void unlock() {
        if (m_lock != nullptr) pthread_rwlock_unlock(m_lock);
        m_lock = nullptr;
    }

private:
    pthread_rwlock_t *m_lock;
};

class CWriteGuard {
public:
    explicit CWriteGuard(pthread_rwlock_t &lock) : m_lock(&lock) { pthread_rwlock_wrlock(m_lock); }
    ~CWriteGuard() { unlock(); }
    CWriteGuard(const CWriteGuard &) = delete;
    CWriteGuard &operator=(const CWriteGuard &) = delete;

    void unlock() {
        if (m_lock != nullptr) pthread_rwlock_unlock(m_lock);
        m_lock = nullptr;
    }

private:
    pthread_rwlock_t *m_lock;
};

class CMutexGuard {
public:
    explicit CMutexGuard(pthread_mutex_t &lock) : m_lock(&lock) { pthread_mutex_lock(m_lock); }
    ~CMutexGuard() { pthread_mutex_unlock(m_lock); }
    CMutexGuard(const CMutexGuard &) = delete;
    CMutexGuard &operator=(const CMutexGuard &) = delete;

private:
    pthread_mutex_t *m_lock;
};
