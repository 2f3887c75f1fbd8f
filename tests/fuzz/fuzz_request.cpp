// One request line into the protocol layer over a real store in a
// temporary root: decoding, dispatch, the handlers and the database
// (notifications are built; no broadcast is installed to take them).
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <filesystem>
#include <string>
#include <vector>

#include "db/moxdb.h"
#include "handlers/dispatch.h"
#include "log/mylog.h"
#include "proto/notify.h"
#include "proto/proto.h"

static std::string s_root;

// The run's temporary root, its log and database with it, goes when the
// fuzzer exits.
static void RemoveRoot() {
    std::error_code ignored;
    std::filesystem::remove_all(s_root, ignored);
}

static bool Setup() {
    // Memory-backed when possible: every write request commits to disk.
    char shm[] = "/dev/shm/vk-fuzz-request-XXXXXX";
    char tmp[] = "/tmp/vk-fuzz-request-XXXXXX";
    char *dir = mkdtemp(shm);
    if (dir == nullptr) dir = mkdtemp(tmp);
    if (dir == nullptr) abort();
    s_root = dir;
    atexit(RemoveRoot);
    setenv("VESKKORVANED_ROOT", dir, 1);
    if (MoxLogInit() != 0 || MoxDbInit() != 0) abort();
    MoxLogSetDebug(true);
    MoxProtoInit();
    return true;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static bool ready = Setup();
    (void)ready;
    // The core hands over a line without its line feed, terminated where
    // the line feed stood.
    std::vector<char> line(data, data + size);
    for (char &c : line)
        if (c == '\n') c = ' ';
    line.push_back('\0');
    mox_packet_t packet;
    int rc = mox_handle_request(line.data(), size, packet);
    if (rc == 0 && (packet.response.empty() || packet.response.back() != '\n')) abort();
    if (rc != 0 && !packet.response.empty() && rc != -2) abort();
    return 0;
}
