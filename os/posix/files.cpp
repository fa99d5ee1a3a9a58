#include "os/files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "os/path.h"
#include "os/posix/beneath.h"
#include "os/posix/errno_map.h"
#include "os/posix/fd.h"
#include "os/posix/file_ops.h"
#include "os/posix/locks.h"
#include "os/posix/walker.h"
#include "os/text.h"

namespace os {
namespace {

using posix::Fd;
using posix::Located;

// Each operation below is written once, on where its path leads beneath the root.

Result<FileInfo> informationAt(Result<Located> where) {
  if (!where.ok()) return Result<FileInfo>::failure(where.code());
  FileInfo info;
  if (int error = posix::fileInfoAt(where.value().parent.get(), where.value().name.c_str(), info))
    return Result<FileInfo>::failure(posix::win32FromErrno(error));
  return info;
}

// The directory where leads to, opened for reading (a link in its last component refused);
// notDirectory is the code for something else than a directory there.
Result<Handle> openDirectoryAt(Result<Located> where, std::uint32_t notDirectory) {
  if (!where.ok()) return Result<Handle>::failure(where.code());
  Fd fd(openat(where.value().parent.get(), where.value().name.c_str(),
               O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!fd.valid())
    return Result<Handle>::failure(errno == ENOTDIR ? notDirectory : posix::win32FromErrno(errno));
  return posix::toHandle(std::move(fd));
}

Result<std::vector<DirectoryEntry>> listingOf(Result<Located> where) {
  using Listing = Result<std::vector<DirectoryEntry>>;
  // As a search below a file reports it.
  Result<Handle> opened = openDirectoryAt(std::move(where), err::pathNotFound);
  if (!opened.ok()) return Listing::failure(opened.code());
  const Fd fd = posix::toFd(std::move(opened.value()));
  std::vector<posix::WalkEntry> listed;
  if (int failed = posix::listEntries(fd.get(), listed))
    return Listing::failure(posix::win32FromErrno(failed));
  // As the system's own listing, the directory and its parent come first.
  listed.insert(listed.begin(), {posix::WalkEntry{"."}, posix::WalkEntry{".."}});
  std::vector<DirectoryEntry> entries;
  for (const posix::WalkEntry& e : listed) {
    DirectoryEntry entry{utf16FromUtf8(e.name), {}};
    // An entry removed since the listing is left out.
    if (posix::fileInfoAt(fd.get(), e.name.c_str(), entry.info) == 0)
      entries.push_back(std::move(entry));
  }
  return entries;
}

std::uint32_t createDirectoryAt(Result<Located> where, DirectoryAccess access) {
  if (!where.ok()) return where.code();
  const int parent = where.value().parent.get();
  const char* name = where.value().name.c_str();
  if (mkdirat(parent, name, 0777) != 0) return posix::missingOnTheWay(errno);
  if (access == DirectoryAccess::everyone) {
    // The umask took bits away; give them back on the directory just made.
    Fd made(openat(parent, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!made.valid() || fchmod(made.get(), 01777) != 0) return posix::win32FromErrno(errno);
  }
  return err::success;
}

std::uint32_t copyFileAt(Result<Located> from, Result<Located> to, bool failIfExists) {
  if (!from.ok()) return from.code();
  if (!to.ok()) return to.code();
  return posix::copyFileAt(from.value().parent.get(), from.value().name, to.value().parent.get(),
                           to.value().name, failIfExists, posix::LockTable::read());
}

std::uint32_t deleteFileAt(Result<Located> where, bool honourReadOnly) {
  // What is not there (its directory included) is removed already.
  if (!where.ok())
    return where.code() == err::fileNotFound || where.code() == err::pathNotFound ? err::success
                                                                                 : where.code();
  return posix::deleteFileAt(where.value().parent.get(), where.value().name, honourReadOnly,
                             posix::LockTable::read(), 0, 0);
}

Result<TakeOver> takeOverAt(Result<Located> where, ObjectKind kind) {
  if (!where.ok()) return Result<TakeOver>::failure(where.code());
  return posix::takeOverAt(where.value().parent.get(), where.value().name, kind);
}

} // namespace

Result<FileInfo> fileInformation(const Root& root, std::u16string_view relative) {
  return informationAt(posix::locate(root, relative));
}

Result<std::vector<DirectoryEntry>> listDirectory(const Root& root, std::u16string_view relative) {
  return listingOf(posix::locate(root, relative));
}

std::uint32_t createDirectory(const Root& root, std::u16string_view relative,
                              DirectoryAccess access) {
  return createDirectoryAt(posix::locate(root, relative), access);
}

std::uint32_t copyFileData(const Root& sourceRoot, std::u16string_view source,
                           const Root& targetRoot, std::u16string_view target, bool failIfExists) {
  return copyFileAt(posix::locate(sourceRoot, source), posix::locate(targetRoot, target),
                    failIfExists);
}

std::uint32_t deleteFile(const Root& root, std::u16string_view relative, bool honourReadOnly) {
  return deleteFileAt(posix::locate(root, relative), honourReadOnly);
}

Result<TakeOver> takeOver(const Root& root, std::u16string_view relative, ObjectKind kind) {
  return takeOverAt(posix::locate(root, relative), kind);
}

} // namespace os
