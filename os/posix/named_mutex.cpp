#include "os/named_mutex.h"

#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <thread>

#include "os/impersonation.h"
#include "os/posix/errno_map.h"
#include "os/posix/fd.h"
#include "os/posix/lock_area.h"
#include "os/text.h"

namespace os {
namespace {

// The run directory is made when missing (its parent must exist), with mode 0755 whatever the
// umask.
std::uint32_t ensureRunDirectory(const std::string& path) {
  if (::mkdir(path.c_str(), 0755) == 0)
    return ::chmod(path.c_str(), 0755) == 0 ? err::success : posix::win32FromErrno(errno);
  return errno == EEXIST ? err::success : posix::win32FromErrno(errno);
}

} // namespace

std::string mutexFileName(std::u16string_view name) {
  for (std::u16string_view prefix : {std::u16string_view(u"Global\\"), std::u16string_view(u"Local\\")})
    if (name.substr(0, prefix.size()) == prefix) {
      name.remove_prefix(prefix.size());
      break;
    }
  std::string file;
  for (unsigned char b : utf8FromUtf16(name)) {
    if ((b >= 'A' && b <= 'Z') || (b >= 'a' && b <= 'z') || (b >= '0' && b <= '9') ||
        b == '.' || b == '_' || b == '{' || b == '}' || b == '-') {
      file += static_cast<char>(b);
    } else {
      static const char hex[] = "0123456789ABCDEF";
      file += '%';
      file += hex[b >> 4];
      file += hex[b & 15];
    }
  }
  return file.empty() ? std::string("%") : file;
}

Result<NamedMutex> NamedMutex::open(const std::string& runDirectory, std::u16string_view name) {
  // The lock area is the process's own: a thread acting as a site user opens it as the tool.
  const SelfScope self;
  if (std::uint32_t rc = ensureRunDirectory(runDirectory)) return Result<NamedMutex>::failure(rc);
  const std::string lockDir = runDirectory + "/lock";
  Result<posix::Fd> directory = posix::openLockDirectory(lockDir);
  if (!directory.ok()) return directory.error();
  Result<posix::Fd> fd = posix::openLockFile(directory.value().get(), lockDir, mutexFileName(name));
  if (!fd.ok()) return fd.error();
  return NamedMutex(posix::toHandle(std::move(fd.value())));
}

Result<std::uint32_t> NamedMutex::wait(std::uint32_t timeoutMs) {
  if (!file_.valid()) return Result<std::uint32_t>::failure(err::invalidHandle);
  const int fd = posix::fdOf(file_.get());
  if (timeoutMs == INFINITE_WAIT) {
    while (::flock(fd, LOCK_EX) != 0)
      if (errno != EINTR) return Result<std::uint32_t>::failure(posix::win32FromErrno(errno));
    held_ = true;
    return WAIT_OBJECT_0;
  }
  // flock has no timeout: poll without blocking until the deadline.
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  auto pause = std::chrono::milliseconds(1);
  for (;;) {
    if (::flock(fd, LOCK_EX | LOCK_NB) == 0) {
      held_ = true;
      return WAIT_OBJECT_0;
    }
    if (errno != EWOULDBLOCK && errno != EINTR)
      return Result<std::uint32_t>::failure(posix::win32FromErrno(errno));
    auto now = std::chrono::steady_clock::now();
    if (now >= deadline) return WAIT_TIMEOUT;
    std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(pause, deadline - now));
    pause = std::min(pause * 2, std::chrono::milliseconds(50));
  }
}

std::uint32_t NamedMutex::release() {
  if (!file_.valid() || !held_) return err::notOwner;
  held_ = false;
  return ::flock(posix::fdOf(file_.get()), LOCK_UN) == 0 ? err::success : posix::win32FromErrno(errno);
}

} // namespace os
