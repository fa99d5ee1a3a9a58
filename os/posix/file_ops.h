// Operations on one entry of an open directory, shared by the single-path operations of
// os/files.h and the tree operations of os/tree.h. Each acts through the directory's
// descriptor and never follows a link in the entry's name.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>

#include "os/error.h"
#include "os/files.h"
#include "os/posix/beneath.h"
#include "os/posix/locks.h"
#include "os/root.h"

namespace os::posix {

// Where a full Windows-form path leads (locateSafely, its last component not followed), or
// where a root's relative path leads (resolveBeneath, for the parent). Fails with the Win32
// code: 3 when a directory on the way is missing or not a directory, 448 for a link that is
// refused, 17 for a path that leaves the root or crosses a mount.
Result<Located> locate(std::u16string_view path);
Result<Located> locate(const Root& root, std::u16string_view relative);

// What the entry is (see os::fileInformation); an errno on failure.
int fileInfoAt(int dir, const char* name, FileInfo& info);

// Copies the regular file srcName of srcDir to dstName of dstDir (see os::copyFileData). Locks in
// the table make the source or an existing target "in use". With throughLink a link srcName is
// followed (the file it leads to is read with the caller's rights); without, it is not opened.
std::uint32_t copyFileAt(int srcDir, const std::string& srcName, int dstDir,
                         const std::string& dstName, bool failIfExists, const LockTable& locks,
                         bool throughLink = false);

// Creates dstName in dstDir as a link with the same target text as the link srcName of srcDir,
// replacing an existing non-directory entry.
std::uint32_t copyLinkAt(int srcDir, const std::string& srcName, int dstDir,
                         const std::string& dstName);

// Creates the directory (mode 0777 less the umask) or accepts the one that is there. isFile is
// set (code 0) when something else than a directory or a link has the name; a link there fails
// with 1921 (it is never followed).
struct EnsuredDirectory {
  std::uint32_t code = 0;
  bool isFile = false;
};
EnsuredDirectory ensureDirectoryAt(int dir, const std::string& name);

// Deletes a non-directory entry (see os::deleteFile). device and inode identify it for the lock
// check when known from a listing (inode 0: looked up).
std::uint32_t deleteFileAt(int dir, const std::string& name, bool honourReadOnly,
                           const LockTable& locks, dev_t device, ino_t inode);

// Removes an empty directory, or a link in its place (as the platform removes a directory link);
// what is not there counts as removed. 145 when it is not empty, 267 when it is a file.
std::uint32_t removeDirectoryAt(int dir, const std::string& name);

// chmod of an object opened with O_PATH (fchmod refuses such descriptors).
int chmodOpened(int fd, mode_t mode);

// See os::takeOver.
Result<TakeOver> takeOverAt(int dir, const std::string& name, ObjectKind kind);

} // namespace os::posix
