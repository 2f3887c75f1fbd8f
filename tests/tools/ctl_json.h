// Helpers of the korvanectl tests: reading its --json output by path, and a
// process that a front UI can be registered for.
#pragma once

#include <cjson/cJSON.h>
#include <signal.h>
#include <stdio.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <sstream>
#include <string>

#include "proto/codec/json.h"

namespace vk_test {

// The value at a path of object keys and array indexes ("data/0/name").
inline const cJSON *At(const cJSON *root, const std::string &path) {
    std::istringstream in(path);
    std::string part;
    const cJSON *cur = root;
    while (cur != nullptr && std::getline(in, part, '/')) {
        if (cJSON_IsArray(cur))
            cur = cJSON_GetArrayItem(cur, std::stoi(part));
        else
            cur = cJSON_GetObjectItemCaseSensitive(cur, part.c_str());
    }
    return cur;
}

// The value at a path as text: strings as they are, numbers whole,
// "true"/"false", "null", "<absent>", or "<other>" for objects and arrays.
inline std::string Str(const cJSON *root, const std::string &path) {
    const cJSON *v = At(root, path);
    if (cJSON_IsString(v)) return v->valuestring;
    if (cJSON_IsNumber(v)) return std::to_string(static_cast<long long>(v->valuedouble));
    if (cJSON_IsBool(v)) return cJSON_IsTrue(v) ? "true" : "false";
    if (cJSON_IsNull(v)) return "null";
    return v == nullptr ? "<absent>" : "<other>";
}

// A running process (/bin/sleep) to register a front UI for; killed and
// reaped by its pid when it goes, or earlier by End().
class SleepingChild {
public:
    SleepingChild() {
        m_pid = fork();
        if (m_pid == 0) {
            execl("/bin/sleep", "sleep", "600", static_cast<char *>(nullptr));
            _exit(127);
        }
    }
    ~SleepingChild() { End(); }
    SleepingChild(const SleepingChild &) = delete;
    SleepingChild &operator=(const SleepingChild &) = delete;

    pid_t pid() const { return m_pid; }
    std::string Pid() const { return std::to_string(m_pid); }
    void End() {
        if (m_pid <= 0) return;
        kill(m_pid, SIGKILL);
        waitpid(m_pid, nullptr, 0);
        m_pid = -1;
    }

private:
    pid_t m_pid = -1;
};

// This process's login uid as a registration carries it: a 32-bit
// integer, so the "unset" 4294967295 is -1.
inline long long OwnLoginUid() {
    unsigned long long v = 4294967295ULL;
    FILE *f = fopen("/proc/self/loginuid", "r");
    if (f != nullptr) {
        if (fscanf(f, "%llu", &v) != 1) v = 4294967295ULL;
        fclose(f);
    }
    return static_cast<int32_t>(static_cast<uint32_t>(v));
}

}  // namespace vk_test
