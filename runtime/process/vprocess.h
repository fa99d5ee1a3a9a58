// A started process as the tool sees it: a handle that is signalled when the process ends and
// yields its 32-bit exit code (see os/exit_code.h).
#pragma once

#include <cstdint>

#include "os/handle.h"

class VProcess {
public:
  // Waits for the process to end (alertably, a cancellation point) and returns its exit code.
  // Throws the OS error "GetExitCodeProcess".
  static std::uint32_t getExitCode(os::NativeHandle process);
};
