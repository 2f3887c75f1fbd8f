// The gate in front of the handlers: it asks the access policy about every
// served request (access/access_policy.h) and answers a refused one itself.
#pragma once

#include "proto/proto.h"

// Runs before the handler of a served request type. False when the request
// may go on; true when it was refused: `packet` then holds the reply with
// result KORVANE_RESULT_NOT_PERMITTED and `*rc` the encoder's code, one ERROR line
// names the request, the peer and the rule, and nothing else happened.
bool access_gate_refuses(mox_packet_t &packet, int *rc);
