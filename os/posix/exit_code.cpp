#include "os/exit_code.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "os/posix/errno_map.h"
#include "os/posix/fd.h"

namespace os {

namespace {

constexpr std::uint32_t ioPending = 997;

Result<std::uint32_t> failure(int error) { return Result<std::uint32_t>::failure(posix::win32FromErrno(error)); }

// Replaces the descriptor by the read end of a new pipe that holds `bytes` and is at its end.
std::uint32_t refill(int fd, const unsigned char (&bytes)[4]) {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) < 0) return posix::win32FromErrno(errno);
  posix::Fd reader(fds[0]), writer(fds[1]);
  if (::write(writer.get(), bytes, sizeof bytes) != sizeof bytes) return posix::win32FromErrno(errno);
  writer.reset();
  if (::dup3(reader.get(), fd, O_CLOEXEC) < 0) return posix::win32FromErrno(errno);
  return err::success;
}

} // namespace

Result<std::uint32_t> exitCodeOf(NativeHandle process) {
  const int fd = posix::fdOf(process);
  pollfd polled{fd, POLLIN, 0};
  if (::poll(&polled, 1, 0) < 0) return failure(errno);
  if (polled.revents == 0) return Result<std::uint32_t>::failure(ioPending);
  unsigned char bytes[4];
  std::size_t got = 0;
  while (got < sizeof bytes) {
    ssize_t n = ::read(fd, bytes + got, sizeof bytes - got);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno == EAGAIN) {
      // The writer is between two bytes of the code: wait for the rest.
      pollfd rest{fd, POLLIN, 0};
      (void)::poll(&rest, 1, -1);
      continue;
    }
    if (n < 0) return failure(errno);
    if (n == 0) return Result<std::uint32_t>::failure(err::handleEof);
    got += static_cast<std::size_t>(n);
  }
  if (std::uint32_t rc = refill(fd, bytes)) return Result<std::uint32_t>::failure(rc);
  return static_cast<std::uint32_t>(bytes[0] | bytes[1] << 8 | bytes[2] << 16 | static_cast<std::uint32_t>(bytes[3]) << 24);
}

std::uint32_t writeExitCode(NativeHandle writer, std::uint32_t code) {
  const unsigned char bytes[4] = {static_cast<unsigned char>(code), static_cast<unsigned char>(code >> 8),
                                  static_cast<unsigned char>(code >> 16), static_cast<unsigned char>(code >> 24)};
  ssize_t n;
  do n = ::write(posix::fdOf(writer), bytes, sizeof bytes);
  while (n < 0 && errno == EINTR);
  if (n != sizeof bytes) return posix::win32FromErrno(n < 0 ? errno : EIO);
  return err::success;
}

} // namespace os
