// Store files kept in directories that a site user can change (the security metadata files):
// read and replaced so that a link or a hard link the user planted is never read or written
// through, and replaced so that a kill or a power cut at any moment leaves the old file or the
// new one, complete.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "os/error.h"
#include "os/handle.h"

namespace os {

// Why a store file was refused.
enum class StoreRefusal {
  none,
  directoryIsLink, // the directory that holds the file is a symbolic link
  fileIsLink,      // the file is a symbolic link
  hardLinked,      // the file has more than one name (it may be a file outside the site)
  notRegular,      // the name is taken by a directory, a device, a pipe ...
  directoryNotTrusted, // the directory is not the process's own, or another user may write it
  fileNotTrusted,      // the file is not the process's own, or another user may write it
};

// The outcome of a store operation: success, a refusal, or the Win32 code of a failure.
struct StoreStatus {
  std::uint32_t code = err::success;
  StoreRefusal refusal = StoreRefusal::none;
  bool ok() const { return code == err::success && refusal == StoreRefusal::none; }
};

// Store files and their directories are trusted only when they are the process's own (root's, as
// the tool runs) and no other user may write them: anything else may hold what a site user wrote.
// The directories above them are reached by the safe walk of full paths (os/posix/beneath.h).

// Creates the store directory `path` (mode 0755) when it is missing and opens it into `opened`;
// `created` says whether it was made. An existing one is refused when it is a link or not
// trusted.
StoreStatus ensureStoreDirectory(std::u16string_view path, Handle& opened, bool& created);

// Opens an existing store file for reading into `file`. The directory's own name and the
// file's name are never followed when they are links, and both must be trusted. A missing
// file or directory fails with fileNotFound or pathNotFound. `file` is left empty on failure.
// Read it with os::readFile.
StoreStatus openStoreFile(std::u16string_view path, Handle& file);

// A new content for a store file: written to a temporary file beside it and renamed over it by
// commit. The temporary file is removed when the object goes away uncommitted.
class StoreReplacement {
public:
  StoreReplacement() = default;
  ~StoreReplacement();
  StoreReplacement(const StoreReplacement&) = delete;
  StoreReplacement& operator=(const StoreReplacement&) = delete;

  // Opens the directory of `path` (refused when it is a link or not trusted; pathNotFound when
  // missing) and creates the temporary file "<name>.<random>.tmp" in it, mode 0644. Temporary
  // files of the same store that killed writers left there are removed first (regular files of
  // the process's user only, never through a link): the caller holds the store's writers' lock,
  // so no live writer has one.
  StoreStatus begin(std::u16string_view path);
  // Appends the bytes to the temporary file.
  StoreStatus write(const void* data, std::size_t count);
  // Flushes the temporary file to the disk, checks that the store's name holds nothing or a
  // trusted regular file with one name, renames the temporary file over it and flushes the directory.
  // On failure or refusal the store is untouched.
  StoreStatus commit();
  // The temporary file's name (Windows form), for messages.
  const std::u16string& temporaryPath() const { return temporaryPath_; }

private:
  void discard();

  Handle directory_;
  Handle file_;
  std::string name_;
  std::string temporaryName_;
  std::u16string temporaryPath_;
};

} // namespace os
