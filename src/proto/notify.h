// Notifications pushed to every front UI: one line in the reply envelope
// with its own id from a process-wide counter and a type of
// KORVANE_NOTIFY_SECSOFT..KORVANE_NOTIFY_STOP_DEFAULT.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "base/korvane_codes.h"

// Ids lie in 0..2147483645 and follow each other by one.
constexpr uint64_t kFuiPostIdModulus = 2147483646ULL;

extern uint64_t now_nanosec;

// Seeds the id counter from the monotonic clock.
void MoxProtoInit();
uint32_t get_fui_post_id();
// kProtoOk with `line` set (base64 text and '\n'), or a negative code.
int encode_fui_post(uint32_t id, int type, const std::string &uuid, const std::string &data,
                    std::string &line);
// What delivers one finished notification line to every connected front UI.
// The main sequence installs the front-UI listener's broadcast; while none
// is installed (or after null) notifications are built and dropped.
typedef void mox_broadcast_proc(const std::string &line);
void mox_set_broadcast(mox_broadcast_proc *broadcast);

// Told of every notification handed to the broadcast, with what do_post_fui
// was given; for a second audience of the same events. Set once by the main
// sequence; null (the default) for none.
typedef void mox_notify_observer_proc(int type, const std::string &uuid, const std::string &data);
void mox_set_notify_observer(mox_notify_observer_proc *observer);

// Builds the next notification and hands it to the broadcast, then to the
// observer.
void do_post_fui(const std::string &uuid, int type, const std::string &data);

// Prints each notice as its line with the next id, in order, and tells the
// observer of it: the lines for every front UI. One that cannot be printed
// is logged and left out.
struct mox_notice_t;
void mox_encode_notices(const std::vector<mox_notice_t> &notices, std::vector<std::string> &lines);
// Sends each notice to every front UI through the broadcast procedure.
void mox_post_notices(const std::vector<mox_notice_t> &notices);
