// For in-process tests that check what the code logged: the process-wide
// log opened on a file in a temporary directory, at DEBUG, for one suite.
#pragma once

#include <ctype.h>
#include <gtest/gtest.h>

#include <string>

#include "log/mylog.h"
#include "support/temp_root.h"

namespace vk_test {

class ProcessLogSuite : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        s_root = new TempRoot();
        s_path = s_root->path() + "/proto.log";
        ASSERT_TRUE(Singleton<MyLog>::Instance()->Open(s_path.c_str()));
        Singleton<MyLog>::Instance()->SetLogLevel(DEBUG);
    }
    static void TearDownTestSuite() {
        Singleton<MyLog>::Instance()->Close();
        delete s_root;
        s_root = nullptr;
    }
    static const std::string &LogPath() { return s_path; }

private:
    static inline TempRoot *s_root = nullptr;
    static inline std::string s_path;
};

// A test name made of a case's description: letters and digits kept,
// every other byte '_'.
inline std::string ParamName(const char *name) {
    std::string out;
    for (const char *p = name; *p; p++)
        out.push_back(isalnum(static_cast<unsigned char>(*p)) ? *p : '_');
    return out;
}

}  // namespace vk_test
