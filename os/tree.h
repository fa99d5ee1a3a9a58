// Whole-tree copy and removal at the boundary. Both walk from directory descriptors (see
// os/posix/walker.h): no full path is resolved again during the walk, no symbolic link below
// the roots is followed, and nothing on another file system than the root's is touched (a
// mount point met below the root is reported in the outcome and left alone). The roots are
// given as paths beneath a Root, by os/files.h's rules (their last component is never
// followed). The walks hold a bounded number of descriptors however deep the tree, and read
// each directory in batches of up to 1,024 entries, so that their memory grows with the depth
// and not with how wide a directory is (see os/posix/walker.h).
//
// Names are handled as the host's bytes: entries whose names hold newlines, reach the host's
// 255-byte limit or are not valid UTF-8 are copied and removed exactly. Only the paths of a
// failure report convert them (invalid bytes become U+FFFD there).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "os/files.h"
#include "os/root.h"

namespace os {

// Where a tree operation stopped. Paths are the roots' paths with the relative paths given and
// the entry's path below them ("\"-separated; see Root::pathOf).
struct TreeFailure {
  enum class Step {
    readDirectory,   // path: the directory that could not be opened or listed (for a copy,
                     // in the source)
    createDirectory, // path: the target directory that could not be made or opened
    directoryIsFile, // path: a target directory name taken by a file (code 0)
    copyFile,        // path, target: a file (or a link to one) that could not be copied
    createLink,      // path, target: a link kept as a link that could not be made
    deleteFile,      // path
    deleteDirectory, // path
  };
  Step step;
  std::uint32_t code = 0;
  std::u16string path;
  std::u16string target;
  // For code 32: the processes that hold the file, as "name (pid)".
  std::vector<std::u16string> holders;
};

struct TreeOutcome {
  std::optional<TreeFailure> failure;
  // Objects a take-over left alone because they have more than one link (os::takeOver).
  std::vector<std::u16string> skippedHardLinks;
  // Mount points met below the root: not walked, nothing below them copied or removed.
  std::vector<std::u16string> mountPoints;
};

struct TreeCopyOptions {
  bool recursive = true;
  bool preserveLinks = false;
  bool replaceExisting = true;
};

// Copies the directory source into target, one level at a time:
//   1. target is created when missing (one level: its parent must exist);
//   2. source is listed once, in batches of up to 1,024 entries (a directory that holds no more
//      is one batch); steps 3 to 5 are taken for each batch in turn:
//   3. every file is copied (os::copyFileData's rules, without failIfExists) in listing order,
//      skipping links when preserveLinks is set and, unless replaceExisting, names the target
//      already has; a link to a file is copied as the file it leads to, read through the link
//      with the caller's rights (so a copy for a site runs as the site's user); a FIFO, socket
//      or device, also behind a link, fails with 50;
//   4. every subdirectory (a link to a directory included, unless preserveLinks) is created in
//      target, in listing order; a file of that name fails (directoryIsFile), a link of that
//      name fails with 1921;
//   5. when recursive: links to directories are left as those empty directories, or with
//      preserveLinks made as links with the same target text; every real subdirectory is
//      copied the same way, in listing order, with replaceExisting set.
// Stops at the first failure; what was copied stays.
TreeOutcome copyTree(const Root& sourceRoot, std::u16string_view source, const Root& targetRoot,
                     std::u16string_view target, const TreeCopyOptions& options);

// Removes the directory and everything below it, one level at a time and there one batch of up
// to 1,024 listed entries at a time: the batch's files (and links, as links) in listing order,
// then each of its subdirectories the same way; then the directory itself. A file in use (see
// os/files.h) fails with 32; without force a read-only file fails with 5. With force a directory
// that cannot be opened, a file and a directory that cannot be deleted because access is denied
// (5) are taken over (os::takeOver, on the kind of object listed) and tried once more; no other
// failure leads to a take-over. A directory that cannot be opened or listed fails
// (readDirectory) and is never counted as empty; one that became a link is removed as a link.
// What is not there counts as removed: a file, link or directory that vanished since it was
// listed, and a root that is missing (or a directory on the way to it). A root that is a link is
// removed as a link. Stops at the first failure; what was removed stays removed. A root's own
// directory (an empty relative path) is not removed through the root: 123, before anything
// changes.
TreeOutcome removeTree(const Root& root, std::u16string_view relative, bool force);

} // namespace os
