// A small INI reader: sections and keys are matched case-insensitively and
// stored upper-cased, values kept as read (trimmed). Malformed lines are
// skipped; nothing here logs or throws for any content. A caller that must
// not skip anything silently finds, after ReadINI, every line it read with
// its number (Headers, Entries) and every line it took differently from a
// plain INI reading (Oddities).
#pragma once

#include <strings.h>

#include <list>
#include <map>
#include <string>
#include <vector>

class INIParser {
public:
    struct less_compare {
        bool operator()(const std::string &a, const std::string &b) const {
            return strcasecmp(a.c_str(), b.c_str()) < 0;
        }
    };
    struct equal_compare {
        bool operator()(const std::string &a, const std::string &b) const {
            return strcasecmp(a.c_str(), b.c_str()) == 0;
        }
    };
    struct SubNode {
        std::map<std::string, std::string, less_compare> sub_node;
    };
    struct ININode {
        std::string section;
        std::string key;
        std::string value;
        int line = 0;  // in the file, from 1
    };
    // A line that is neither blank, a comment, a section header alone nor a
    // key = value under a section, with what is wrong with it.
    struct Oddity {
        int line;
        std::string text;  // trimmed
        const char *what;
    };

    bool SetPath(const std::string &path);
    int ReadINI();
    // As ReadINI, from the text of a file the caller opened and checked.
    int ReadINIText(const std::string &text);
    std::string GetValue(const std::string &section, const std::string &key) const;

    size_t SetValue(const std::string &section, const std::string &key, const std::string &value,
                    bool write);
    bool DeleteValue(const std::string &section, const std::string &key, bool write);
    bool DeleteSection(const std::string &section, bool write);
    void GetKeyValue(const std::string &section, std::map<std::string, std::string> &out) const;
    void Clear();
    int writeINI();
    int WriteINI() { return writeINI(); }

    // What the last successful ReadINI read, in file order: section
    // headers (section and line only), entries (a repeated key included,
    // although the section keeps its first value) and odd lines.
    const std::vector<ININode> &Headers() const { return m_headers; }
    const std::vector<ININode> &Entries() const { return m_entries; }
    const std::vector<Oddity> &Oddities() const { return m_oddities; }

    std::string &trimString(std::string &s);
    void stringToUpper(std::string &s);

private:
    int init(const char *path);

    std::map<std::string, SubNode, less_compare> m_sections;
    std::list<std::string> m_order;
    std::string m_path;
    std::vector<ININode> m_headers;
    std::vector<ININode> m_entries;
    std::vector<Oddity> m_oddities;
};
