// Opening roots: from a full path by the safe walk, or beneath another root.
#include "os/root.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>

#include "os/path.h"
#include "os/posix/beneath.h"
#include "os/posix/errno_map.h"

namespace os {
namespace {

Result<Root> failure(int error) {
  return Result<Root>::failure(error == ENOTDIR ? err::directory : posix::win32FromErrno(error));
}

} // namespace

Result<Root> Root::open(std::u16string_view path) {
  Result<std::string> host = hostPath(path);
  if (!host.ok()) return Result<Root>::failure(host.code());
  posix::Fd fd;
  if (int error = posix::openSafely(host.value(), O_PATH | O_DIRECTORY, 0, fd))
    return error == ENOENT ? Result<Root>::failure(err::pathNotFound) : failure(error);
  return Root(posix::toHandle(std::move(fd)), std::u16string(path));
}

Result<Root> Root::subdirectory(std::u16string_view relative) const {
  Result<std::string> host = relativeHostPath(relative);
  if (!host.ok()) return Result<Root>::failure(host.code());
  posix::Fd fd(posix::openBeneath(posix::fdOf(handle()), host.value(),
                                  O_PATH | O_DIRECTORY | O_NOFOLLOW));
  if (!fd.valid()) return errno == ENOENT ? Result<Root>::failure(err::pathNotFound) : failure(errno);
  return Root(posix::toHandle(std::move(fd)), pathOf(relative));
}

} // namespace os
