#include "support/temp_root.h"

#include <ftw.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <stdexcept>

#include "base/paths.h"

namespace vk_test {

TempRoot::TempRoot() {
    const char *tmp = getenv("TMPDIR");
    std::string tmpl = std::string(tmp && *tmp ? tmp : "/tmp") + "/vk-test-XXXXXX";
    if (mkdtemp(&tmpl[0]) == nullptr) throw std::runtime_error("mkdtemp failed");
    m_path = tmpl;
}

static int RemoveEntry(const char *path, const struct stat *, int, struct FTW *) {
    ::remove(path);
    return 0;
}

TempRoot::~TempRoot() {
    if (!m_path.empty()) nftw(m_path.c_str(), RemoveEntry, 16, FTW_DEPTH | FTW_PHYS);
}

std::string ReadFile(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void WriteFile(const std::string &path, const std::string &content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
}

size_t Occurrences(const std::string &text, const std::string &what) {
    size_t n = 0;
    for (size_t p = text.find(what); p != std::string::npos; p = text.find(what, p + 1)) ++n;
    return n;
}

bool FileExists(const std::string &path) {
    return access(path.c_str(), F_OK) == 0;
}

ScopedEnv::ScopedEnv(const std::string &name, const std::string &value) : m_name(name) {
    const char *old = getenv(name.c_str());
    if (old != nullptr) {
        m_had = true;
        m_old = old;
    }
    setenv(name.c_str(), value.c_str(), 1);
}

ScopedEnv::~ScopedEnv() {
    if (m_had)
        setenv(m_name.c_str(), m_old.c_str(), 1);
    else
        unsetenv(m_name.c_str());
}

ScopedRootEnv::ScopedRootEnv(const std::string &root) : ScopedEnv(vk_paths::kRootEnv, root) {}

void WriteDaemonSettings(const TempRoot &root, const std::string &text) {
    mkdir(root.Under("/etc").c_str(), 0755);
    mkdir(root.Under("/etc/korvane").c_str(), 0755);
    const std::string path = root.Under(vk_paths::kDaemonConfFile);
    WriteFile(path, text);
    chmod(path.c_str(), 0644);
}

}  // namespace vk_test
