#include "os/files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "os/path.h"
#include "os/posix/errno_map.h"
#include "os/posix/fd.h"
#include "os/posix/file_ops.h"
#include "os/posix/locks.h"
#include "os/posix/walker.h"
#include "os/text.h"

namespace os {
namespace {

using posix::Fd;
using posix::ParentAndName;

// The parent directory and name of a Windows-form path, or the Win32 code of the failure.
std::uint32_t locate(std::u16string_view path, ParentAndName& where, std::string* host = nullptr) {
  Result<std::string> hostPath = os::hostPath(path);
  if (!hostPath.ok()) return hostPath.code();
  if (host) *host = hostPath.value();
  if (posix::openParent(hostPath.value(), where)) return err::success;
  return errno == ENOENT ? err::pathNotFound : posix::win32FromErrno(errno);
}

} // namespace

Result<FileInfo> fileInformation(std::u16string_view path) {
  ParentAndName where;
  std::string host;
  if (std::uint32_t code = locate(path, where, &host)) return Result<FileInfo>::failure(code);
  FileInfo info;
  if (int error = posix::fileInfoAt(where.parent.get(), where.name.c_str(), info))
    return Result<FileInfo>::failure(posix::pathError(host, error));
  return info;
}

Result<std::vector<DirectoryEntry>> listDirectory(std::u16string_view directory) {
  using Listing = Result<std::vector<DirectoryEntry>>;
  Result<std::string> host = hostPath(directory);
  if (!host.ok()) return Listing::failure(host.code());
  Fd fd(posix::openHostPath(host.value(), O_RDONLY | O_DIRECTORY));
  if (!fd.valid()) return Listing::failure(posix::pathError(host.value(), errno));
  std::vector<posix::WalkEntry> listed;
  if (int error = posix::listEntries(fd.get(), listed))
    return Listing::failure(posix::win32FromErrno(error));
  // As the system's own listing, the directory and its parent come first.
  listed.insert(listed.begin(), {posix::WalkEntry{"."}, posix::WalkEntry{".."}});
  std::vector<DirectoryEntry> entries;
  for (const posix::WalkEntry& e : listed) {
    DirectoryEntry entry{utf16FromUtf8(e.name), {}};
    // An entry removed since the listing is left out.
    if (posix::fileInfoAt(fd.get(), e.name.c_str(), entry.info) == 0) entries.push_back(std::move(entry));
  }
  return entries;
}

std::uint32_t createDirectory(std::u16string_view path, DirectoryAccess access) {
  ParentAndName where;
  if (std::uint32_t code = locate(path, where)) return code;
  const int parent = where.parent.get();
  const char* name = where.name.c_str();
  if (mkdirat(parent, name, 0777) != 0)
    return errno == ENOENT ? err::pathNotFound : posix::win32FromErrno(errno);
  if (access == DirectoryAccess::everyone) {
    // The umask took bits away; give them back on the directory just made.
    Fd made(openat(parent, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!made.valid() || fchmod(made.get(), 01777) != 0) return posix::win32FromErrno(errno);
  }
  return err::success;
}

Result<int> openDirectory(std::u16string_view path) {
  Result<std::string> host = hostPath(path);
  if (!host.ok()) return Result<int>::failure(host.code());
  int fd = posix::openHostPath(host.value(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW);
  if (fd >= 0) return fd;
  return Result<int>::failure(errno == ENOTDIR ? err::directory
                                               : posix::pathError(host.value(), errno));
}

std::uint32_t setFileAttributes(std::u16string_view path, std::uint32_t attributes) {
  ParentAndName where;
  if (std::uint32_t code = locate(path, where)) return code;
  Fd object(openat(where.parent.get(), where.name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
  struct stat st;
  if (!object.valid() || fstat(object.get(), &st) != 0) return posix::win32FromErrno(errno);
  if (S_ISLNK(st.st_mode)) return err::success; // a link has no mode of its own
  const mode_t current = st.st_mode & 07777;
  mode_t mode = current;
  if (attributes & FILE_ATTRIBUTE_READONLY) mode &= ~static_cast<mode_t>(0222);
  else if (!(mode & S_IWUSR)) mode |= S_IWUSR;
  if (mode == current) return err::success;
  return posix::chmodOpened(object.get(), mode) == 0 ? err::success
                                                    : posix::win32FromErrno(errno);
}

std::uint32_t copyFile(std::u16string_view source, std::u16string_view target,
                       bool failIfExists) {
  ParentAndName from, to;
  if (std::uint32_t code = locate(source, from)) return code;
  if (std::uint32_t code = locate(target, to)) return code;
  return posix::copyFileAt(from.parent.get(), from.name, to.parent.get(), to.name, failIfExists,
                           posix::LockTable::read());
}

std::uint32_t deleteFile(std::u16string_view path, bool honourReadOnly) {
  ParentAndName where;
  if (std::uint32_t code = locate(path, where)) return code;
  return posix::deleteFileAt(where.parent.get(), where.name, honourReadOnly,
                             posix::LockTable::read(), 0, 0);
}

Result<TakeOver> takeOver(std::u16string_view path) {
  ParentAndName where;
  if (std::uint32_t code = locate(path, where)) return Result<TakeOver>::failure(code);
  return posix::takeOverAt(where.parent.get(), where.name);
}

std::vector<std::u16string> lockHolders(const std::vector<std::u16string>& paths) {
  std::vector<std::u16string> names;
  const posix::LockTable locks = posix::LockTable::read();
  if (locks.empty()) return names;
  for (const std::u16string& path : paths) {
    ParentAndName where;
    struct stat st;
    if (locate(path, where) != err::success ||
        fstatat(where.parent.get(), where.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
      continue;
    for (std::u16string& name : locks.holders(st.st_dev, st.st_ino))
      if (std::find(names.begin(), names.end(), name) == names.end())
        names.push_back(std::move(name));
  }
  return names;
}

} // namespace os
