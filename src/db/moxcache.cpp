#include "db/moxcache.h"

#include <new>
#include <utility>

#include "db/locks.h"
#include "log/mylog.h"

namespace {

// A heap copy of r, or null with an ERROR line when memory runs out (a
// failing string copy included).
template <typename T>
std::unique_ptr<T> NewCopy(const T &r, const char *what) noexcept {
    try {
        std::unique_ptr<T> p(new (std::nothrow) T(r));
        if (p != nullptr) return p;
    } catch (...) {
    }
    try {
        Singleton<MyLog>::Instance()->Write(ERROR, "doUpgrade: create %s failed,no memory", what);
    } catch (...) {
    }
    return nullptr;
}

}  // namespace

CMoxCache::CMoxCache() : m_pSecSoft(&m_defSecSoft) {
    m_frontLockRc = pthread_rwlock_init(&m_frontLock, nullptr);
    m_secLockRc = pthread_rwlock_init(&m_secLock, nullptr);
    initDefSecSoft();
}

CMoxCache::~CMoxCache() {
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
    m_defMark = 0;
}

bool CMoxCache::Init() {
    if (m_frontLockRc != 0 || m_secLockRc != 0) return false;
    Singleton<MyLog>::Instance()->Write(INFO, "CMoxCache init ok");
    return true;
}

std::unique_ptr<CFrontUIInfo> CMoxCache::Copy(const CFrontUIInfo &r) {
    return NewCopy(r, "frontUI");
}

std::unique_ptr<CFrontUIConf> CMoxCache::Copy(const CFrontUIConf &c) {
    return NewCopy(c, "frontUIConf");
}

std::unique_ptr<CSecSoftInfo> CMoxCache::Copy(const CSecSoftInfo &r) {
    return NewCopy(r, "secSoftInfo");
}

std::unique_ptr<CSecStatInfo> CMoxCache::Copy(const CSecStatInfo &s) {
    return NewCopy(s, "secStatInfo");
}

// Every Take below only moves and swaps under its lock, and frees what it
// replaced (declared before the guard) after the lock is released.

MoxResult CMoxCache::Take(std::unique_ptr<CFrontUIInfo> r) {
    std::unique_ptr<CFrontUIInfo> old;
    CWriteGuard guard(m_frontLock);
    if (m_pFrontUI != nullptr && m_pFrontUI->uuid != r->uuid) return kMoxOtherEntry;
    // A registration carries no configuration: keep the one held.
    if (r->data.empty() && m_pFrontUI != nullptr) r->data.swap(m_pFrontUI->data);
    old = std::move(m_pFrontUI);
    m_pFrontUI = std::move(r);
    return kMoxOk;
}

MoxResult CMoxCache::Take(std::unique_ptr<CFrontUIConf> c) {
    {
        CWriteGuard guard(m_frontLock);
        if (m_pFrontUI == nullptr || m_pFrontUI->uuid != c->uuid) return kMoxOtherEntry;
        m_pFrontUI->data.swap(c->data);
    }
    Singleton<MyLog>::Instance()->Write(DEBUG, "upgrade frontUIConf cache for: %s,rc: %d",
                                        c->uuid.c_str(), 0);
    return kMoxOk;
}

MoxResult CMoxCache::Take(std::unique_ptr<CSecSoftInfo> r) {
    std::unique_ptr<CSecSoftInfo> old;
    {
        CWriteGuard guard(m_secLock);
        const bool defCurrent = m_pSecSoft == &m_defSecSoft;
        if (r->uuid == m_defSecSoft.uuid) {
            // The default product's own record stays current whichever
            // product is active; r carries the mark it takes.
            putDefSecSoft(*r);
            if (!defCurrent) return kMoxOtherEntry;
        } else {
            // Another product than the current one only reaches the database.
            if (!defCurrent && m_pSecSoft->uuid != r->uuid) return kMoxOtherEntry;
            // A registration or update carries no status text: the current
            // product keeps the one it has, as its row does.
            if (!defCurrent && r->secstat.empty()) r->secstat.swap(m_pSecSoft->secstat);
            old = std::move(m_otherSecSoft);
            m_otherSecSoft = std::move(r);
            m_pSecSoft = m_otherSecSoft.get();
            return kMoxOk;
        }
    }
    Singleton<MyLog>::Instance()->Write(INFO, "upgrade default-sec-soft,uuid: %s", r->uuid.c_str());
    return kMoxOk;
}

MoxResult CMoxCache::Take(std::unique_ptr<CSecStatInfo> s) {
    CWriteGuard guard(m_secLock);
    if (s->uuid == m_defSecSoft.uuid && m_pSecSoft != &m_defSecSoft) {
        // Kept for the default product's next start, not served meanwhile.
        m_defSecSoft.secstat.swap(s->secstat);
        return kMoxOtherEntry;
    }
    if (m_pSecSoft->uuid != s->uuid) return kMoxOtherEntry;
    m_pSecSoft->secstat.swap(s->secstat);
    return kMoxOk;
}

MoxResult CMoxCache::TakeDefSecSoft(std::unique_ptr<CSecSoftInfo> r) {
    CWriteGuard guard(m_secLock);
    putDefSecSoft(*r);
    return kMoxOk;
}

void CMoxCache::putDefSecSoft(CSecSoftInfo &next) noexcept {
    m_defSecSoft.name.swap(next.name);
    m_defSecSoft.exec.swap(next.exec);
    m_defSecSoft.secsoft.swap(next.secsoft);
    if (!next.secstat.empty()) m_defSecSoft.secstat.swap(next.secstat);
    m_defMark = next.status;
    m_defSecSoft.status = next.status;
}

MoxResult CMoxCache::GetDefSecSoft(CSecSoftInfo &out) {
    CReadGuard guard(m_secLock);
    if (m_defMark == 0) return kMoxNotFound;
    out = m_defSecSoft;
    out.status = m_defMark;
    return kMoxOk;
}

int CMoxCache::DefMarkAfter(const CSecSoftInfo &r) {
    CReadGuard guard(m_secLock);
    if (m_defMark == 0) return 1;
    if (r.status == 1 && m_pSecSoft == &m_defSecSoft) return 1;
    return m_defMark;
}

void CMoxCache::LoadDefSecSoft(const CSecSoftInfo &row) {
    CSecSoftInfo next = row;
    if (next.status < 1 || next.status > 3) next.status = 1;
    CWriteGuard guard(m_secLock);
    putDefSecSoft(next);
}

void CMoxCache::Save(State &out) {
    State s;
    {
        CReadGuard guard(m_frontLock);
        if (m_pFrontUI != nullptr) s.front.reset(new CFrontUIInfo(*m_pFrontUI));
    }
    CReadGuard guard(m_secLock);
    if (m_otherSecSoft != nullptr) s.other.reset(new CSecSoftInfo(*m_otherSecSoft));
    s.def = m_defSecSoft;
    s.mark = m_defMark;
    out = std::move(s);
}

void CMoxCache::Restore(State &in) noexcept {
    std::unique_ptr<CFrontUIInfo> oldFront;
    std::unique_ptr<CSecSoftInfo> oldOther;
    {
        CWriteGuard guard(m_frontLock);
        oldFront = std::move(m_pFrontUI);
        m_pFrontUI = std::move(in.front);
    }
    CWriteGuard guard(m_secLock);
    oldOther = std::move(m_otherSecSoft);
    m_otherSecSoft = std::move(in.other);
    m_pSecSoft = m_otherSecSoft != nullptr ? m_otherSecSoft.get() : &m_defSecSoft;
    m_defSecSoft.name.swap(in.def.name);
    m_defSecSoft.exec.swap(in.def.exec);
    m_defSecSoft.secsoft.swap(in.def.secsoft);
    m_defSecSoft.secstat.swap(in.def.secstat);
    m_defSecSoft.status = in.def.status;
    m_defMark = in.mark;
}

MoxResult CMoxCache::doGet(CFrontUIInfo &out) {
    CReadGuard guard(m_frontLock);
    if (m_pFrontUI == nullptr) return kMoxNotFound;
    out = *m_pFrontUI;
    return kMoxOk;
}

MoxResult CMoxCache::doGet(CFrontUIConf &c) {
    MoxResult rc;
    {
        CReadGuard guard(m_frontLock);
        if (m_pFrontUI == nullptr || m_pFrontUI->uuid != c.uuid) return kMoxNotFound;
        c.data = m_pFrontUI->data;
        rc = c.data.empty() ? kMoxEmpty : kMoxOk;
    }
    Singleton<MyLog>::Instance()->Write(DEBUG, "get front ui-conf,rc %d", rc);
    return rc;
}

MoxResult CMoxCache::doGet(CSecSoftInfo &out) {
    CReadGuard guard(m_secLock);
    out = *m_pSecSoft;
    if (m_pSecSoft == &m_defSecSoft) out.status = m_defMark;
    return out.status == 0 ? kMoxNotFound : kMoxOk;
}

MoxResult CMoxCache::doGet(CSecStatInfo &s) {
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
    return m_pSecSoft->uuid == uuid && (m_pSecSoft != &m_defSecSoft || m_defMark != 0);
}

MoxResult CMoxCache::DelFrontUI(const std::string &uuid) {
    std::unique_ptr<CFrontUIInfo> old;  // freed after the lock is released
    {
        CWriteGuard guard(m_frontLock);
        if (m_pFrontUI == nullptr || m_pFrontUI->uuid != uuid) return kMoxNotFound;
        old = std::move(m_pFrontUI);
    }
    return kMoxOk;
}

MoxResult CMoxCache::DelSecInfo(const std::string &uuid) {
    if (uuid == kDefSecSoftUuid) {
        // Uninstalled: its built-in record again, and no mark, so nothing
        // is arbitrated for it until it registers again.
        CWriteGuard guard(m_secLock);
        initDefSecSoft();
        return kMoxOk;
    }
    std::unique_ptr<CSecSoftInfo> old;  // freed after the lock is released
    {
        CWriteGuard guard(m_secLock);
        if (m_pSecSoft->uuid != uuid) return kMoxNotFound;
        old = std::move(m_otherSecSoft);
        m_pSecSoft = &m_defSecSoft;
    }
    return kMoxOk;
}

std::string CMoxCache::CurrentSecSoftUuid() {
    CReadGuard guard(m_secLock);
    return m_pSecSoft->uuid;
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

int CMoxCache::SecStatHeld(const CSecStatInfo &s) {
    // An empty text stands for none reported: always written.
    if (s.secstat.empty()) return 0;
    CReadGuard guard(m_secLock);
    const bool defCurrent = m_pSecSoft == &m_defSecSoft;
    if (m_pSecSoft->uuid == s.uuid && (!defCurrent || m_defMark != 0))
        return m_pSecSoft->secstat == s.secstat ? 1 : 0;
    if (s.uuid == m_defSecSoft.uuid && m_defMark != 0)
        return m_defSecSoft.secstat == s.secstat ? 2 : 0;
    return 0;
}

bool CMoxCache::SecStatMissing(const std::string &uuid) {
    CReadGuard guard(m_secLock);
    return m_pSecSoft->uuid == uuid && m_pSecSoft->secstat.empty();
}

void CMoxCache::FillSecStat(const CSecStatInfo &s) {
    CWriteGuard guard(m_secLock);
    if (m_pSecSoft->uuid == s.uuid && m_pSecSoft->secstat.empty()) m_pSecSoft->secstat = s.secstat;
}
