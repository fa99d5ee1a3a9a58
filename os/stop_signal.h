// The stop request of a service: SIGTERM or SIGINT, seen as a readable descriptor.
#pragma once

#include "os/error.h"
#include "os/handle.h"

namespace os {

// Blocks SIGTERM and SIGINT for the calling thread (and so for every thread it starts later:
// call it before starting any) and returns a descriptor that becomes readable when one of them
// arrives and stays readable from then on. SIGPIPE is ignored as well: a service answers clients
// that may vanish at any moment.
Result<Handle> openStopSignal();

} // namespace os
