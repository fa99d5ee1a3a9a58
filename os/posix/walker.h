// The one walker over directory trees that every tree operation of the boundary shares (tree
// copy, tree removal, the access-list projection).
//
// Why: tavrix runs as root in trees that site users control. A full path resolved twice (once to
// look, once to act) can be swapped for a symbolic link in between, and a link followed by root
// leads outside the site. So trees are walked from directory descriptors: every directory is
// opened relative to its parent's descriptor with O_NOFOLLOW | O_DIRECTORY, every object is
// acted on through its parent's descriptor (unlinkat, mkdirat, fstatat with
// AT_SYMLINK_NOFOLLOW) or through its own descriptor, and no full path is resolved again.
//
// A site user decides how deep a tree is, so the walk costs the same whatever its depth: a
// bounded number of descriptors, no recursion on the machine stack, and memory linear in the
// depth (one name per level, no path per level).
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "os/posix/beneath.h"
#include "os/posix/fd.h"

namespace os::posix {

// ---- One branch of directories -------------------------------------------------------------

// The directories of one branch below a base directory (the base is not owned), holding at most
// maxOpen descriptors however deep the branch: when more are pushed, the one nearest the base is
// closed; when the branch is popped back to a closed directory, it is opened again through ".."
// of the directory above it and must be the directory that was pushed (same device and inode;
// the walk must not go on in another place a site user moved there).
class DirectoryStack {
public:
  static constexpr std::size_t kMaxOpen = 48;

  explicit DirectoryStack(int base, std::size_t maxOpen = kMaxOpen)
      : base_(base), maxOpen_(maxOpen) {}

  // Pushes a directory opened from top().
  void push(Fd fd, const DirectoryIdentity& identity);
  // The descriptor of the deepest directory (the base when none was pushed); always open.
  int top() const { return levels_.empty() ? base_ : levels_.back().fd.get(); }
  // The descriptor of the directory above the deepest one; open while the deepest one was the
  // last pushed.
  int aboveTop() const { return levels_.size() < 2 ? base_ : levels_[levels_.size() - 2].fd.get(); }
  // Pops the deepest directory; 0, or the errno of a failure to open the one above it again
  // (ENOENT when it is not the directory that was pushed). The stack is unusable after one.
  int pop();
  std::size_t size() const { return levels_.size(); }

private:
  struct Level {
    Fd fd;
    DirectoryIdentity identity;
  };
  int base_;
  std::size_t maxOpen_;
  std::deque<Level> levels_;
  std::size_t firstOpen_ = 0; // levels below it have their descriptors closed
};

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

// The names on the branch from the walk's root down to a directory.
class WalkBranch {
public:
  virtual ~WalkBranch() = default;
  // The path of the directory at this depth relative to the walk's root ("" for the root,
  // components joined by "/", names as the listing's bytes). Built when asked: the walk keeps
  // names only.
  virtual std::string relative(int depth) const = 0;
};

// A directory during a walk: its open descriptor and its depth (0 for the root; the root's
// parent has depth -1 and the descriptor the walk was started from). Each step of a visitor
// needs only this and what the visitor was given at its start.
struct WalkDirectory {
  int fd;
  int depth;
  const WalkBranch& branch;
  std::string relative() const { return depth <= 0 ? std::string() : branch.relative(depth); }
};

// The hooks of a walk. For each directory the walker:
//   1. opens it from its parent's descriptor (O_RDONLY | O_DIRECTORY | O_NOFOLLOW) and lists it
//      once (getdents through fdopendir on a duplicate of the descriptor), "." and ".." left out;
//      when that fails, asks cannotRead what to do;
//   2. when it lies on another mount than the walk's root (a mount point), closes it and calls
//      mountPoint instead of the steps below: nothing on another file system is walked;
//   3. calls enterDirectory (pre-order), then visitEntries with the whole listing in listing
//      order; visitEntries acts on the entries it wants and marks the subdirectories to walk;
//   4. walks each marked subdirectory in listing order (all of them after visitEntries returned,
//      so a visitor can treat every entry of a level before the first descent);
//   5. closes the directory and calls leaveDirectory (post-order) with its parent.
// Any hook can stop the walk; nothing is called after a stop. When the walk cannot get back to
// a directory it left (cannotReturn), it stops.
class TreeVisitor {
public:
  enum class Flow { proceed, stop };
  enum class Recovery {
    retry, // open and list the directory again (the hook changed something)
    skip,  // go on without it: no step of the directory, leaveDirectory included, is called
    stop,
  };

  virtual ~TreeVisitor() = default;
  virtual Recovery cannotRead(const WalkDirectory& parent, const WalkEntry& entry, int error) = 0;
  virtual Flow mountPoint(const WalkDirectory& parent, const WalkEntry& entry) = 0;
  virtual Flow enterDirectory(const WalkDirectory& parent, const WalkEntry& entry,
                              const WalkDirectory& directory);
  virtual Flow visitEntries(const WalkDirectory& directory, std::vector<WalkEntry>& entries) = 0;
  virtual Flow leaveDirectory(const WalkDirectory& parent, const WalkEntry& entry);
  // The directory (its relative path given) could not be opened again on the way back up.
  virtual void cannotReturn(const std::string& relative, int error) = 0;
};

// Walks the directory `name` of the directory open as parentFd (the root of the walk) and the
// tree below it. True when it ran to the end, false when it stopped.
//
// Cost: one open, one statx, one listing and one close per directory, and one more open per
// directory whose descriptor was given up on the way down (DirectoryStack); nothing per file
// beyond what the visitor does (and an fstatat for entries whose type the file system does not
// report). At most DirectoryStack::kMaxOpen + 2 descriptors are open at a time.
bool walkTree(int parentFd, const std::string& name, TreeVisitor& visitor);

// "a/b" + "c" -> "a/b/c"; "" + "c" -> "c".
std::string joinRelative(const std::string& relative, const std::string& name);

} // namespace os::posix
