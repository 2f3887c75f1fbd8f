// The INI reader on arbitrary file content, and the writer on whatever it
// read: no crash, no leak, no undefined behaviour.
#include <stdint.h>
#include <stdlib.h>
#include <unistd.h>

#include <fstream>
#include <string>

#include "log/ini_parser.h"

static std::string s_dir;

// The run's scratch files go when the fuzzer exits.
static void RemoveTempDir() {
    unlink((s_dir + "/in.ini").c_str());
    unlink((s_dir + "/out.ini").c_str());
    rmdir(s_dir.c_str());
}

static std::string TempPath(const char *name) {
    if (s_dir.empty()) {
        char tmpl[] = "/tmp/vk-fuzz-ini-XXXXXX";
        s_dir = mkdtemp(tmpl);
        atexit(RemoveTempDir);
    }
    return s_dir + "/" + name;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::string in = TempPath("in.ini"), out = TempPath("out.ini");
    {
        std::ofstream f(in, std::ios::binary | std::ios::trunc);
        f.write(reinterpret_cast<const char *>(data), static_cast<std::streamsize>(size));
    }
    INIParser ini;
    ini.SetPath(in);
    if (ini.ReadINI() != 0) return 0;
    ini.GetValue("LOG_CONF", "LOGLEVEL");
    ini.GetValue("log_conf", "maxfilesize");
    ini.SetPath(out);
    ini.writeINI();
    INIParser again;
    again.SetPath(out);
    if (again.ReadINI() != 0) abort();
    return 0;
}
