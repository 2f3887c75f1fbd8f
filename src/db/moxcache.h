// The registry cache: the current front UI, the current security product and
// the built-in default product.
//
// Invariants: m_pSecSoft is never null; it points at m_defSecSoft or at the
// copy of another product that m_otherSecSoft owns. m_defSecSoft always carries the default uuid
// and is never freed. The default product's own record (detail, status
// text) is kept current whichever product is active; its arbitration mark
// (m_defMark: 0 not installed, 1 registered itself, 2 told to start, 3 told
// to stop) lives apart from it and is what every copy of the record carries
// as `status`. No product is active while the default record is current
// and its mark is 0. Full-record writes allocate a new copy, switch the
// pointer under the write lock and free the old copy after the lock is
// released; field writes happen in place under the write lock. Callers only
// ever receive copies. No operation holds both locks, and the cache never
// touches the database.
#pragma once

#include <pthread.h>

#include <memory>
#include <string>

#include "db/records.h"

// What every operation of the cache and of the store returns.
enum MoxResult : int {
    kMoxOk = 0,
    kMoxFailed = -1,      // a statement failed, or a registration wrote no row
    kMoxNoMemory = -2,    // a record could not be allocated; nothing changed
    kMoxNotCurrent = -3,  // another front UI is the current one; nothing written
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

    // A write in two steps, so that an entry the database has already taken
    // always reaches the cache as well. Copy allocates the entry outside any
    // lock: null, with an ERROR line, when memory runs out. Take puts it in
    // place and cannot fail: kMoxOk, or kMoxOtherEntry when the cache holds
    // another entry (the entry is then dropped).
    static std::unique_ptr<CFrontUIInfo> Copy(const CFrontUIInfo &r);
    static std::unique_ptr<CFrontUIConf> Copy(const CFrontUIConf &c);
    static std::unique_ptr<CSecSoftInfo> Copy(const CSecSoftInfo &r);
    static std::unique_ptr<CSecStatInfo> Copy(const CSecStatInfo &s);
    MoxResult Take(std::unique_ptr<CFrontUIInfo> r);
    MoxResult Take(std::unique_ptr<CFrontUIConf> c);
    MoxResult Take(std::unique_ptr<CSecSoftInfo> r);
    MoxResult Take(std::unique_ptr<CSecStatInfo> s);
    // The default record takes the fields of r but its uuid.
    MoxResult TakeDefSecSoft(std::unique_ptr<CSecSoftInfo> r);

    // Copy and Take in one: kMoxOk, kMoxOtherEntry, or kMoxNoMemory with
    // nothing changed.
    template <typename T>
    MoxResult doUpgrade(const T &r) {
        auto entry = Copy(r);
        return entry ? Take(std::move(entry)) : kMoxNoMemory;
    }
    MoxResult SetDefSecSoft(const CSecSoftInfo &r) {
        auto entry = Copy(r);
        return entry ? TakeDefSecSoft(std::move(entry)) : kMoxNoMemory;
    }

    MoxResult doGet(CFrontUIInfo &out);
    MoxResult doGet(CFrontUIConf &c);
    MoxResult doGet(CSecSoftInfo &out);
    MoxResult doGet(CSecStatInfo &s);

    MoxResult GetDefSecSoft(CSecSoftInfo &out);
    bool FrontUIValid(const std::string &uuid);
    bool SecSoftValid(const std::string &uuid);
    MoxResult DelFrontUI(const std::string &uuid);
    MoxResult DelSecInfo(const std::string &uuid);
    // The uuid of the current product (the default uuid while the default
    // record is current).
    std::string CurrentSecSoftUuid();
    // The mark the default record takes with r, a write of its own: a
    // first registration installs it (1), a registration while no other
    // product is active makes it registered (1), anything else keeps it.
    int DefMarkAfter(const CSecSoftInfo &r);
    // The default record and its mark as a row loaded from the file has
    // them (a mark outside 1..3 reads as registered).
    void LoadDefSecSoft(const CSecSoftInfo &row);

    // Everything the cache holds, to put back when a transaction that
    // changed it is rolled back.
    struct State {
        std::unique_ptr<CFrontUIInfo> front;
        std::unique_ptr<CSecSoftInfo> other;
        CSecSoftInfo def;
        int mark = 0;
    };
    // Throws std::bad_alloc; the cache is unchanged then.
    void Save(State &out);
    void Restore(State &in) noexcept;

    // True when the held front UI has this uuid and no configuration.
    bool FrontUIConfMissing(const std::string &uuid);
    // Gives the held front UI the configuration of c when it has c's uuid
    // and still has none.
    void FillFrontUIConf(const CFrontUIConf &c);
    // Whether s's text is already held: 1 by the current product, 2 by the
    // installed default product while another is current, 0 otherwise.
    int SecStatHeld(const CSecStatInfo &s);
    // The same for the status text of the current product.
    bool SecStatMissing(const std::string &uuid);
    void FillSecStat(const CSecStatInfo &s);

private:
    void initDefSecSoft();
    // Moves the fields of next but its uuid into the default record, keeping
    // the record's status text when next has none. m_secLock is held.
    void putDefSecSoft(CSecSoftInfo &next) noexcept;

    pthread_rwlock_t m_frontLock;
    int m_frontLockRc;
    std::unique_ptr<CFrontUIInfo> m_pFrontUI;
    pthread_rwlock_t m_secLock;
    int m_secLockRc;
    CSecSoftInfo *m_pSecSoft;
    std::unique_ptr<CSecSoftInfo> m_otherSecSoft;
    CSecSoftInfo m_defSecSoft;
    int m_defMark = 0;
};
