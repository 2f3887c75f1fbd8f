#include "support/shell.h"

#include <stdio.h>
#include <sys/wait.h>

namespace vk_test {

ShellOutput Sh(const std::string &command) {
    ShellOutput o;
    FILE *p = popen((command + " 2>&1").c_str(), "r");
    if (p == nullptr) return o;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof(buf), p)) > 0) o.text.append(buf, n);
    int st = pclose(p);
    o.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    return o;
}

bool Have(const char *program) {
    return Sh(std::string("command -v ") + program).status == 0;
}

std::string Quote(const std::string &s) {
    std::string q = "'";
    for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

}  // namespace vk_test
