// Runs a shell command line and captures what it prints, for tests that
// drive other programs (cmake, setpriv, systemd-analyze, dpkg-deb).
#pragma once

#include <string>

namespace vk_test {

struct ShellOutput {
    int status = -1;   // exit status, -1 when it did not exit normally
    std::string text;  // stdout and stderr
};

ShellOutput Sh(const std::string &command);
// Whether `program` is found in PATH.
bool Have(const char *program);
// `s` quoted as one word for the shell.
std::string Quote(const std::string &s);

}  // namespace vk_test
