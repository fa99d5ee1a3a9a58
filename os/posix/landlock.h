// Landlock rulesets for started programs: made in the service before the fork, applied by the
// child just before it executes the program.
#pragma once

#include "os/error.h"
#include "os/posix/fd.h"
#include "os/spawn.h"

namespace os::posix::landlock {

// The kernel's Landlock ABI version, probed once; 0 without Landlock.
int version();

// A ruleset that grants what the confinement names (paths that do not exist are passed over),
// with the handled rights the kernel's ABI knows. An invalid Fd when the kernel has no Landlock.
// Fails with the Win32 code of a refused rule.
Result<Fd> ruleset(const Confinement& confinement);

// In the child, between fork and exec (async-signal-safe): grants reading the calling process's
// own /proc directory, sets no-new-privileges and restricts the calling process to the ruleset.
// Returns 0 or the errno of the failed step.
int restrictSelf(int ruleset);

} // namespace os::posix::landlock
