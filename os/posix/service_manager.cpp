#include "os/service_manager.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <systemd/sd-daemon.h>

#include <cerrno>
#include <cstddef>
#include <cstring>

#include "os/error.h"
#include "os/posix/errno_map.h"
#include "os/posix/fd.h"

namespace os::service_manager {

namespace {

// The path a Unix socket is bound to ("" for an unnamed or abstract one).
std::string boundPath(int fd) {
  sockaddr_un address{};
  socklen_t size = sizeof address;
  if (::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) < 0 ||
      size <= offsetof(sockaddr_un, sun_path))
    return {};
  return std::string(address.sun_path, ::strnlen(address.sun_path, size - offsetof(sockaddr_un, sun_path)));
}

HandedOverSocket fault(std::string text) { return {Handle(), std::move(text)}; }

std::uint32_t notify(const char* state) {
  const int sent = ::sd_notify(0, state);
  return sent < 0 ? posix::win32FromErrno(-sent) : err::success;
}

} // namespace

HandedOverSocket handedOverSocket(const std::string& path) {
  const int count = ::sd_listen_fds(1);
  if (count < 0) return fault(std::string("the descriptors handed over cannot be taken: ") + std::strerror(-count));
  if (count == 0) return {};
  // Every descriptor handed over is owned from here, so that none stays open unused.
  posix::Fd socket(SD_LISTEN_FDS_START);
  for (int extra = 1; extra < count; ++extra) posix::FdTraits::close(SD_LISTEN_FDS_START + extra);
  if (count > 1) return fault(std::to_string(count) + " descriptors handed over; one socket was expected");
  if (::sd_is_socket(socket.get(), AF_UNIX, SOCK_SEQPACKET, 1) <= 0)
    return fault("the descriptor handed over is not a listening Unix SOCK_SEQPACKET socket");
  const std::string bound = boundPath(socket.get());
  if (bound != path)
    return fault("the socket handed over is bound to " + (bound.empty() ? "no path" : bound) + ", not to " + path);
  // sd_listen_fds has made it close-on-exec; the accept loop wants it non-blocking.
  const int flags = ::fcntl(socket.get(), F_GETFL);
  if (flags < 0 || ::fcntl(socket.get(), F_SETFL, flags | O_NONBLOCK) < 0)
    return fault(std::string("the socket handed over cannot be made non-blocking: ") + std::strerror(errno));
  return {posix::toHandle(std::move(socket)), {}};
}

std::uint32_t notifyReady() { return notify("READY=1"); }

std::uint32_t notifyStopping() { return notify("STOPPING=1"); }

} // namespace os::service_manager
