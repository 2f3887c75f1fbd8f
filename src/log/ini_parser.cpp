#include "log/ini_parser.h"

#include <fstream>
#include <sstream>

int INIParser::init(const char *path) {
    m_path = path ? path : "";
    return 1;
}

bool INIParser::SetPath(const std::string &path) {
    init(path.c_str());
    return true;
}

std::string &INIParser::trimString(std::string &s) {
    size_t start = s.find_first_not_of(' ');
    if (start == std::string::npos) {
        s.clear();
        return s;
    }
    s.erase(0, start);
    size_t end = s.find_last_not_of(" \r");
    s.erase(end + 1);
    return s;
}

void INIParser::stringToUpper(std::string &s) {
    for (char &c : s)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
}

int INIParser::ReadINI() {
    std::ifstream file(m_path, std::ios::binary);
    if (!file.is_open()) return -1;
    std::ostringstream text;
    text << file.rdbuf();
    return ReadINIText(text.str());
}

int INIParser::ReadINIText(const std::string &text) {
    std::istringstream in(text);
    m_headers.clear();
    m_entries.clear();
    m_oddities.clear();

    std::vector<ININode> entries;
    std::string section;
    std::string line;
    int number = 0;
    while (std::getline(in, line)) {
        ++number;
        trimString(line);
        if (line.empty() || line[0] == ';' || line[0] == '#') continue;

        size_t open = line.find('[');
        size_t close = line.find(']');
        // A ']' before the first '[' names no section.
        bool names_section =
            open != std::string::npos && close != std::string::npos && open < close;
        bool header_alone = names_section && open == 0 && close == line.size() - 1 &&
                            line.find('=') == std::string::npos;
        if (names_section) {
            section = line.substr(open + 1, close - open - 1);
            if (header_alone && !section.empty()) {
                ININode h;
                h.section = section;
                stringToUpper(h.section);
                h.line = number;
                m_headers.push_back(h);
            }
        }

        std::string key, value;
        size_t eq = line.find('=');
        if (eq != std::string::npos && eq + 1 != line.size()) {
            key = line.substr(0, eq);
            value = line.substr(eq + 1);
            trimString(key);
            trimString(value);
            stringToUpper(key);
        }
        if (!section.empty() && !key.empty() && !value.empty()) {
            stringToUpper(section);
            entries.push_back({section, key, value, number});
        }

        const char *odd = nullptr;
        if (header_alone)
            odd = section.empty() ? "empty section name" : nullptr;
        else if (names_section)
            odd = "brackets inside a line that is not a section header";
        else if (eq == std::string::npos)
            odd = "neither a section header, a key = value nor a comment";
        else if (eq + 1 == line.size() || value.empty())
            odd = "no value";
        else if (key.empty())
            odd = "no key";
        else if (section.empty())
            odd = "outside any section";
        if (odd != nullptr) m_oddities.push_back({number, line, odd});
    }
    m_entries = entries;

    std::vector<std::string> names;
    std::map<std::string, SubNode, less_compare> read;
    for (const ININode &e : entries) {
        auto it = read.find(e.section);
        if (it == read.end()) {
            names.push_back(e.section);
            it = read.emplace(e.section, SubNode()).first;
        }
        // The first occurrence of a key wins.
        it->second.sub_node.emplace(e.key, e.value);
    }
    for (const std::string &name : names) {
        m_order.push_back(name);
        m_sections.emplace(name, read[name]);  // an existing section stays as it is
    }
    return 0;
}

std::string INIParser::GetValue(const std::string &section, const std::string &key) const {
    auto sec = m_sections.find(section);
    if (sec == m_sections.end()) return std::string();
    auto it = sec->second.sub_node.find(key);
    return it == sec->second.sub_node.end() ? std::string() : it->second;
}

size_t INIParser::SetValue(const std::string &section, const std::string &key,
                           const std::string &value, bool write) {
    std::string sec = section, k = key;
    stringToUpper(sec);
    stringToUpper(k);
    auto it = m_sections.find(sec);
    if (it == m_sections.end()) {
        SubNode node;
        node.sub_node[k] = value;
        m_sections.emplace(sec, node);
        m_order.push_back(sec);
    } else {
        it->second.sub_node[k] = value;
    }
    if (write) writeINI();
    return m_sections.size();
}

bool INIParser::DeleteValue(const std::string &section, const std::string &key, bool write) {
    auto it = m_sections.find(section);
    if (it == m_sections.end() || it->second.sub_node.erase(key) == 0) return false;
    if (write) writeINI();
    return true;
}

bool INIParser::DeleteSection(const std::string &section, bool write) {
    if (m_sections.erase(section) == 0) return false;
    equal_compare eq;
    m_order.remove_if([&](const std::string &n) { return eq(n, section); });
    if (write) writeINI();
    return true;
}

void INIParser::GetKeyValue(const std::string &section,
                            std::map<std::string, std::string> &out) const {
    auto it = m_sections.find(section);
    if (it == m_sections.end()) return;
    for (const auto &kv : it->second.sub_node) out.emplace(kv.first, kv.second);
}

void INIParser::Clear() {
    m_sections.clear();
    m_order.clear();
    m_headers.clear();
    m_entries.clear();
    m_oddities.clear();
}

int INIParser::writeINI() {
    std::ostringstream text;
    for (const std::string &name : m_order) {
        SubNode &node = m_sections[name];
        text << "[" << name << "]\n";
        for (const auto &kv : node.sub_node) text << kv.first << "=" << kv.second << "\n";
    }
    std::ofstream out(m_path, std::ios::binary | std::ios::trunc);
    if (!out.is_open()) return -1;
    out << text.str();
    return 0;
}
