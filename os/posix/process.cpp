#include "os/process.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>
#include <mutex>
#include <optional>

#include "os/accounts.h"
#include "os/path.h"
#include "os/posix/errno_map.h"
#include "os/posix/fd.h"
#include "os/posix/io.h"
#include "os/text.h"

namespace os {

namespace {

constexpr mode_t kLogMode = 0640;
constexpr mode_t kLogDirectoryMode = 0750;

// The group of the host's log readers: "adm" where the account database knows it.
std::optional<gid_t> logReaders() {
  Result<GroupAccount> readers = groupByName(u"adm");
  if (!readers.ok()) return std::nullopt;
  return readers.value().gid;
}

// Gives a log the mode of a new one (whatever the umask took away) and, when root writes it, the
// group of the host's log readers: "adm" where the account database knows it (otherwise the
// owner's group stays, which is no wider).
std::uint32_t makeLogPrivate(int fd) {
  if (::fchmod(fd, kLogMode) != 0) return posix::win32FromErrno(errno);
  if (::geteuid() != 0) return err::success;
  std::optional<gid_t> readers = logReaders();
  if (!readers) return err::success;
  return ::fchown(fd, static_cast<uid_t>(-1), *readers) == 0 ? err::success : posix::win32FromErrno(errno);
}

std::string parentOf(const std::string& path) {
  std::size_t slash = path.find_last_of('/');
  return slash == std::string::npos || slash == 0 ? "/" : path.substr(0, slash);
}

} // namespace

std::u16string executablePath() {
  char buffer[4096];
  ssize_t n = ::readlink("/proc/self/exe", buffer, sizeof buffer - 1);
  if (n <= 0) return {};
  return windowsPath(std::string_view(buffer, static_cast<std::size_t>(n)));
}

std::uint32_t processId() { return static_cast<std::uint32_t>(::getpid()); }

std::uint32_t threadId() { return static_cast<std::uint32_t>(::syscall(SYS_gettid)); }

LocalTime localTime() {
  timeval now{};
  ::gettimeofday(&now, nullptr);
  tm local{};
  ::localtime_r(&now.tv_sec, &local);
  return {local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour,
          local.tm_min,         local.tm_sec,     static_cast<int>(now.tv_usec / 1000)};
}

std::uint32_t appendToLog(std::u16string_view path, std::string_view header, std::string_view data) {
  Result<std::string> host = hostPath(path);
  if (!host.ok()) return host.code();
  // O_NONBLOCK: a FIFO in the log's place must not hold the tool up.
  constexpr int flags = O_WRONLY | O_APPEND | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK;
  bool created = true;
  posix::Fd fd(::open(host.value().c_str(), flags | O_CREAT | O_EXCL, kLogMode));
  if (!fd && errno == EEXIST) {
    created = false;
    fd.reset(::open(host.value().c_str(), flags));
  }
  if (!fd) return errno == ELOOP ? err::accessDenied : posix::win32FromErrno(errno);
  struct stat st{};
  if (::fstat(fd.get(), &st) != 0) return posix::win32FromErrno(errno);
  if (!S_ISREG(st.st_mode)) return err::accessDenied;
  const bool looser = (st.st_mode & 07777 & ~kLogMode) != 0;
  if (created || (::geteuid() == 0 && st.st_uid == 0 && st.st_nlink == 1 && looser))
    if (std::uint32_t rc = makeLogPrivate(fd.get())) return rc;
  std::uint32_t rc = st.st_size == 0 ? posix::writeAll(fd.get(), header) : err::success;
  if (rc == err::success) rc = posix::writeAll(fd.get(), data);
  return rc;
}

std::uint32_t makeLogDirectory(std::u16string_view path) {
  Result<std::string> host = hostPath(path);
  if (!host.ok()) return host.code();
  const std::string parent = parentOf(host.value());
  if (::mkdir(parent.c_str(), 0755) != 0 && errno != EEXIST)
    return posix::missingObjectCode(errno, posix::Missing::directoryOnTheWay);
  if (::mkdir(host.value().c_str(), kLogDirectoryMode) != 0)
    return errno == EEXIST ? err::success : posix::win32FromErrno(errno);
  // Made here: the umask may have taken bits away, and the readers' group is given explicitly.
  posix::Fd fd(::open(host.value().c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!fd) return posix::win32FromErrno(errno);
  if (::fchmod(fd.get(), kLogDirectoryMode) != 0) return posix::win32FromErrno(errno);
  std::optional<gid_t> readers = ::geteuid() == 0 ? logReaders() : std::nullopt;
  if (readers && ::fchown(fd.get(), static_cast<uid_t>(-1), *readers) != 0) return posix::win32FromErrno(errno);
  return err::success;
}

void reportEvent(std::u16string_view source, EventType type, std::u16string_view text) {
  // openlog keeps the identity pointer: it must outlive every later call.
  static std::mutex mutex;
  static std::string identity;
  std::lock_guard lock(mutex);
  std::string wanted = utf8FromUtf16(source);
  if (wanted != identity) {
    identity = wanted;
    ::openlog(identity.c_str(), LOG_PID, LOG_USER);
  }
  int priority = type == EventType::Information ? LOG_INFO
                 : type == EventType::Warning   ? LOG_WARNING
                 : type == EventType::Success   ? LOG_NOTICE
                                                : LOG_ERR;
  ::syslog(priority, "%s", utf8FromUtf16(text).c_str());
}

} // namespace os
