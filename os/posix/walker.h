// Opening host paths without following links that a site user could plant, and the one walker
// over directory trees that every tree operation of the boundary shares (tree copy, tree
// removal, the access-list projection).
//
// Why: tavrix runs as root in trees that site users control. A full path resolved twice (once to
// look, once to act) can be swapped for a symbolic link in between, and a link followed by root
// leads outside the site. So trees are walked from directory descriptors: every directory is
// opened relative to its parent's descriptor with O_NOFOLLOW | O_DIRECTORY, every object is
// acted on through its parent's descriptor (unlinkat, mkdirat, fstatat with
// AT_SYMLINK_NOFOLLOW) or through its own descriptor, and no full path is resolved again.
#pragma once

#include <sys/types.h>

#include <string>
#include <string_view>
#include <vector>

#include "os/posix/fd.h"

namespace os::posix {

// ---- Opening paths -------------------------------------------------------------------------

// Opens a host path (errno is set when the result is -1; O_CLOEXEC is always added). A path
// below the calling thread's innermost confined directory (os::ConfinedScope) is opened beneath
// that directory's descriptor with openBeneath: no symbolic link is followed in any component
// and ".." cannot leave it. Any other path is resolved by the host; add O_NOFOLLOW to flags to
// refuse a link in the last component.
int openHostPath(const std::string& hostPath, int flags, mode_t mode = 0);

// The directory that holds the last component of a host path, opened with O_PATH (by
// openHostPath's rules), and that component's name. The host root's name is ".". False (errno
// set) when the parent cannot be opened.
struct ParentAndName {
  Fd parent;
  std::string name;
};
bool openParent(const std::string& hostPath, ParentAndName& out);

// Opens `relative` beneath the directory `base` with openat2(RESOLVE_BENEATH |
// RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS): a symbolic link in any component fails with
// ELOOP, a path that would leave base with EXDEV. Where the kernel lacks openat2 it falls back to
// openBeneathByComponents. An empty relative path reopens base itself.
int openBeneath(int base, std::string_view relative, int flags, mode_t mode = 0);

// The fallback: one component at a time, each directory with O_PATH | O_DIRECTORY | O_NOFOLLOW
// and the last one with flags | O_NOFOLLOW. A ".." component fails with EXDEV (after any
// earlier component could have been moved, ".." no longer proves where it leads).
int openBeneathByComponents(int base, std::string_view relative, int flags, mode_t mode = 0);

// ---- Walking trees -------------------------------------------------------------------------

// One entry of a directory listing. kind comes from the listing's d_type (fstatat without
// following links when the file system does not give it); inode is the listing's d_ino.
struct WalkEntry {
  enum class Kind { file, directory, link, other };
  std::string name;
  Kind kind = Kind::other;
  ino_t inode = 0;
  // Set by TreeVisitor::visitEntries for the directories to walk into.
  bool descend = false;
};

// Lists an open directory once, without "." and ".."; 0 or the errno of the failure.
int listEntries(int fd, std::vector<WalkEntry>& entries);

// A directory during a walk: its open descriptor, its path relative to the walk's root ("" for
// the root, components joined by "/", names as the listing's bytes) and its depth (0 for the
// root; the root's parent has depth -1 and the descriptor the walk was started from).
struct WalkDirectory {
  int fd;
  const std::string& relative;
  int depth;
};

// The hooks of a walk. For each directory the walker:
//   1. opens it from its parent's descriptor (O_RDONLY | O_DIRECTORY | O_NOFOLLOW) and lists it
//      once (getdents through fdopendir on a duplicate of the descriptor), "." and ".." left out;
//      when that fails, asks cannotRead what to do;
//   2. calls enterDirectory (pre-order), then visitEntries with the whole listing in listing
//      order; visitEntries acts on the entries it wants and marks the subdirectories to walk;
//   3. walks each marked subdirectory in listing order (all of them after visitEntries returned,
//      so a visitor can treat every entry of a level before the first descent);
//   4. closes the directory and calls leaveDirectory (post-order) with its parent.
// Any hook can stop the walk; nothing is called after a stop.
class TreeVisitor {
public:
  enum class Flow { proceed, stop };
  enum class Recovery {
    retry,   // open and list the directory again (the hook changed something)
    asEmpty, // skip enterDirectory, visitEntries and the descent; leaveDirectory is still called
    stop,
  };

  virtual ~TreeVisitor() = default;
  virtual Recovery cannotRead(const WalkDirectory& parent, const WalkEntry& entry, int error) = 0;
  virtual Flow enterDirectory(const WalkDirectory& parent, const WalkEntry& entry,
                              const WalkDirectory& directory);
  virtual Flow visitEntries(const WalkDirectory& directory, std::vector<WalkEntry>& entries) = 0;
  virtual Flow leaveDirectory(const WalkDirectory& parent, const WalkEntry& entry);
};

// Walks the directory `name` of the directory open as parentFd (the root of the walk) and the
// tree below it. True when it ran to the end, false when a hook stopped it.
//
// One descriptor is open per level of the current branch, so a branch deeper than the process's
// descriptor limit ends in cannotRead with EMFILE. Cost: one open, one listing and one close per
// directory; nothing per file beyond what the visitor does (and an fstatat for entries whose
// type the file system does not report).
bool walkTree(int parentFd, const std::string& name, TreeVisitor& visitor);

// "a/b" + "c" -> "a/b/c"; "" + "c" -> "c".
std::string joinRelative(const std::string& relative, const std::string& name);

} // namespace os::posix
