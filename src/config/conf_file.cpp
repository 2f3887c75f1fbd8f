#include "config/conf_file.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <map>

#include "base/state_dir.h"
#include "log/ini_parser.h"

namespace {

// A configuration file is a few lines; anything near this is not one.
constexpr size_t kMaxConfBytes = 1 << 20;

const conf_key_t *find_key(const conf_key_t *keys, size_t nkeys, const std::string &section,
                           const std::string &key) {
    for (size_t i = 0; i < nkeys; ++i)
        if (strcasecmp(keys[i].section, section.c_str()) == 0 &&
            strcasecmp(keys[i].key, key.c_str()) == 0)
            return &keys[i];
    return nullptr;
}

bool known_section(const conf_key_t *keys, size_t nkeys, const std::string &section) {
    for (size_t i = 0; i < nkeys; ++i)
        if (strcasecmp(keys[i].section, section.c_str()) == 0) return true;
    return false;
}

// The file must be root's (or the daemon's own user's) and writable by
// nobody else: whoever can write it decides how the daemon behaves.
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

// Names as the messages show them: the reader keeps them upper-cased.
std::string lower(std::string s) {
    for (char &c : s)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return s;
}

std::string at(const std::string &path, int line, const std::string &what) {
    return path + ":" + std::to_string(line) + ": " + what;
}

}  // namespace

int conf_file_read(const std::string &path, const conf_key_t *keys, size_t nkeys,
                   const conf_take_fn &take, std::string &error) {
    // Opened once and judged by what was opened: a link or a file swapped
    // in after a check would otherwise be read in place of the one checked.
    int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        // No such file, or no such directory for it to be in.
        if (errno == ENOENT || errno == ENOTDIR) return 1;
        error = path + ": " + (errno == ELOOP ? "a symbolic link (not followed)" : strerror(errno));
        return -1;
    }
    struct stat st;
    std::string text;
    if (fstat(fd, &st) != 0) {
        error = path + ": " + strerror(errno);
    } else {
        error = check_file(path, st);
        if (error.empty() && !fd_read_all(fd, kMaxConfBytes, &text))
            error = path + ": cannot be read: " +
                    (errno == EFBIG ? "larger than " + std::to_string(kMaxConfBytes) + " bytes"
                                    : std::string(strerror(errno)));
    }
    close(fd);
    if (!error.empty()) return -1;

    INIParser ini;
    ini.SetPath(path);
    if (ini.ReadINIText(text) != 0) {
        error = path + ": cannot be read";
        return -1;
    }
    if (!ini.Oddities().empty()) {
        const INIParser::Oddity &odd = ini.Oddities().front();
        error = at(path, odd.line, std::string(odd.what) + ": " + odd.text);
        return -1;
    }
    for (const INIParser::ININode &h : ini.Headers()) {
        if (known_section(keys, nkeys, h.section)) continue;
        error = at(path, h.line, "unknown section [" + lower(h.section) + "]");
        return -1;
    }
    std::map<std::string, int> seen;  // "SECTION KEY" -> its first line
    for (const INIParser::ININode &e : ini.Entries()) {
        const conf_key_t *def = find_key(keys, nkeys, e.section, e.key);
        std::string name = "[" + lower(e.section) + "] " + lower(e.key);
        if (def == nullptr) {
            error = at(path, e.line, "unknown key " + name);
            return -1;
        }
        auto first = seen.emplace(e.section + " " + e.key, e.line);
        if (!first.second) {
            error = at(
                path, e.line,
                name + " given again (first on line " + std::to_string(first.first->second) + ")");
            return -1;
        }
        std::string wrong = take(*def, e.value);
        if (!wrong.empty()) {
            error = at(path, e.line, wrong + " in " + name);
            return -1;
        }
    }
    return 0;
}

bool conf_parse_number(const std::string &text, long min, long max, long *out) {
    if (text.empty() || text.size() > 10 ||
        text.find_first_not_of("0123456789") != std::string::npos)
        return false;
    long v = strtol(text.c_str(), nullptr, 10);
    if (v < min || v > max) return false;
    *out = v;
    return true;
}
