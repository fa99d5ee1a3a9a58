#include "os/standard_input.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

#include "os/pipe.h"
#include "os/posix/errno_map.h"
#include "os/posix/fd.h"

namespace os {

namespace {

// Waits alertably until the descriptor is ready; the calls queued meanwhile have run.
std::uint32_t waitFor(int fd, pipe::Direction direction) {
  for (;;) {
    Result<std::uint32_t> ready = pipe::waitReady(posix::handleOf(fd), direction, INFINITE_WAIT, true);
    if (!ready.ok()) return ready.code();
    if (ready.value() == WAIT_OBJECT_0) return err::success;
  }
}

std::uint32_t writeWhole(int fd, const char* data, std::size_t size) {
  while (size > 0) {
    ssize_t n = ::write(fd, data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno == EAGAIN) {
      if (std::uint32_t rc = waitFor(fd, pipe::Direction::Write)) return rc;
      continue;
    }
    if (n < 0) return posix::win32FromErrno(errno);
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return err::success;
}

} // namespace

std::uint32_t copyStandardInput(NativeHandle to, std::size_t chunk) {
  const int out = posix::fdOf(to);
  const int flags = ::fcntl(out, F_GETFL);
  if (flags < 0 || ::fcntl(out, F_SETFL, flags | O_NONBLOCK) < 0) return posix::win32FromErrno(errno);
  std::vector<char> buffer(chunk);
  for (;;) {
    if (std::uint32_t rc = waitFor(STDIN_FILENO, pipe::Direction::Read)) return rc;
    ssize_t n = ::read(STDIN_FILENO, buffer.data(), buffer.size());
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (n < 0) return posix::win32FromErrno(errno);
    if (n == 0) return err::success;
    if (std::uint32_t rc = writeWhole(out, buffer.data(), static_cast<std::size_t>(n))) return rc;
  }
}

} // namespace os
