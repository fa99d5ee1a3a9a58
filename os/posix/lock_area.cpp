#include "os/posix/lock_area.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "os/path.h"
#include "os/posix/errno_map.h"
#include "os/tree.h"

namespace os::posix {
namespace {

constexpr mode_t kDirectoryMode = 0755;
constexpr mode_t kFileMode = 0600;
// O_NONBLOCK: a FIFO put in the file's place must not hold the open up.
constexpr int kFileFlags = O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
// Only the effective user can put an entry in a lock directory, so every round either opens a
// private file or removes what another account left there before the directory was its own;
// the bound only guards against another of our own processes playing with the same name.
constexpr int kRounds = 8;

Result<Fd> failure(int error) { return Result<Fd>::failure(win32FromErrno(error)); }

// A file that no other account can have opened, nor reach through a link of its own.
bool isPrivate(const struct stat& st) {
  return S_ISREG(st.st_mode) && st.st_uid == ::geteuid() && st.st_nlink == 1 &&
         (st.st_mode & 07777) == kFileMode;
}

// Removes the entry `name` if it is still the object `seen`: a process of ours that replaced it
// meanwhile keeps its file. A directory goes with everything below it.
std::uint32_t removeEntry(int directory, const std::string& directoryPath, const std::string& name,
                          const struct stat& seen) {
  struct stat now {};
  if (::fstatat(directory, name.c_str(), &now, AT_SYMLINK_NOFOLLOW) != 0)
    return errno == ENOENT ? err::success : win32FromErrno(errno);
  if (now.st_dev != seen.st_dev || now.st_ino != seen.st_ino) return err::success;
  if (!S_ISDIR(now.st_mode))
    return ::unlinkat(directory, name.c_str(), 0) == 0 || errno == ENOENT ? err::success
                                                                           : win32FromErrno(errno);
  std::u16string entry;
  Result<Root> parent = Root::openParent(windowsPath(directoryPath + "/" + name), entry);
  if (!parent.ok()) return parent.code();
  TreeOutcome removed = removeTree(parent.value(), entry, true);
  return removed.failure ? removed.failure->code : err::success;
}

} // namespace

Result<Fd> openLockDirectory(const std::string& path) {
  if (::mkdir(path.c_str(), kDirectoryMode) != 0 && errno != EEXIST) return failure(errno);
  Fd fd(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!fd.valid())
    return errno == ELOOP || errno == ENOTDIR ? Result<Fd>::failure(err::accessDenied) : failure(errno);
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0) return failure(errno);
  if (st.st_uid != ::geteuid()) return Result<Fd>::failure(err::accessDenied);
  if ((st.st_mode & 07777) != kDirectoryMode && ::fchmod(fd.get(), kDirectoryMode) != 0)
    return failure(errno);
  return fd;
}

Result<Fd> openLockFile(int directory, const std::string& directoryPath, const std::string& name) {
  for (int round = 0; round < kRounds; ++round) {
    Fd fd(::openat(directory, name.c_str(), kFileFlags));
    struct stat st {};
    if (fd.valid()) {
      if (::fstat(fd.get(), &st) != 0) return failure(errno);
      if (isPrivate(st)) return fd;
    } else if (errno == ENOENT) {
      fd.reset(::openat(directory, name.c_str(), kFileFlags | O_CREAT | O_EXCL, kFileMode));
      if (!fd.valid()) {
        if (errno == EEXIST) continue;
        return failure(errno);
      }
      // The umask may have taken bits away.
      if (::fchmod(fd.get(), kFileMode) != 0) return failure(errno);
      return fd;
    } else {
      // A link, a directory, a socket, or a file the effective user cannot open.
      const int openError = errno;
      if (::fstatat(directory, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
        if (errno == ENOENT) continue;
        return failure(errno);
      }
      if (isPrivate(st)) return failure(openError);
    }
    if (std::uint32_t code = removeEntry(directory, directoryPath, name, st))
      return Result<Fd>::failure(code);
  }
  return Result<Fd>::failure(err::accessDenied);
}

} // namespace os::posix
