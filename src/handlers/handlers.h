// The request handlers, one per request type. Each checks the body, calls
// the store and builds its reply into the packet with one of the reply
// encoders; the context pointer is always null.
#pragma once

#include "proto/proto.h"

// Front-UI requests, types 1000..1004.
int fui_register_handle(mox_packet_t &packet, void *context);
int get_secsoft_handle(mox_packet_t &packet, void *context);
int get_secstat_handle(mox_packet_t &packet, void *context);
int save_fuiconf_handle(mox_packet_t &packet, void *context);
int get_fuiconf_handle(mox_packet_t &packet, void *context);

// Security-software requests, types 2000..2003.
int secsoft_register_handle(mox_packet_t &packet, void *context);
int secsoft_unregister_handle(mox_packet_t &packet, void *context);
int secstat_update_handle(mox_packet_t &packet, void *context);
int secsoft_update_handle(mox_packet_t &packet, void *context);

// A watched product whose program has gone: unregistered as if it had sent
// 2001 itself (the same store operation and notifications), no reply.
void secsoft_unregister_lost(const std::string &uuid);

// The default product's detail as the daemon's settings ([default] in
// korvaned.conf) name it: "name" and "exec" first with the configured
// values, then the sender's other members as they came. `text` unchanged
// when it is not an object.
std::string secsoft_default_detail(const std::string &text);
// Makes the stored default product say the configured name and program,
// at start: false when the store failed.
bool secsoft_default_settings_apply();

// The protection verdict, type 1005; answered to every peer.
int get_health_handle(mox_packet_t &packet, void *context);
