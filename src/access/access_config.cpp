#include "access/access_config.h"

#include <grp.h>
#include <limits.h>
#include <pwd.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <sstream>
#include <vector>

#include "config/conf_file.h"

namespace {

enum Kind { kMode, kUsers, kGroups, kExecutables, kConnections };

const conf_key_t kKeys[] = {
    {"access", "mode", kMode},
    {"products", "users", kUsers},
    {"products", "groups", kGroups},
    {"products", "executables", kExecutables},
    {"frontui", "users", kUsers},
    {"frontui", "groups", kGroups},
    {"frontui", "executables", kExecutables},
    {"default-product", "users", kUsers},
    {"default-product", "groups", kGroups},
    {"default-product", "executables", kExecutables},
    {"limits", "connections_per_uid", kConnections},
};

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

// A user or group: a number is taken as the id itself, anything else is
// looked up as a name. -1 when there is no such name.
long resolve_id(const std::string &word, bool group) {
    long id;
    if (conf_parse_number(word, 0, INT_MAX, &id)) return id;
    if (group) {
        struct group *gr = getgrnam(word.c_str());
        return gr != nullptr && gr->gr_gid <= INT_MAX ? static_cast<long>(gr->gr_gid) : -1;
    }
    struct passwd *pw = getpwnam(word.c_str());
    return pw != nullptr && pw->pw_uid <= INT_MAX ? static_cast<long>(pw->pw_uid) : -1;
}

// "" when the value of `def` is taken into `policy`, else what is wrong
// with it.
std::string take(access_policy_t &policy, const conf_key_t &def, const std::string &value) {
    access_list_t &list = strcmp(def.section, "products") == 0  ? policy.products
                          : strcmp(def.section, "frontui") == 0 ? policy.frontui
                                                                : policy.default_product;
    bool is_list = def.kind == kUsers || def.kind == kGroups || def.kind == kExecutables;
    // An empty list would quietly mean "no restriction" in [frontui].
    if (is_list && words(value).empty()) return "nothing listed";
    switch (def.kind) {
        case kMode:
            if (value == "enforce" || value == "open") {
                policy.open = value == "open";
                return "";
            }
            return "mode must be enforce or open, not \"" + value + "\"";
        case kConnections: {
            long n;
            if (conf_parse_number(value, 1, kAccessAcceptedConnectionsPerUid, &n)) {
                policy.connections_per_uid =
                    static_cast<int>(std::min<long>(n, kAccessMaxConnectionsPerUid));
                policy.connections_per_uid_asked =
                    n > kAccessMaxConnectionsPerUid ? static_cast<int>(n) : 0;
                return "";
            }
            return "connections_per_uid must be a whole number from 1 to " +
                   std::to_string(kAccessMaxConnectionsPerUid) + ", not \"" + value + "\"";
        }
        case kUsers:
        case kGroups: {
            bool group = def.kind == kGroups;
            for (const std::string &w : words(value)) {
                long id = resolve_id(w, group);
                if (id < 0)
                    return std::string(group ? "unknown group" : "unknown user") + " \"" + w + "\"";
                if (group)
                    list.groups.push_back(static_cast<gid_t>(id));
                else
                    list.users.push_back(static_cast<uid_t>(id));
            }
            return "";
        }
        case kExecutables:
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

}  // namespace

int access_policy_load(const std::string &path, access_policy_t &policy, std::string &error) {
    policy = access_policy_t();
    policy.owner_uid = geteuid();
    return conf_file_read(
        path, kKeys, sizeof(kKeys) / sizeof(kKeys[0]),
        [&policy](const conf_key_t &def, const std::string &value) {
            return take(policy, def, value);
        },
        error);
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
        << ",default product also from: " << list(policy.default_product)
        << ",connections per uid: ";
    if (policy.connections_per_uid > 0) out << policy.connections_per_uid;
    if (policy.connections_per_uid_asked > 0)
        out << " (the file says " << policy.connections_per_uid_asked
            << ": no uid can hold more than " << kAccessMaxConnectionsPerUid << ")";
    else if (policy.connections_per_uid <= 0)
        out << "default";
    return out.str();
}
