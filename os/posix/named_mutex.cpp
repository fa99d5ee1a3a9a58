#include "os/named_mutex.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <thread>

#include "os/posix/errno_map.h"
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
int openLockFile(const std::string& path) {
  for (;;) {
    int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW);
    if (fd >= 0 || errno != ENOENT) return fd;
    fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0666);
    if (fd >= 0) {
      ::fchmod(fd, 0666);
      return fd;
    }
    if (errno != EEXIST) return -1;
  }
}

} // namespace

std::string mutexFileName(std::u16string_view name) {
  for (std::u16string_view prefix : {std::u16string_view(u"Global\\"), std::u16string_view(u"Local\\")})
    if (name.substr(0, prefix.size()) == prefix) {
      name.remove_prefix(prefix.size());
      break;
    }
  std::u16string upper(name);
  for (char16_t& c : upper) c = toUpper(c);
  std::string file;
  for (unsigned char b : utf8FromUtf16(upper)) {
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

NamedMutex& NamedMutex::operator=(NamedMutex&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = other.fd_;
    held_ = other.held_;
    other.fd_ = -1;
  }
  return *this;
}

NamedMutex::~NamedMutex() {
  if (fd_ >= 0) ::close(fd_);
}

Result<NamedMutex> NamedMutex::open(const std::string& runDirectory, std::u16string_view name) {
  if (std::uint32_t rc = ensureDirectory(runDirectory, 0755)) return Result<NamedMutex>::failure(rc);
  std::string lockDir = runDirectory + "/lock";
  if (std::uint32_t rc = ensureDirectory(lockDir, 01777)) return Result<NamedMutex>::failure(rc);
  int fd = openLockFile(lockDir + "/" + mutexFileName(name));
  if (fd < 0) return Result<NamedMutex>::failure(posix::win32FromErrno(errno));
  NamedMutex mutex;
  mutex.fd_ = fd;
  return Result<NamedMutex>(std::move(mutex));
}

Result<std::uint32_t> NamedMutex::wait(std::uint32_t timeoutMs) {
  if (fd_ < 0) return Result<std::uint32_t>::failure(err::invalidHandle);
  if (timeoutMs == INFINITE_WAIT) {
    while (::flock(fd_, LOCK_EX) != 0)
      if (errno != EINTR) return Result<std::uint32_t>::failure(posix::win32FromErrno(errno));
    held_ = true;
    return WAIT_OBJECT_0;
  }
  // flock has no timeout: poll without blocking until the deadline.
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  auto pause = std::chrono::milliseconds(1);
  for (;;) {
    if (::flock(fd_, LOCK_EX | LOCK_NB) == 0) {
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
  if (fd_ < 0 || !held_) return err::notOwner;
  held_ = false;
  return ::flock(fd_, LOCK_UN) == 0 ? err::success : posix::win32FromErrno(errno);
}

} // namespace os
