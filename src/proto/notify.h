// Notifications pushed to every front UI: one line in the reply envelope
// with its own id from a process-wide counter and a type of 1500..1504.
#pragma once

#include <cstdint>
#include <string>

constexpr int kFuiPostSecSoft = 1500;       // a product's detail registered or updated
constexpr int kFuiPostSecStat = 1501;       // a product's status text
constexpr int kFuiPostUnregister = 1502;    // a product unregistered
constexpr int kFuiPostStartDefault = 1503;  // start the default product
constexpr int kFuiPostStopDefault = 1504;   // stop the default product

// Ids lie in 0..2147483645 and follow each other by one.
constexpr uint64_t kFuiPostIdModulus = 2147483646ULL;

extern uint64_t now_nanosec;

// Seeds the id counter from the monotonic clock.
void MoxProtoInit();
uint32_t get_fui_post_id();
// 0 with `line` set (base64 text and '\n'), or a negative code.
int encode_fui_post(uint32_t id, int type, const std::string &uuid, const std::string &data,
                    std::string &line);
// What delivers one finished notification line to every connected front UI.
// The main sequence installs the front-UI listener's broadcast; while none
// is installed (or after null) notifications are built and dropped.
typedef void mox_broadcast_proc(const std::string &line);
void mox_set_broadcast(mox_broadcast_proc *broadcast);

// Builds the next notification and hands it to the broadcast.
void do_post_fui(const std::string &uuid, int type, const std::string &data);
