#include "access/access_config.h"

#include <errno.h>
#include <grp.h>
#include <limits.h>
#include <pwd.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <map>
#include <sstream>
#include <vector>

#include "log/ini_parser.h"

namespace {

enum class Kind { kMode, kUsers, kGroups, kExecutables, kConnections };

struct KeyDef {
    const char *section;
    const char *key;
    Kind kind;
};

const KeyDef kKeys[] = {
    {"access", "mode", Kind::kMode},
    {"products", "users", Kind::kUsers},
    {"products", "groups", Kind::kGroups},
    {"products", "executables", Kind::kExecutables},
    {"frontui", "users", Kind::kUsers},
    {"frontui", "groups", Kind::kGroups},
    {"frontui", "executables", Kind::kExecutables},
    {"limits", "connections_per_uid", Kind::kConnections},
};

const KeyDef *find_key(const std::string &section, const std::string &key) {
    for (const KeyDef &k : kKeys)
        if (strcasecmp(k.section, section.c_str()) == 0 && strcasecmp(k.key, key.c_str()) == 0)
            return &k;
    return nullptr;
}

bool known_section(const std::string &section) {
    for (const KeyDef &k : kKeys)
        if (strcasecmp(k.section, section.c_str()) == 0) return true;
    return false;
}

// Words separated by spaces, tabs or commas.
std::vector<std::string> words(const std::string &value) {
    std::vector<std::string> out;
    std::string word;
    for (char c : value + " ") {
        if (c == ' ' || c == '\t' || c == ',') {
            if (!word.empty()) out.push_back(word);
            word.clear();
        } else {
            word += c;
        }
    }
    return out;
}

// A number of decimal digits only, within [min, max].
bool parse_number(const std::string &text, long min, long max, long *out) {
    if (text.empty() || text.size() > 10 ||
        text.find_first_not_of("0123456789") != std::string::npos)
        return false;
    long v = strtol(text.c_str(), nullptr, 10);
    if (v < min || v > max) return false;
    *out = v;
    return true;
}

// A user or group: a number is taken as the id itself, anything else is
// looked up as a name. -1 when there is no such name.
long resolve_id(const std::string &word, bool group) {
    long id;
    if (parse_number(word, 0, INT_MAX, &id)) return id;
    if (group) {
        struct group *gr = getgrnam(word.c_str());
        return gr != nullptr && gr->gr_gid <= INT_MAX ? static_cast<long>(gr->gr_gid) : -1;
    }
    struct passwd *pw = getpwnam(word.c_str());
    return pw != nullptr && pw->pw_uid <= INT_MAX ? static_cast<long>(pw->pw_uid) : -1;
}

class Loader {
public:
    Loader(const std::string &path, access_policy_t &policy) : m_path(path), m_policy(policy) {}

    // "" when the value is taken, else what is wrong with it.
    std::string Take(const KeyDef &def, const std::string &value) {
        access_list_t &list =
            strcmp(def.section, "products") == 0 ? m_policy.products : m_policy.frontui;
        bool is_list =
            def.kind == Kind::kUsers || def.kind == Kind::kGroups || def.kind == Kind::kExecutables;
        // An empty list would quietly mean "no restriction" in [frontui].
        if (is_list && words(value).empty()) return "nothing listed";
        switch (def.kind) {
            case Kind::kMode:
                if (value == "enforce" || value == "open") {
                    m_policy.open = value == "open";
                    return "";
                }
                return "mode must be enforce or open, not \"" + value + "\"";
            case Kind::kConnections: {
                long n;
                if (parse_number(value, 1, kAccessMaxConnectionsPerUid, &n)) {
                    m_policy.connections_per_uid = static_cast<int>(n);
                    return "";
                }
                return "connections_per_uid must be a whole number from 1 to " +
                       std::to_string(kAccessMaxConnectionsPerUid) + ", not \"" + value + "\"";
            }
            case Kind::kUsers:
            case Kind::kGroups: {
                bool group = def.kind == Kind::kGroups;
                for (const std::string &w : words(value)) {
                    long id = resolve_id(w, group);
                    if (id < 0)
                        return std::string(group ? "unknown group" : "unknown user") + " \"" + w +
                               "\"";
                    if (group)
                        list.groups.push_back(static_cast<gid_t>(id));
                    else
                        list.users.push_back(static_cast<uid_t>(id));
                }
                return "";
            }
            case Kind::kExecutables:
                for (const std::string &w : words(value)) {
                    if (w[0] != '/') return "\"" + w + "\" is not an absolute path";
                    // The kernel names a peer's program by its resolved path.
                    char resolved[PATH_MAX];
                    list.executables.push_back(realpath(w.c_str(), resolved) ? resolved : w);
                }
                return "";
        }
        return "";
    }

    std::string At(int line, const std::string &what) const {
        return m_path + ":" + std::to_string(line) + ": " + what;
    }

private:
    std::string m_path;
    access_policy_t &m_policy;
};

// The file must be root's (or the daemon's own user's) and writable by
// nobody else: whoever can write it decides who may register.
std::string check_file(const std::string &path, const struct stat &st) {
    char mode[8];
    snprintf(mode, sizeof(mode), "%04o", static_cast<unsigned>(st.st_mode & 07777));
    if (!S_ISREG(st.st_mode)) return path + ": not a regular file";
    if (st.st_uid != 0 && st.st_uid != geteuid())
        return path + ": owned by uid " + std::to_string(st.st_uid) + ", not by root";
    if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0)
        return path + ": writable by group or others (mode " + mode + ")";
    return "";
}

std::string lower(std::string s) {
    for (char &c : s)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return s;
}

}  // namespace

int access_policy_load(const std::string &path, access_policy_t &policy, std::string &error) {
    policy = access_policy_t();
    policy.owner_uid = geteuid();

    struct stat st;
    if (stat(path.c_str(), &st) != 0) {
        // No such file, or no such directory for it to be in.
        if (errno == ENOENT || errno == ENOTDIR) return 1;
        error = path + ": " + strerror(errno);
        return -1;
    }
    error = check_file(path, st);
    if (!error.empty()) return -1;

    INIParser ini;
    ini.SetPath(path);
    if (ini.ReadINI() != 0) {
        error = path + ": cannot be read";
        return -1;
    }
    Loader loader(path, policy);
    if (!ini.Oddities().empty()) {
        const INIParser::Oddity &odd = ini.Oddities().front();
        error = loader.At(odd.line, std::string(odd.what) + ": " + odd.text);
        return -1;
    }
    for (const INIParser::ININode &h : ini.Headers()) {
        if (known_section(h.section)) continue;
        error = loader.At(h.line, "unknown section [" + lower(h.section) + "]");
        return -1;
    }
    std::map<std::string, int> seen;  // "SECTION KEY" -> its first line
    for (const INIParser::ININode &e : ini.Entries()) {
        const KeyDef *def = find_key(e.section, e.key);
        std::string name = "[" + lower(e.section) + "] " + lower(e.key);
        if (def == nullptr) {
            error = loader.At(e.line, "unknown key " + name);
            return -1;
        }
        auto first = seen.emplace(e.section + " " + e.key, e.line);
        if (!first.second) {
            error = loader.At(e.line, name + " given again (first on line " +
                                          std::to_string(first.first->second) + ")");
            return -1;
        }
        std::string wrong = loader.Take(*def, e.value);
        if (!wrong.empty()) {
            error = loader.At(e.line, wrong + " in " + name);
            return -1;
        }
    }
    return 0;
}

std::string access_policy_summary(const access_policy_t &policy) {
    auto list = [](const access_list_t &l) {
        return std::to_string(l.users.size()) + " users, " + std::to_string(l.groups.size()) +
               " groups, " + std::to_string(l.executables.size()) + " executables";
    };
    std::ostringstream out;
    out << "mode " << (policy.open ? "open" : "enforce") << ",trusted uids: 0";
    if (policy.owner_uid != 0) out << " and " << policy.owner_uid;
    out << ",products also from: " << list(policy.products) << ",front UIs "
        << (policy.frontui.empty() ? "from anyone" : "only from: " + list(policy.frontui))
        << ",connections per uid: ";
    if (policy.connections_per_uid > 0)
        out << policy.connections_per_uid;
    else
        out << "default";
    return out.str();
}
