#include "os/stop_signal.h"

#include <signal.h>
#include <sys/signalfd.h>

#include <cerrno>

#include "os/posix/errno_map.h"
#include "os/posix/fd.h"

namespace os {

Result<Handle> openStopSignal() {
  sigset_t stop;
  sigemptyset(&stop);
  sigaddset(&stop, SIGTERM);
  sigaddset(&stop, SIGINT);
  // The signal stays pending (the descriptor is never read), so every waiter sees it.
  if (::pthread_sigmask(SIG_BLOCK, &stop, nullptr) != 0 || ::signal(SIGPIPE, SIG_IGN) == SIG_ERR)
    return Result<Handle>::failure(posix::win32FromErrno(errno));
  int fd = ::signalfd(-1, &stop, SFD_CLOEXEC | SFD_NONBLOCK);
  if (fd < 0) return Result<Handle>::failure(posix::win32FromErrno(errno));
  return Handle(posix::handleOf(fd));
}

} // namespace os
