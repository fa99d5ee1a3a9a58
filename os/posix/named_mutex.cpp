#include "os/named_mutex.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <thread>

#include "os/posix/errno_map.h"
#include "os/posix/fd.h"
#include "os/text.h"

namespace os {
namespace {

// Creates a directory with exactly the given mode (umask aside) when it is missing.
std::uint32_t ensureDirectory(const std::string& path, mode_t mode) {
  if (::mkdir(path.c_str(), mode) == 0) {
    if (::chmod(path.c_str(), mode) != 0) return posix::win32FromErrno(errno);
    return err::success;
  }
  return errno == EEXIST ? err::success : posix::win32FromErrno(errno);
}

// Opens the lock file. Opening without O_CREAT first keeps root able to open a file another
// account created in the sticky directory (the kernel's protected_regular rule refuses O_CREAT
// there).
Result<posix::Fd> openLockFile(const std::string& path) {
  for (;;) {
    posix::Fd fd(::open(path.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW));
    if (fd.valid()) return fd;
    if (errno != ENOENT) break;
    fd.reset(::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0666));
    if (fd.valid()) {
      ::fchmod(fd.get(), 0666);
      return fd;
    }
    if (errno != EEXIST) break;
  }
  return Result<posix::Fd>::failure(posix::win32FromErrno(errno));
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
  if (std::uint32_t rc = ensureDirectory(runDirectory, 0755)) return Result<NamedMutex>::failure(rc);
  std::string lockDir = runDirectory + "/lock";
  if (std::uint32_t rc = ensureDirectory(lockDir, 01777)) return Result<NamedMutex>::failure(rc);
  Result<posix::Fd> fd = openLockFile(lockDir + "/" + mutexFileName(name));
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
