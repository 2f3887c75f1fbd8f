#include "db/moxcache.h"

#include <new>
#include <utility>

#include "db/locks.h"
#include "log/mylog.h"

namespace {

// A heap copy of r, or null when memory runs out (a failing string copy
// included).
template <typename T>
T *NewCopy(const T &r) noexcept {
    try {
        return new (std::nothrow) T(r);
    } catch (...) {
        return nullptr;
    }
}

}  // namespace

CMoxCache::CMoxCache() : m_pSecSoft(&m_defSecSoft) {
    m_frontLockRc = pthread_rwlock_init(&m_frontLock, nullptr);
    m_secLockRc = pthread_rwlock_init(&m_secLock, nullptr);
    initDefSecSoft();
}

CMoxCache::~CMoxCache() {
    if (m_pSecSoft != &m_defSecSoft) delete m_pSecSoft;
    delete m_pFrontUI;
    if (m_frontLockRc == 0) pthread_rwlock_destroy(&m_frontLock);
    if (m_secLockRc == 0) pthread_rwlock_destroy(&m_secLock);
}

void CMoxCache::initDefSecSoft() {
    m_defSecSoft.uuid = kDefSecSoftUuid;
    m_defSecSoft.name = kDefSecSoftName;
    m_defSecSoft.exec = kDefSecSoftExec;
    m_defSecSoft.secsoft.clear();
    m_defSecSoft.secstat.clear();
    m_defSecSoft.status = 0;
}

bool CMoxCache::Init() {
    if (m_frontLockRc != 0 || m_secLockRc != 0) return false;
    Singleton<MyLog>::Instance()->Write(INFO, "CMoxCache init ok");
    return true;
}

int CMoxCache::doUpgrade(const CFrontUIInfo &r) {
    CFrontUIInfo *old = nullptr;
    {
        CWriteGuard guard(m_frontLock);
        if (m_pFrontUI != nullptr && m_pFrontUI->uuid != r.uuid) return kMoxOtherEntry;
        CFrontUIInfo *p = NewCopy(r);
        bool ok = p != nullptr;
        // A registration carries no configuration: keep the one held.
        if (ok && r.data.empty() && m_pFrontUI != nullptr) {
            try {
                p->data = m_pFrontUI->data;
            } catch (...) {
                ok = false;
            }
        }
        if (!ok) {
            guard.unlock();
            delete p;
            Singleton<MyLog>::Instance()->Write(ERROR, "doUpgrade: create %s failed,no memory",
                                                "frontUI");
            return kMoxNoMemory;
        }
        old = m_pFrontUI;
        m_pFrontUI = p;
    }
    delete old;
    return kMoxOk;
}

int CMoxCache::doUpgrade(const CFrontUIConf &c) {
    {
        CWriteGuard guard(m_frontLock);
        if (m_pFrontUI == nullptr || m_pFrontUI->uuid != c.uuid) return kMoxOtherEntry;
        m_pFrontUI->data = c.data;
    }
    Singleton<MyLog>::Instance()->Write(DEBUG, "upgrade frontUIConf cache for: %s,rc: %d",
                                        c.uuid.c_str(), 0);
    return kMoxOk;
}

int CMoxCache::doUpgrade(const CSecSoftInfo &r) {
    CSecSoftInfo *old = nullptr;
    {
        CWriteGuard guard(m_secLock);
        if (m_pSecSoft == &m_defSecSoft && r.uuid == m_defSecSoft.uuid) {
            // The default product itself: its record is replaced in place.
            guard.unlock();
            Singleton<MyLog>::Instance()->Write(INFO, "upgrade default-sec-soft,uuid: %s",
                                                r.uuid.c_str());
            return SetDefSecSoft(r);
        }
        // Another product than the current one only reaches the database.
        if (m_pSecSoft != &m_defSecSoft && m_pSecSoft->uuid != r.uuid) return kMoxOtherEntry;
        CSecSoftInfo *p = NewCopy(r);
        if (p == nullptr) {
            guard.unlock();
            Singleton<MyLog>::Instance()->Write(ERROR, "doUpgrade: create %s failed,no memory",
                                                "secSoftInfo");
            return kMoxNoMemory;
        }
        if (m_pSecSoft != &m_defSecSoft) old = m_pSecSoft;
        m_pSecSoft = p;
    }
    delete old;
    return kMoxOk;
}

int CMoxCache::doUpgrade(const CSecStatInfo &s) {
    CWriteGuard guard(m_secLock);
    if (m_pSecSoft->uuid != s.uuid) return kMoxOtherEntry;
    m_pSecSoft->secstat = s.secstat;
    return kMoxOk;
}

int CMoxCache::SetDefSecSoft(const CSecSoftInfo &r) {
    // Built outside the lock so that a failing copy leaves the record whole;
    // the previous record is freed (with `next`) after the lock is released.
    CSecSoftInfo next;
    try {
        next = r;
        // The default record keeps its uuid whatever the caller passed.
        next.uuid = kDefSecSoftUuid;
    } catch (...) {
        Singleton<MyLog>::Instance()->Write(ERROR, "doUpgrade: create %s failed,no memory",
                                            "secSoftInfo");
        return kMoxNoMemory;
    }
    CWriteGuard guard(m_secLock);
    if (next.secstat.empty()) next.secstat.swap(m_defSecSoft.secstat);
    std::swap(m_defSecSoft, next);
    guard.unlock();
    return kMoxOk;
}

int CMoxCache::GetDefSecSoft(CSecSoftInfo &out) {
    CReadGuard guard(m_secLock);
    if (m_defSecSoft.status == 0) return kMoxNotFound;
    out = m_defSecSoft;
    return kMoxOk;
}

int CMoxCache::doGet(CFrontUIInfo &out) {
    CReadGuard guard(m_frontLock);
    if (m_pFrontUI == nullptr) return kMoxNotFound;
    out = *m_pFrontUI;
    return kMoxOk;
}

int CMoxCache::doGet(CFrontUIConf &c) {
    int rc;
    {
        CReadGuard guard(m_frontLock);
        if (m_pFrontUI == nullptr || m_pFrontUI->uuid != c.uuid) return kMoxNotFound;
        c.data = m_pFrontUI->data;
        rc = c.data.empty() ? kMoxEmpty : kMoxOk;
    }
    Singleton<MyLog>::Instance()->Write(DEBUG, "get front ui-conf,rc %d", rc);
    return rc;
}

int CMoxCache::doGet(CSecSoftInfo &out) {
    CReadGuard guard(m_secLock);
    out = *m_pSecSoft;
    return out.status == 0 ? kMoxNotFound : kMoxOk;
}

int CMoxCache::doGet(CSecStatInfo &s) {
    CReadGuard guard(m_secLock);
    s.uuid = m_pSecSoft->uuid;
    s.secstat = m_pSecSoft->secstat;
    return s.secstat.empty() ? kMoxEmpty : kMoxOk;
}

bool CMoxCache::FrontUIValid(const std::string &uuid) {
    CReadGuard guard(m_frontLock);
    return m_pFrontUI != nullptr && m_pFrontUI->uuid == uuid;
}

bool CMoxCache::SecSoftValid(const std::string &uuid) {
    CReadGuard guard(m_secLock);
    return m_pSecSoft->uuid == uuid;
}

int CMoxCache::DelFrontUI(const std::string &uuid) {
    CFrontUIInfo *old;
    {
        CWriteGuard guard(m_frontLock);
        if (m_pFrontUI == nullptr || m_pFrontUI->uuid != uuid) return kMoxNotFound;
        old = m_pFrontUI;
        m_pFrontUI = nullptr;
    }
    delete old;
    return kMoxOk;
}

int CMoxCache::DelSecInfo(const std::string &uuid) {
    if (uuid == kDefSecSoftUuid) return kMoxOk;
    CSecSoftInfo *old;
    {
        CWriteGuard guard(m_secLock);
        if (m_pSecSoft->uuid != uuid) return kMoxNotFound;
        old = m_pSecSoft;
        m_pSecSoft = &m_defSecSoft;
    }
    delete old;
    return kMoxOk;
}

bool CMoxCache::FrontUIConfMissing(const std::string &uuid) {
    CReadGuard guard(m_frontLock);
    return m_pFrontUI != nullptr && m_pFrontUI->uuid == uuid && m_pFrontUI->data.empty();
}

void CMoxCache::FillFrontUIConf(const CFrontUIConf &c) {
    CWriteGuard guard(m_frontLock);
    if (m_pFrontUI != nullptr && m_pFrontUI->uuid == c.uuid && m_pFrontUI->data.empty())
        m_pFrontUI->data = c.data;
}
