#include "os/posix/file_ops.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <string_view>

#include "os/accounts.h"
#include "os/path.h"
#include "os/posix/errno_map.h"
#include "os/posix/fd.h"
#include "os/posix/io.h"

namespace os::posix {
namespace {

// Seconds between 1601-01-01 and 1970-01-01.
constexpr std::uint64_t kEpochDifference = 11644473600ull;

std::uint64_t fileTime(const statx_timestamp& t) {
  if (t.tv_sec < -static_cast<std::int64_t>(kEpochDifference)) return 0;
  return (static_cast<std::uint64_t>(t.tv_sec + static_cast<std::int64_t>(kEpochDifference)) *
          10000000ull) +
         t.tv_nsec / 100;
}

// Copies size bytes from the current offset of `in` to the current offset of `out`: in the
// kernel where the file systems allow it, else through a buffer.
std::uint32_t copyData(int in, int out, off_t size) {
  bool inKernel = true;
  while (size > 0) {
    if (inKernel) {
      ssize_t n = copy_file_range(in, nullptr, out, nullptr, static_cast<std::size_t>(size), 0);
      if (n > 0) {
        size -= n;
        continue;
      }
      if (n == 0) return err::success; // the source shrank meanwhile
      if (errno == EINTR) continue;
      if (errno != EXDEV && errno != ENOSYS && errno != EINVAL && errno != EOPNOTSUPP)
        return win32FromErrno(errno);
      inKernel = false;
    }
    std::array<char, 128 * 1024> buffer;
    ssize_t n = read(in, buffer.data(), buffer.size());
    if (n == 0) return err::success;
    if (n < 0) {
      if (errno == EINTR) continue;
      return win32FromErrno(errno);
    }
    if (std::uint32_t rc = writeAll(out, std::string_view(buffer.data(), static_cast<std::size_t>(n))))
      return rc;
    size -= n;
  }
  return err::success;
}

// Copies the first size bytes of `in` to the new, empty file `out` extent by extent, as SEEK_DATA
// and SEEK_HOLE find them: a hole is skipped, and setting the size at the end keeps a trailing
// hole a hole, so a sparse file takes no more room in the copy than in the source. A file
// system that cannot tell holes (EINVAL) has it copied whole.
std::uint32_t copySparse(int in, int out, off_t size) {
  off_t data = lseek(in, 0, SEEK_DATA);
  if (data < 0 && errno == EINVAL) return copyData(in, out, size);
  off_t hole = 0;
  while (data >= 0 && data < size && (hole = lseek(in, data, SEEK_HOLE)) >= 0) {
    if (lseek(in, data, SEEK_SET) < 0 || lseek(out, data, SEEK_SET) < 0)
      return win32FromErrno(errno);
    const off_t end = std::min(hole, size);
    if (std::uint32_t rc = copyData(in, out, end - data)) return rc;
    data = end < size ? lseek(in, end, SEEK_DATA) : size;
  }
  // ENXIO: no data past the offset (the rest is a hole, or the source shrank meanwhile).
  if ((data < 0 || hole < 0) && errno != ENXIO) return win32FromErrno(errno);
  return ftruncate(out, size) == 0 ? err::success : win32FromErrno(errno);
}

// The content of the file `in` describes into the new, empty file `out`. Only a file whose blocks
// do not cover its size can have a hole, so only such a file pays for the extent walk's calls;
// the others are copied in one go.
std::uint32_t copyContent(int in, int out, const struct stat& st) {
  if (st.st_blocks * 512 >= st.st_size) return copyData(in, out, st.st_size);
  return copySparse(in, out, st.st_size);
}

// Opens dstName in dstDir as a new file for writing, replacing a replaceable entry there.
std::uint32_t createTarget(int dstDir, const std::string& dstName, mode_t mode, bool failIfExists,
                           const LockTable& locks, Fd& out) {
  const int flags = O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC;
  for (int attempt = 0;; ++attempt) {
    out.reset(openat(dstDir, dstName.c_str(), flags, mode));
    if (out.valid()) return err::success;
    if (errno != EEXIST) return win32FromErrno(errno);
    if (failIfExists || attempt > 0) return err::fileExists;
    struct stat st;
    if (fstatat(dstDir, dstName.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
      if (errno == ENOENT) continue;
      return win32FromErrno(errno);
    }
    if (S_ISDIR(st.st_mode)) return err::accessDenied;
    if (locks.locked(st.st_dev, st.st_ino)) return err::sharingViolation;
    if (S_ISREG(st.st_mode) && !(st.st_mode & S_IWUSR)) return err::accessDenied;
    if (unlinkat(dstDir, dstName.c_str(), 0) != 0 && errno != ENOENT)
      return win32FromErrno(errno);
  }
}

// A copy keeps its source's mode: gives back what the umask took from a new file. A file that
// inherited a default ACL keeps what that made of the mode (its mask is not widened).
std::uint32_t keepMode(int fd, mode_t mode) {
  struct stat made;
  if (fstat(fd, &made) != 0) return win32FromErrno(errno);
  if ((made.st_mode & 0777) == mode) return err::success;
  if (fgetxattr(fd, "system.posix_acl_access", nullptr, 0) > 0) return err::success;
  return fchmod(fd, mode) == 0 ? err::success : win32FromErrno(errno);
}

} // namespace

int chmodOpened(int fd, mode_t mode) {
  return chmod(("/proc/self/fd/" + std::to_string(fd)).c_str(), mode);
}

Result<Located> locate(std::u16string_view path) {
  Result<std::string> host = hostPath(path);
  if (!host.ok()) return Result<Located>::failure(host.code());
  Located where;
  if (int error = locateSafely(host.value(), false, where))
    return Result<Located>::failure(missingOnTheWay(error));
  return where;
}

Result<Located> locate(const Root& root, std::u16string_view relative) {
  Result<std::string> host = relativeHostPath(relative);
  if (!host.ok()) return Result<Located>::failure(host.code());
  Located where;
  if (int error = resolveBeneath(fdOf(root.handle()), host.value(), Want::parent, 0, 0, where))
    return Result<Located>::failure(missingOnTheWay(error));
  return where;
}

int fileInfoAt(int dir, const char* name, FileInfo& info) {
  struct statx st;
  if (statx(dir, name, AT_SYMLINK_NOFOLLOW | AT_NO_AUTOMOUNT,
            STATX_BASIC_STATS | STATX_BTIME, &st) != 0)
    return errno;
  info = FileInfo{};
  info.linkCount = st.stx_nlink;
  const mode_t mode = st.stx_mode;
  if (S_ISLNK(mode)) {
    info.attributes = FILE_ATTRIBUTE_REPARSE_POINT;
    info.reparseTag = IO_REPARSE_TAG_SYMLINK;
    struct statx target;
    if (statx(dir, name, AT_NO_AUTOMOUNT, STATX_TYPE, &target) == 0 && S_ISDIR(target.stx_mode))
      info.attributes |= FILE_ATTRIBUTE_DIRECTORY;
  } else {
    if (S_ISDIR(mode)) info.attributes |= FILE_ATTRIBUTE_DIRECTORY;
    else info.size = st.stx_size;
    if (!(mode & S_IWUSR)) info.attributes |= FILE_ATTRIBUTE_READONLY;
    if (info.attributes == 0) info.attributes = FILE_ATTRIBUTE_NORMAL;
  }
  info.lastAccessTime = fileTime(st.stx_atime);
  info.lastWriteTime = fileTime(st.stx_mtime);
  info.creationTime = fileTime((st.stx_mask & STATX_BTIME) ? st.stx_btime : st.stx_mtime);
  return 0;
}

std::uint32_t copyFileAt(int srcDir, const std::string& srcName, int dstDir,
                         const std::string& dstName, bool failIfExists, const LockTable& locks,
                         bool throughLink) {
  // O_NONBLOCK: a FIFO put in the file's place must not block the copy.
  const int follow = throughLink ? 0 : O_NOFOLLOW;
  Fd in(openat(srcDir, srcName.c_str(), O_RDONLY | follow | O_NONBLOCK | O_CLOEXEC));
  if (!in.valid()) return win32FromErrno(errno);
  struct stat st;
  if (fstat(in.get(), &st) != 0) return win32FromErrno(errno);
  if (!S_ISREG(st.st_mode)) return err::notSupported;
  if (locks.locked(st.st_dev, st.st_ino)) return err::sharingViolation;
  Fd out;
  std::uint32_t code = createTarget(dstDir, dstName, st.st_mode & 0777, failIfExists, locks, out);
  if (code) return code;
  code = keepMode(out.get(), st.st_mode & 0777);
  if (!code) code = copyContent(in.get(), out.get(), st);
  using Stamp = decltype(st.st_mtim); // seconds and nanoseconds
  const Stamp times[2] = {{0, UTIME_OMIT}, st.st_mtim};
  if (!code && futimens(out.get(), times) != 0) code = win32FromErrno(errno);
  out.reset();
  if (code) unlinkat(dstDir, dstName.c_str(), 0);
  return code;
}

std::uint32_t copyLinkAt(int srcDir, const std::string& srcName, int dstDir,
                         const std::string& dstName) {
  std::string target(4096, '\0');
  for (;;) {
    ssize_t n = readlinkat(srcDir, srcName.c_str(), target.data(), target.size());
    if (n < 0) return win32FromErrno(errno);
    if (static_cast<std::size_t>(n) < target.size()) {
      target.resize(static_cast<std::size_t>(n));
      break;
    }
    target.resize(target.size() * 2);
  }
  for (int attempt = 0;; ++attempt) {
    if (symlinkat(target.c_str(), dstDir, dstName.c_str()) == 0) return err::success;
    if (errno != EEXIST || attempt > 0) return win32FromErrno(errno);
    struct stat st;
    if (fstatat(dstDir, dstName.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode))
      return err::accessDenied;
    if (unlinkat(dstDir, dstName.c_str(), 0) != 0 && errno != ENOENT)
      return win32FromErrno(errno);
  }
}

EnsuredDirectory ensureDirectoryAt(int dir, const std::string& name) {
  if (mkdirat(dir, name.c_str(), 0777) == 0) return {};
  if (errno != EEXIST) return {missingObjectCode(errno, Missing::directoryOnTheWay), false};
  struct stat st;
  if (fstatat(dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
    return {win32FromErrno(errno), false};
  if (S_ISDIR(st.st_mode)) return {};
  if (S_ISLNK(st.st_mode)) return {err::cantResolveFilename, false};
  return {err::success, true};
}

std::uint32_t deleteFileAt(int dir, const std::string& name, bool honourReadOnly,
                           const LockTable& locks, dev_t device, ino_t inode) {
  if (honourReadOnly || (inode == 0 && !locks.empty())) {
    struct stat st;
    if (fstatat(dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
      return errno == ENOENT ? err::success : win32FromErrno(errno);
    if (S_ISDIR(st.st_mode)) return err::accessDenied;
    if (honourReadOnly && !S_ISLNK(st.st_mode) && !(st.st_mode & S_IWUSR))
      return err::accessDenied;
    device = st.st_dev;
    inode = st.st_ino;
  }
  if (!locks.empty() && locks.locked(device, inode)) return err::sharingViolation;
  if (unlinkat(dir, name.c_str(), 0) == 0 || errno == ENOENT) return err::success;
  return errno == EISDIR ? err::accessDenied : win32FromErrno(errno);
}

std::uint32_t removeDirectoryAt(int dir, const std::string& name) {
  if (unlinkat(dir, name.c_str(), AT_REMOVEDIR) == 0 || errno == ENOENT) return err::success;
  int error = errno;
  struct stat st;
  if (error == ENOTDIR && fstatat(dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
    if (!S_ISLNK(st.st_mode)) return err::directory;
    if (unlinkat(dir, name.c_str(), 0) == 0 || errno == ENOENT) return err::success;
    error = errno;
  }
  return win32FromErrno(error);
}

Result<TakeOver> takeOverAt(int dir, const std::string& name, ObjectKind kind) {
  // Everything below acts on this one descriptor: the name may lead elsewhere a moment later.
  Fd object(openat(dir, name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
  struct stat st;
  if (!object.valid() || fstat(object.get(), &st) != 0)
    return Result<TakeOver>::failure(win32FromErrno(errno));
  if (S_ISLNK(st.st_mode)) return TakeOver::skippedLink;
  if (S_ISDIR(st.st_mode) != (kind == ObjectKind::directory)) return TakeOver::skippedOtherKind;
  if (!S_ISDIR(st.st_mode) && st.st_nlink > 1) return TakeOver::skippedHardLink;
  const uid_t self = threadUserId();
  const gid_t sameGroup = static_cast<gid_t>(-1);
  if (st.st_uid != self && fchownat(object.get(), "", self, sameGroup, AT_EMPTY_PATH) != 0)
    return Result<TakeOver>::failure(win32FromErrno(errno));
  // Owning the object changes its mode only by dropping set-id bits; read it again, and its
  // link count once more: a hard link made meanwhile leaves the mode as it is.
  if (fstat(object.get(), &st) != 0) return Result<TakeOver>::failure(win32FromErrno(errno));
  if (!S_ISDIR(st.st_mode) && st.st_nlink > 1) return TakeOver::skippedHardLink;
  const mode_t full = S_ISDIR(st.st_mode) ? S_IRWXU : (S_IRUSR | S_IWUSR);
  const mode_t mode = (st.st_mode & 07777) | full;
  if (mode != (st.st_mode & 07777) && chmodOpened(object.get(), mode) != 0)
    return Result<TakeOver>::failure(win32FromErrno(errno));
  return TakeOver::done;
}

} // namespace os::posix
