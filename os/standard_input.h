// Feeding the process's own standard input to another descriptor.
#pragma once

#include <cstddef>
#include <cstdint>

#include "os/handle.h"

namespace os {

// Reads the process's standard input in chunks of at most `chunk` bytes and writes each chunk
// whole to `to` (a pipe's write end, which is switched to non-blocking), until the input ends or
// a read or write fails. Every wait is alertable, so calls queued for the thread (a
// cancellation among them) run while it waits. Returns success at the end of the input, else
// the Win32 code of the failure.
[[nodiscard]] std::uint32_t copyStandardInput(NativeHandle to, std::size_t chunk);

} // namespace os
