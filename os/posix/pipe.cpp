#include "os/pipe.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <algorithm>
#include <cstring>

#include "os/deadline.h"
#include "os/posix/apc.h"
#include "os/posix/errno_map.h"
#include "os/posix/fd.h"
#include "os/text.h"

namespace os::pipe {

namespace {

using posix::Fd;
using posix::fdOf;

// Socket failures in pipe terms; everything else goes through the common mapping.
std::uint32_t pipeError(int error) {
  switch (error) {
  case EAGAIN:
#if EWOULDBLOCK != EAGAIN
  case EWOULDBLOCK:
#endif
    return ioPending;
  case ECONNREFUSED:
    return err::fileNotFound;
  case EPIPE:
  case ECONNRESET:
  case ENOTCONN:
    return err::brokenPipe;
  case EMSGSIZE:
    return err::moreData;
  default:
    return posix::win32FromErrno(error);
  }
}

template <class T>
Result<T> failure(int error) {
  return Result<T>::failure(pipeError(error));
}

int socketType(Kind kind) { return kind == Kind::Message ? SOCK_SEQPACKET : SOCK_STREAM; }

Result<sockaddr_un> address(const std::string& path) {
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  if (path.size() >= sizeof addr.sun_path) return Result<sockaddr_un>::failure(err::filenameExcedRange);
  std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
  return addr;
}

Result<Fd> newSocket(Kind kind) {
  int fd = ::socket(AF_UNIX, socketType(kind) | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return failure<Fd>(errno);
  return Fd(fd);
}

// The send buffer beyond the largest message: what the kernel counts of a message besides its
// bytes.
constexpr std::size_t kSendHeadroom = 64 * 1024;
// The most descriptors one message may carry (the kernel's SCM_MAX_FD).
constexpr std::size_t kMaxPassedDescriptors = 253;

// Sizes a message pipe's send buffer for the largest message: the kernel refuses at once a
// message larger than the sender's buffer (EMSGSIZE), whatever the receiver could take.
// SO_SNDBUFFORCE passes the host's limit but needs root; the plain option is capped at
// net.core.wmem_max. A buffer left smaller only lowers the bound, so failures are not errors.
// The size is a limit, not memory set aside.
void sizeSendBuffer(int fd) {
  const int size = static_cast<int>(maxMessage + kSendHeadroom);
  if (::setsockopt(fd, SOL_SOCKET, SO_SNDBUFFORCE, &size, sizeof size) < 0)
    (void)::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
}

// The time left before a deadline, in poll's terms (-1: forever).
int pollTimeout(const Deadline& deadline) {
  if (deadline.infinite()) return -1;
  return static_cast<int>(std::min<std::uint32_t>(deadline.remainingMs(), INT32_MAX));
}

// A received message's length and whether it was cut: the end of the data is handleEof.
Result<std::size_t> receivedSize(ssize_t n, const msghdr& header) {
  if (n < 0) return failure<std::size_t>(errno);
  if (header.msg_flags & MSG_TRUNC) return Result<std::size_t>::failure(err::moreData);
  if (n == 0 && header.msg_iovlen > 0 && header.msg_iov[0].iov_len > 0)
    return Result<std::size_t>::failure(err::handleEof);
  return static_cast<std::size_t>(n);
}

// The run directory and its pipe directory, when missing; 0 or the errno.
int makePipeDirectory(const std::string& directory) {
  for (const std::string& dir : {directory.substr(0, directory.rfind('/')), directory})
    if (!dir.empty() && ::mkdir(dir.c_str(), 0755) < 0 && errno != EEXIST) return errno;
  return 0;
}

// The process id written in a lock file, or 0.
std::uint32_t writtenId(int fd) {
  char text[16] = {};
  if (::pread(fd, text, sizeof text - 1, 0) <= 0) return 0;
  std::uint32_t id = 0;
  for (const char* c = text; *c >= '0' && *c <= '9' && id < 100000000; ++c) id = id * 10 + (*c - '0');
  return id;
}

} // namespace

Result<std::string> socketPath(const std::string& runDirectory, std::u16string_view pipeName) {
  constexpr std::u16string_view prefix = u"\\\\.\\pipe\\";
  if (pipeName.starts_with(prefix)) pipeName.remove_prefix(prefix.size());
  if (pipeName.empty() || pipeName == u"." || pipeName == u".." || pipeName.find(u'/') != pipeName.npos ||
      pipeName.find(u'\0') != pipeName.npos)
    return Result<std::string>::failure(err::badPathName);
  return runDirectory + "/pipe/" + utf8FromUtf16(pipeName);
}

Result<Kind> kindOf(NativeHandle pipe) {
  int type = 0;
  socklen_t size = sizeof type;
  if (::getsockopt(fdOf(pipe), SOL_SOCKET, SO_TYPE, &type, &size) < 0) {
    if (errno == ENOTSOCK) return Kind::Byte;
    return failure<Kind>(errno);
  }
  return type == SOCK_SEQPACKET ? Kind::Message : Kind::Byte;
}

Result<Handle> duplicate(NativeHandle handle) {
  int fd = ::fcntl(fdOf(handle), F_DUPFD_CLOEXEC, 0);
  if (fd < 0) return failure<Handle>(errno);
  return Handle(posix::handleOf(fd));
}

Result<Handle> connect(const std::string& path, Kind kind) {
  Result<sockaddr_un> addr = address(path);
  if (!addr.ok()) return Result<Handle>::failure(addr.code());
  Result<Fd> fd = newSocket(kind);
  if (!fd.ok()) return Result<Handle>::failure(fd.code());
  if (kind == Kind::Message) sizeSendBuffer(fd.value().get());
  int rc;
  do rc = ::connect(fd.value().get(), reinterpret_cast<const sockaddr*>(&addr.value()), sizeof addr.value());
  while (rc < 0 && errno == EINTR);
  if (rc < 0) {
    // A Unix socket refuses at once when its backlog is full: the pipe is busy.
    if (errno == EAGAIN) return Result<Handle>::failure(err::pipeBusy);
    // A socket of the other type listens on the name: the pipe exists, but not for this mode.
    if (errno == EPROTOTYPE) return Result<Handle>::failure(err::pipeNotConnected);
    return failure<Handle>(errno);
  }
  return posix::toHandle(std::move(fd.value()));
}

Result<Handle> listen(const std::string& path, Kind kind, std::uint32_t mode, int backlog, SocketFile* bound) {
  Result<sockaddr_un> addr = address(path);
  if (!addr.ok()) return Result<Handle>::failure(addr.code());
  const std::string directory = path.substr(0, path.rfind('/'));
  if (int error = makePipeDirectory(directory)) return failure<Handle>(error);
  Result<Fd> fd = newSocket(kind);
  if (!fd.ok()) return Result<Handle>::failure(fd.code());
  // Only a socket is ever replaced: a file someone put under the pipe's name is an error.
  struct stat st;
  if (::lstat(path.c_str(), &st) == 0 && !S_ISSOCK(st.st_mode))
    return Result<Handle>::failure(err::alreadyExists);
  // The socket is bound under a private name, listening and given its mode there, and then
  // renamed over the pipe's name: a client never finds the name before it accepts connections
  // with the right mode (root ignores the mode, so the umask alone would not do).
  const std::string staging = directory + "/.listen." + std::to_string(::getpid());
  Result<sockaddr_un> stagingAddress = address(staging);
  if (!stagingAddress.ok()) return Result<Handle>::failure(stagingAddress.code());
  ::unlink(staging.c_str());
  if (::bind(fd.value().get(), reinterpret_cast<const sockaddr*>(&stagingAddress.value()),
             sizeof stagingAddress.value()) < 0)
    return failure<Handle>(errno);
  // The file keeps its device and inode through the rename.
  if (::chmod(staging.c_str(), mode) < 0 || ::listen(fd.value().get(), backlog) < 0 ||
      ::lstat(staging.c_str(), &st) < 0 || ::rename(staging.c_str(), path.c_str()) < 0) {
    const int error = errno;
    ::unlink(staging.c_str());
    return failure<Handle>(error);
  }
  if (bound) *bound = {st.st_dev, st.st_ino};
  return posix::toHandle(std::move(fd.value()));
}

Result<Handle> claimName(const std::string& path, std::uint32_t& holder) {
  if (int error = makePipeDirectory(path.substr(0, path.rfind('/')))) return failure<Handle>(error);
  const std::string lockPath = path + ".lock";
  // O_NONBLOCK: a FIFO put under the name must not hang the open.
  Fd fd(::open(lockPath.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600));
  if (!fd.valid()) return failure<Handle>(errno);
  struct stat st;
  if (::fstat(fd.get(), &st) < 0) return failure<Handle>(errno);
  if (!S_ISREG(st.st_mode) || st.st_uid != ::geteuid() || (st.st_mode & 077))
    return Result<Handle>::failure(err::accessDenied);
  if (::flock(fd.get(), LOCK_EX | LOCK_NB) < 0) {
    if (errno != EWOULDBLOCK) return failure<Handle>(errno);
    holder = writtenId(fd.get());
    return Result<Handle>::failure(err::lockViolation);
  }
  const std::string id = std::to_string(::getpid()) + "\n";
  if (::ftruncate(fd.get(), 0) < 0 || ::pwrite(fd.get(), id.data(), id.size(), 0) != static_cast<ssize_t>(id.size()))
    return failure<Handle>(errno);
  return posix::toHandle(std::move(fd));
}

void removeSocketFile(const std::string& path, const SocketFile& bound) {
  struct stat st;
  if (::lstat(path.c_str(), &st) == 0 && S_ISSOCK(st.st_mode) && st.st_dev == bound.device && st.st_ino == bound.inode)
    ::unlink(path.c_str());
}

Result<Handle> accept(NativeHandle listener) {
  int fd;
  do fd = ::accept4(fdOf(listener), nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
  while (fd < 0 && errno == EINTR);
  if (fd < 0) return failure<Handle>(errno);
  Handle accepted(posix::handleOf(fd));
  if (Result<Kind> kind = kindOf(accepted.get()); kind.ok() && kind.value() == Kind::Message) sizeSendBuffer(fd);
  return accepted;
}

Result<Handle> reserveDescriptor() {
  Fd fd(::open("/dev/null", O_RDONLY | O_CLOEXEC));
  if (!fd.valid()) return failure<Handle>(errno);
  return posix::toHandle(std::move(fd));
}

Result<std::size_t> receive(NativeHandle pipe, void* buffer, std::size_t count) {
  std::vector<Handle> none;
  Result<std::size_t> received = receiveWithHandles(pipe, buffer, count, none);
  if (received.ok() || received.code() != posix::win32FromErrno(ENOTSOCK)) return received;
  // An anonymous pipe: a plain read, whose 0 is the end of the data.
  ssize_t n;
  do n = ::read(fdOf(pipe), buffer, count);
  while (n < 0 && errno == EINTR);
  if (n < 0) return failure<std::size_t>(errno);
  if (n == 0 && count > 0) return Result<std::size_t>::failure(err::handleEof);
  return static_cast<std::size_t>(n);
}

Result<std::size_t> send(NativeHandle pipe, const void* data, std::size_t count) {
  return sendWithHandles(pipe, data, count, {});
}

Result<std::size_t> sendWithHandles(NativeHandle pipe, const void* data, std::size_t count,
                                    std::span<const NativeHandle> handles) {
  iovec io{const_cast<void*>(data), count};
  msghdr header{};
  header.msg_iov = &io;
  header.msg_iovlen = 1;
  std::vector<char> control;
  if (!handles.empty()) {
    control.resize(CMSG_SPACE(sizeof(int) * handles.size()));
    header.msg_control = control.data();
    header.msg_controllen = control.size();
    cmsghdr* message = CMSG_FIRSTHDR(&header);
    message->cmsg_level = SOL_SOCKET;
    message->cmsg_type = SCM_RIGHTS;
    message->cmsg_len = CMSG_LEN(sizeof(int) * handles.size());
    int* fds = reinterpret_cast<int*>(CMSG_DATA(message));
    for (std::size_t i = 0; i < handles.size(); ++i) fds[i] = fdOf(handles[i]);
  }
  ssize_t n;
  do n = ::sendmsg(fdOf(pipe), &header, MSG_NOSIGNAL);
  while (n < 0 && errno == EINTR);
  if (n < 0) return failure<std::size_t>(errno);
  return static_cast<std::size_t>(n);
}

Result<std::size_t> receiveWithHandles(NativeHandle pipe, void* buffer, std::size_t count,
                                       std::vector<Handle>& handles) {
  iovec io{buffer, count};
  msghdr header{};
  header.msg_iov = &io;
  header.msg_iovlen = 1;
  // Room for as many descriptors as a message may carry: the kernel then cuts them (MSG_CTRUNC)
  // only when this process has no room for them.
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int) * kMaxPassedDescriptors)];
  header.msg_control = control;
  header.msg_controllen = sizeof control;
  ssize_t n;
  do n = ::recvmsg(fdOf(pipe), &header, MSG_CMSG_CLOEXEC);
  while (n < 0 && errno == EINTR);
  std::vector<Handle> received;
  if (n >= 0) {
    for (cmsghdr* message = CMSG_FIRSTHDR(&header); message; message = CMSG_NXTHDR(&header, message)) {
      if (message->cmsg_level != SOL_SOCKET || message->cmsg_type != SCM_RIGHTS) continue;
      const std::size_t fdCount = (message->cmsg_len - CMSG_LEN(0)) / sizeof(int);
      const int* fds = reinterpret_cast<const int*>(CMSG_DATA(message));
      for (std::size_t i = 0; i < fdCount; ++i) received.emplace_back(posix::handleOf(fds[i]));
    }
    // Part of what the message carried is lost: the rest is of no use.
    if (header.msg_flags & MSG_CTRUNC) return Result<std::size_t>::failure(err::tooManyOpenFiles);
  }
  Result<std::size_t> size = receivedSize(n, header);
  if (size.ok())
    for (Handle& handle : received) handles.push_back(std::move(handle));
  return size;
}

Result<std::size_t> nextMessageSize(NativeHandle pipe) {
  // On a message socket MSG_TRUNC makes a receive return the message's whole length.
  ssize_t n;
  do n = ::recv(fdOf(pipe), nullptr, 0, MSG_PEEK | MSG_TRUNC | MSG_DONTWAIT);
  while (n < 0 && errno == EINTR);
  if (n < 0) return failure<std::size_t>(errno);
  return static_cast<std::size_t>(n);
}

Result<std::uint32_t> waitReady(NativeHandle handle, Direction direction, std::uint32_t timeoutMs,
                                bool alertable) {
  using Wait = Result<std::uint32_t>;
  const Result<int> apcQueue = alertable ? posix::apcDescriptor() : Result<int>(-1);
  if (!apcQueue.ok()) return Wait::failure(apcQueue.code());
  const int apc = apcQueue.value();
  const Deadline deadline(timeoutMs);
  const short events = direction == Direction::Read ? POLLIN : POLLOUT;
  for (;;) {
    pollfd polled[2] = {{fdOf(handle), events, 0}, {apc, POLLIN, 0}};
    int n = ::poll(polled, alertable ? 2 : 1, pollTimeout(deadline));
    if (n < 0 && errno != EINTR) return Wait::failure(posix::win32FromErrno(errno));
    if (n > 0 && polled[0].revents) return WAIT_OBJECT_0;
    if (n > 0 && (polled[1].revents & POLLIN) && posix::runQueuedApcs()) return WAIT_IO_COMPLETION;
    if (n == 0) return WAIT_TIMEOUT;
  }
}

Result<std::uint32_t> waitReadable(std::span<const NativeHandle> handles, std::uint32_t timeoutMs) {
  using Wait = Result<std::uint32_t>;
  std::vector<pollfd> polled;
  for (NativeHandle handle : handles) polled.push_back({fdOf(handle), POLLIN, 0});
  const Deadline deadline(timeoutMs);
  for (;;) {
    int n = ::poll(polled.data(), polled.size(), pollTimeout(deadline));
    if (n < 0 && errno != EINTR) return Wait::failure(posix::win32FromErrno(errno));
    if (n == 0) return WAIT_TIMEOUT;
    for (std::size_t i = 0; n > 0 && i < polled.size(); ++i)
      if (polled[i].revents) return static_cast<std::uint32_t>(WAIT_OBJECT_0 + i);
  }
}

Result<SyncObject> readableObject(NativeHandle handle) {
  Result<Handle> copy = duplicate(handle);
  if (!copy.ok()) return Result<SyncObject>::failure(copy.code());
  return SyncObject::adoptReadable(std::move(copy.value()));
}

std::uint32_t disconnect(NativeHandle pipe) {
  if (::shutdown(fdOf(pipe), SHUT_RDWR) < 0 && errno != ENOTCONN) return pipeError(errno);
  return err::success;
}

Result<PeerCredentials> peerCredentials(NativeHandle pipe) {
  ucred credentials{};
  socklen_t size = sizeof credentials;
  if (::getsockopt(fdOf(pipe), SOL_SOCKET, SO_PEERCRED, &credentials, &size) < 0)
    return failure<PeerCredentials>(errno);
  return PeerCredentials{static_cast<std::uint32_t>(credentials.pid), credentials.uid, credentials.gid};
}

Result<PipePair> createPipe(std::uint32_t bufferSize, bool nonBlockingRead) {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) < 0) return Result<PipePair>::failure(posix::win32FromErrno(errno));
  PipePair pair{Handle(posix::handleOf(fds[0])), Handle(posix::handleOf(fds[1]))};
  if (nonBlockingRead && ::fcntl(fds[0], F_SETFL, O_NONBLOCK) < 0)
    return Result<PipePair>::failure(posix::win32FromErrno(errno));
  if (bufferSize != 0 && ::fcntl(fds[1], F_SETPIPE_SZ, static_cast<int>(bufferSize)) < 0)
    return Result<PipePair>::failure(posix::win32FromErrno(errno));
  return pair;
}

} // namespace os::pipe
