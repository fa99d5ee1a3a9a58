// Process handles: a descriptor that becomes readable when the process ends and then yields its
// 32-bit exit code (four little-endian bytes, then the end of the data). Whoever watches the
// process (the impersonation service) writes the code and closes its end.
#pragma once

#include <cstdint>

#include "os/error.h"
#include "os/handle.h"

namespace os {

// The exit code of an ended process. The code is read without losing it: the descriptor is put
// back over a fresh pipe that holds the same four bytes, so it can be asked again (and still
// reads as signalled). ioPending while the process runs; handleEof when the writer closed
// without a code.
Result<std::uint32_t> exitCodeOf(NativeHandle process);

// The watcher's side: writes the exit code to the descriptor (the write end of the handle's pipe).
[[nodiscard]] std::uint32_t writeExitCode(NativeHandle writer, std::uint32_t code);

} // namespace os
