// Closing descriptors: the one place in the project that calls close(2).
#include <dirent.h>
#include <unistd.h>

#include "os/posix/fd.h"

namespace os {

namespace posix {
// A close interrupted by a signal has still released the descriptor on Linux: never retry it.
void FdTraits::close(int fd) noexcept { ::close(fd); }

void DirStreamTraits::close(DIR* stream) noexcept { ::closedir(stream); }

DirStream openDirStream(Fd fd) {
  DIR* stream = ::fdopendir(fd.get());
  if (stream) (void)fd.release();
  return DirStream(stream);
}
} // namespace posix

void NativeHandleTraits::close(NativeHandle handle) noexcept {
  posix::FdTraits::close(posix::fdOf(handle));
}

} // namespace os
