#pragma once
// brixctl discover: which of this PC's interfaces a modem answers on.

#include "brixctl/commands.h"

namespace brixctl {

// Broadcasts an RfQuery on every interface that is up (not loopback), each from a socket bound
// to it, and reports where a modem answers, with its receive channel. 0 when one answers, 3
// when none does, 4 when the link's port is held (the answers come to that port).
int runDiscover(const Options& o);

}  // namespace brixctl
