// A fresh temporary directory for one test, removed with everything in it
// when the object goes away.
#pragma once

#include <sys/stat.h>

#include <string>

namespace vk_test {

class TempRoot {
public:
    TempRoot();
    ~TempRoot();
    TempRoot(const TempRoot &) = delete;
    TempRoot &operator=(const TempRoot &) = delete;

    const std::string &path() const { return m_path; }
    // The path of a file under the root ("/var/log/x" -> root + "/var/log/x").
    std::string Under(const std::string &abs) const { return m_path + abs; }

private:
    std::string m_path;
};

// Writes the daemon's settings file (/etc/korvane/korvaned.conf) under the
// root, as an administrator would: its directories 0755, the file 0644.
void WriteDaemonSettings(const TempRoot &root, const std::string &text);

// Whole content of a file ("" when it cannot be read).
std::string ReadFile(const std::string &path);
void WriteFile(const std::string &path, const std::string &content);
bool FileExists(const std::string &path);
// How many times `what` occurs in `text` (log lines, say).
size_t Occurrences(const std::string &text, const std::string &what);

// Sets the umask for the lifetime of the object.
class ScopedUmask {
public:
    explicit ScopedUmask(mode_t mask) : m_old(umask(mask)) {}
    ~ScopedUmask() { umask(m_old); }
    ScopedUmask(const ScopedUmask &) = delete;
    ScopedUmask &operator=(const ScopedUmask &) = delete;

private:
    mode_t m_old;
};

// Sets an environment variable of this process (and so of the children it
// starts meanwhile) for the lifetime of the object, then puts back what was
// there, or nothing.
class ScopedEnv {
public:
    ScopedEnv(const std::string &name, const std::string &value);
    ~ScopedEnv();
    ScopedEnv(const ScopedEnv &) = delete;
    ScopedEnv &operator=(const ScopedEnv &) = delete;

private:
    std::string m_name, m_old;
    bool m_had = false;
};

// VESKKORVANED_ROOT, set the same way.
class ScopedRootEnv : public ScopedEnv {
public:
    explicit ScopedRootEnv(const std::string &root);
};

}  // namespace vk_test
