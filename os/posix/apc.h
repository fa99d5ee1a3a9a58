// The calling thread's APC queue as the waits of os/posix see it.
#pragma once

#include "os/error.h"

namespace os::posix {

// The descriptor that is readable while calls are queued for the calling thread; fails when the
// queue cannot be created.
Result<int> apcDescriptor();

// Runs the calls queued for the calling thread, oldest first; true when at least one ran. An
// exception thrown by a call leaves this function; the calls after it stay queued.
bool runQueuedApcs();

} // namespace os::posix
