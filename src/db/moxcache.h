// The registry cache: the current front UI, the current security product and
// the built-in default product.
//
// Invariants: m_pSecSoft is never null; it points at m_defSecSoft or at one
// heap copy of another product. m_defSecSoft always carries the default uuid
// and is never freed. Full-record writes allocate a new copy, switch the
// pointer under the write lock and free the old copy after the lock is
// released; field writes happen in place under the write lock. Callers only
// ever receive copies. No operation holds both locks, and the cache never
// touches the database.
#pragma once

#include <pthread.h>

#include <string>

#include "db/records.h"

// Result codes of the cache and of the store.
enum {
    kMoxOk = 0,
    kMoxFailed = -1,      // a statement failed, or a registration wrote no row
    kMoxNoMemory = -2,    // a record could not be allocated; nothing changed
    kMoxNotFound = -4,    // no such entry (cache, or cache and database)
    kMoxOtherEntry = -7,  // cache only: it holds a different entry
    kMoxEmpty = -8,       // the entry exists but its text is empty
    kMoxDbOnly = -9,      // written to the database only; the cache holds another entry
};

class CMoxCache {
public:
    CMoxCache();
    ~CMoxCache();
    CMoxCache(const CMoxCache &) = delete;
    CMoxCache &operator=(const CMoxCache &) = delete;

    // False when a lock could not be initialised.
    bool Init();

    int doUpgrade(const CFrontUIInfo &r);
    int doUpgrade(const CFrontUIConf &c);
    int doUpgrade(const CSecSoftInfo &r);
    int doUpgrade(const CSecStatInfo &s);

    int doGet(CFrontUIInfo &out);
    int doGet(CFrontUIConf &c);
    int doGet(CSecSoftInfo &out);
    int doGet(CSecStatInfo &s);

    int SetDefSecSoft(const CSecSoftInfo &r);
    int GetDefSecSoft(CSecSoftInfo &out);
    bool FrontUIValid(const std::string &uuid);
    bool SecSoftValid(const std::string &uuid);
    int DelFrontUI(const std::string &uuid);
    int DelSecInfo(const std::string &uuid);

    // True when the held front UI has this uuid and no configuration.
    bool FrontUIConfMissing(const std::string &uuid);
    // Gives the held front UI the configuration of c when it has c's uuid
    // and still has none.
    void FillFrontUIConf(const CFrontUIConf &c);

private:
    void initDefSecSoft();

    pthread_rwlock_t m_frontLock;
    int m_frontLockRc;
    CFrontUIInfo *m_pFrontUI = nullptr;
    pthread_rwlock_t m_secLock;
    int m_secLockRc;
    CSecSoftInfo *m_pSecSoft;
    CSecSoftInfo m_defSecSoft;
};
