// The calling thread's capability sets, read and written with the raw calls, which act on this
// thread alone (the C library has no per-thread wrapper).
#pragma once

#include <linux/capability.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

#include "os/error.h"
#include "os/posix/errno_map.h"

namespace os::posix {

struct Capabilities {
  __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3] = {};

  // Each returns the Win32 code.
  [[nodiscard]] std::uint32_t read() { return outcome(::syscall(SYS_capget, &header, data)); }
  [[nodiscard]] std::uint32_t write() { return outcome(::syscall(SYS_capset, &header, data)); }

  static std::uint32_t bit(int capability) { return 1u << (capability % 32); }
  bool permitted(int capability) const { return data[capability / 32].permitted & bit(capability); }
  bool effective(int capability) const { return data[capability / 32].effective & bit(capability); }

private:
  static std::uint32_t outcome(long rc) { return rc == 0 ? err::success : win32FromErrno(errno); }
};

} // namespace os::posix
