// Writing a whole buffer to a descriptor: write(2) may take less than it is given, and a signal
// may interrupt it.
#pragma once

#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <string_view>

#include "os/error.h"
#include "os/posix/errno_map.h"

namespace os::posix {

// Writes every byte; returns the Win32 code of the first failure (a write that takes nothing is
// a full disk).
[[nodiscard]] inline std::uint32_t writeAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return win32FromErrno(errno);
    if (n == 0) return err::diskFull;
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return err::success;
}

} // namespace os::posix
