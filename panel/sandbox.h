// What confines a program the impersonation service starts: the paths it may reach (Landlock)
// and the limits of its run, from the request and the registry key HKLM\SOFTWARE\Tavrix\Sandbox.
//
// The request names no site: the paths come from what it carries and from the host.
//   read and execute: /usr, /lib, /lib32, /lib64, /libx32, /bin, /sbin, /etc, /opt and the
//                     program's own directory (a script processor's install directory)
//   read:             the parent of the working directory (a script runs in its application's
//                     scripts directory, so this is the application's repository directory),
//                     and "ExtraReadPaths"
//   read and write:   the user's site directories below HTTPD_VHOSTS_D (os/run_directories.h),
//                     a private temporary directory (TMPDIR), and "ExtraWritePaths"
// Limits: "MemoryLimitMiB" (512), "TaskLimit" (256), "CpuTimeSeconds" (600), "WallTimeSeconds"
// (1800); 0 turns one off.
#pragma once

#include <string>

#include "os/impersonation.h"
#include "os/spawn.h"

namespace panel {

struct Sandbox {
  os::Confinement confinement;
  os::RunLimits limits;
  std::u16string temporaryDirectory; // host path, removed by the caller after the run
};

// Makes the run's temporary directory (the user's, mode 0700) and the rules. Throws vexception
// when the directory cannot be made.
Sandbox prepareSandbox(const os::ThreadIdentity& account, const std::u16string& program,
                       const std::u16string& workingDirectory);

// The environment with TMPDIR set to the directory (any TMPDIR entry replaced).
std::vector<std::u16string> withTemporaryDirectory(std::vector<std::u16string> environment,
                                                   const std::u16string& directory);

// The line a run that ran into a limit ends its error output with; empty for none.
std::string limitMessage(os::LimitHit limit, const os::RunLimits& limits);

} // namespace panel
