// Files and directories at the boundary: attributes, listings, creation, single-file copies and
// deletions, the take-over of a path, and the processes that hold files locked. Whole-tree copy
// and removal are in os/tree.h, file contents in os/file_io.h.
//
// Where. Every operation acts on a path relative to a Root (os/root.h), resolved beneath the
// root's directory and never outside it: no link is followed on the way (448), and a link in
// the last component is acted on as itself. A caller that has a full path opens the root of its
// parent once (Root::openParent, by safe steps from the host's "/") and acts on its last name.
// Callers that act on paths named by a site (a file list, a package) use the site's root.
//
// Links. A symbolic link is a reparse point with the symbolic-link tag (which has the
// name-surrogate bit); one that leads to a directory also has the directory attribute. Nothing
// here follows a link in the last component of a path it changes, creates, copies or deletes.
//
// Attributes. Directory = a directory; reparse point = a symbolic link; read-only = no owner
// write bit. The hidden, system and archive bits are not kept on this host (setting or clearing
// them changes nothing).
//
// Share modes. Linux has no mandatory share modes: a file is in use (32, sharing violation) for
// deletion and copying while another process holds a lock on it (flock, POSIX or OFD record
// lock, lease), as /proc/locks lists them. Locks of the calling process do not count.
//
// Names are UTF-8 on the host. A name that is not valid UTF-8 comes back from a listing with
// U+FFFD in place of the invalid bytes, so it cannot be opened by that name; tree copies and
// removals (os/tree.h) never convert names and handle such entries exactly.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "os/error.h"
#include "os/handle.h"
#include "os/root.h"

namespace os {

// File attribute bits.
inline constexpr std::uint32_t FILE_ATTRIBUTE_READONLY = 0x00000001;
inline constexpr std::uint32_t FILE_ATTRIBUTE_HIDDEN = 0x00000002;
inline constexpr std::uint32_t FILE_ATTRIBUTE_SYSTEM = 0x00000004;
inline constexpr std::uint32_t FILE_ATTRIBUTE_DIRECTORY = 0x00000010;
inline constexpr std::uint32_t FILE_ATTRIBUTE_ARCHIVE = 0x00000020;
inline constexpr std::uint32_t FILE_ATTRIBUTE_NORMAL = 0x00000080;
inline constexpr std::uint32_t FILE_ATTRIBUTE_REPARSE_POINT = 0x00000400;

inline constexpr std::uint32_t IO_REPARSE_TAG_SYMLINK = 0xA000000C;

// Times are file times: 100-nanosecond intervals since 1601-01-01 UTC. Creation time is the
// host's birth time where the file system keeps one, else the last write time.
struct FileInfo {
  std::uint32_t attributes = 0;
  std::uint32_t reparseTag = 0; // IO_REPARSE_TAG_SYMLINK for a link, else 0
  std::uint64_t size = 0;
  std::uint64_t creationTime = 0;
  std::uint64_t lastAccessTime = 0;
  std::uint64_t lastWriteTime = 0;
  std::uint32_t linkCount = 1; // names the object has (hard links)
};

struct DirectoryEntry {
  std::u16string name;
  FileInfo info;
};

// What the path itself is (a link is described, not followed, except that a link to a
// directory gets the directory attribute). Fails with 2, or 3 when a directory on the way is
// missing or is not a directory.
Result<FileInfo> fileInformation(const Root& root, std::u16string_view relative);

// Every entry of the directory in listing order, "." and ".." included.
Result<std::vector<DirectoryEntry>> listDirectory(const Root& root, std::u16string_view relative);

// Who may use a new directory: the host's defaults for its creator (the umask and the parent's
// default access list), or every account (mode 1777: anyone may create files in it and each
// removes only their own, as in the host's shared temporary directory).
enum class DirectoryAccess { creatorDefaults, everyone };

// Creates one directory (its parent must exist: 3 otherwise; 183 when the name is taken).
[[nodiscard]] std::uint32_t createDirectory(const Root& root, std::u16string_view relative,
                                            DirectoryAccess access);

// Copies a regular file's data (in the kernel where it can; holes stay holes, so a sparse file
// takes no more room in the copy), its permission bits (so the read-only attribute) and its
// last write time to target. An existing target is replaced
// (unlinked and created anew, so a link or a hard link there is never written through) unless
// failIfExists (80) or it is read-only (5), a directory (5) or in use (32); a source or target
// in use fails with 32. A partly written target is removed. A source that is not a regular
// file fails with 50.
[[nodiscard]] std::uint32_t copyFileData(const Root& sourceRoot, std::u16string_view source,
                                         const Root& targetRoot, std::u16string_view target,
                                         bool failIfExists);

// Deletes a file or a link (never what it leads to); what is not there, or vanishes meanwhile,
// counts as deleted. A directory fails with 5, a file in use with 32, a read-only file with 5
// when honourReadOnly is set (a forced deletion ignores it).
[[nodiscard]] std::uint32_t deleteFile(const Root& root, std::u16string_view relative,
                                       bool honourReadOnly);

// Makes the object at the path the calling thread's own, so that a removal that was denied
// can be tried again. The object is opened once without following a link, and its type, its
// link count, its owner and its mode are read and changed on that descriptor only (whatever the
// name leads to meanwhile): the user the thread acts as on files (threadUserId: the site user
// on a thread that impersonates one) becomes the owner and the owner gets full access
// (rwx on a directory, rw on a file), which also clears the read-only attribute. Left exactly
// as it is: a link (skippedLink); an object of another kind than the one the caller set out to
// remove (skippedOtherKind: a file swapped for a directory must not make that directory the
// process's); a non-directory with more than one link (skippedHardLink: it may be a hard link
// that a site user made to a file outside the site).
enum class ObjectKind { file, directory };
enum class TakeOver { done, skippedHardLink, skippedLink, skippedOtherKind };
Result<TakeOver> takeOver(const Root& root, std::u16string_view relative, ObjectKind kind);

} // namespace os
