#include "os/environment.h"

#include <cerrno>
#include <cstdlib>

#include "os/error.h"
#include "os/posix/errno_map.h"

namespace os {

std::uint32_t setEnvironmentVariable(const std::string& name, const std::string& value) {
  if (::setenv(name.c_str(), value.c_str(), 1) != 0) return posix::win32FromErrno(errno);
  return err::success;
}

} // namespace os
