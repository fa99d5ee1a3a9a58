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
// A site user decides how deep a tree is and how wide its directories are, so neither bounds
// what the walk can afford: it holds a bounded number of descriptors however deep the tree, does
// not recurse on the machine stack, and reads each directory in batches, so that its memory grows
// with the depth (per level a name, a listing position and at most one batch of names) and never
// with a directory's width.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "os/posix/beneath.h"
#include "os/posix/fd.h"
#include "os/posix/walk_pool.h"

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

// The descriptors a part of a walk on several threads keeps open on its branch (parts run at the
// same time, a few of them on one thread).
constexpr std::size_t kPartOpen = 12;

// How many entries a walk reads from a directory at a time.
constexpr std::size_t kListingBatch = 1024;

// Lists an open directory whole, without "." and ".."; 0 or the errno of the failure.
int listEntries(int fd, std::vector<WalkEntry>& entries);

// The names on the branch from the walk's root down to a directory.
class WalkBranch {
public:
  virtual ~WalkBranch() = default;
  // The path of the directory at this depth relative to the walk's root ("" for the root,
  // components joined by "/", names as the listing's bytes). Built when asked: the walk keeps
  // names only.
  virtual std::string relative(int depth) const = 0;
  // Where the walk is in the order one thread takes its steps (see os/posix/walk_pool.h), for a
  // visitor that keeps what it finds in that order.
  virtual WalkPosition position() const = 0;
};

// A directory during a walk: its open descriptor and its depth (0 for the root; the root's
// parent has depth -1 and the descriptor the walk was started from). Each step of a visitor
// needs only this and what the visitor was given at its start. The walker reads the listing
// through fd: a visitor acts through it (the *at calls) but never reads or seeks it.
struct WalkDirectory {
  int fd;
  int depth;
  const WalkBranch& branch;
  std::string relative() const { return depth <= 0 ? std::string() : branch.relative(depth); }
};

// The hooks of a walk. For each directory the walker:
//   1. opens it from its parent's descriptor (O_RDONLY | O_DIRECTORY | O_NOFOLLOW); when it lies
//      on another mount than the walk's root (a mount point), closes it and calls mountPoint
//      instead of the steps below: nothing on another file system is walked;
//   2. reads the first batch of its listing: at most kListingBatch entries in listing order,
//      "." and ".." left out (getdents64 on its descriptor); when the open or this read fails,
//      asks cannotRead what to do;
//   3. calls enterDirectory (pre-order), then visitEntries with the batch; visitEntries acts on
//      the entries it wants and marks the subdirectories to walk;
//   4. walks each marked subdirectory of the batch in listing order (all of them after
//      visitEntries returned, so a visitor treats every entry of a batch before its first
//      descent);
//   5. reads the next batch from where the last one ended, and goes on with it as in 3 (without
//      enterDirectory) and 4, until the listing ends; a directory removed meanwhile ends there
//      (it was empty);
//   6. closes the directory and calls leaveDirectory (post-order) with its parent.
// A directory of at most kListingBatch entries is thus read, visited and descended into as one
// listing. Any hook can stop the walk; nothing is called after a stop. When the walk cannot get
// back to a directory it left, or cannot read a later batch of a listing, it calls cannotReturn
// and stops.
class TreeVisitor {
public:
  enum class Flow { proceed, stop };
  enum class Recovery {
    retry, // open and read the directory again (the hook changed something)
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
  // The directory (its relative path given) could not be opened again on the way back up, or
  // the rest of its listing could not be read; branch tells where the walk stands.
  virtual void cannotReturn(const WalkBranch& branch, const std::string& relative, int error) = 0;

  // For a walk on more than one thread: a visitor for the subtree of `entry` (a subdirectory of
  // `parent` marked to descend), which another thread then walks with it, from the steps for
  // `entry` itself (cannotRead, mountPoint, enterDirectory) to its leaveDirectory. It runs at
  // the same time as this one, so it shares nothing with it that either changes. Null (the
  // default) keeps the subtree on this visitor's thread.
  virtual std::unique_ptr<TreeVisitor> fork(const WalkDirectory& parent, const WalkEntry& entry);
  // Takes in what a forked visitor found, once its walk ended: on this visitor's thread, before
  // leaveDirectory of the directory that held its subtree (or before this visitor's walk
  // returns, when it stopped). A forked visitor stops where a single walk would have stopped
  // before it: the failure to report is the one at the first position (WalkBranch::position).
  virtual void join(TreeVisitor& forked);
};

// Walks the directory `name` of the directory open as parentFd (the root of the walk) and the
// tree below it. True when it ran to the end, false when it stopped.
//
// With a visitor that forks, the subtrees of a tree that is not small are shared among up to
// WalkPool::configuredThreads() threads (started by the calling thread, so with its
// credentials); each walks from descriptors beneath the same root by the same rules. Every
// visitor's hooks run on one thread at a time, and the walk returns once every part ended.
//
// Cost: per directory one open, one statx, one close, and per batch of its listing one lseek to
// where the batch starts and the getdents64 reads it takes (the last batch one more, to find the
// end); a directory whose descriptor was given up on the way down (DirectoryStack) costs one
// more open. Nothing per file beyond what the visitor does (and an fstatat for entries whose
// type the file system does not report). At most DirectoryStack::kMaxOpen + 2 descriptors are
// open at a time on one thread; a walk on several threads holds at most kPartOpen + 3 for each
// part it runs, however many parts a wide tree has (each part's descriptors are closed when it
// ends), and a handed-over part costs one more dup.
// Memory: one 32 KiB listing buffer and one batch per part being walked; per level of the branch
// being walked its name, its listing position and the marked subdirectories of its current batch
// not walked yet (at most kListingBatch names, each at most 255 bytes). However wide a directory,
// it adds no more than that; a branch of narrow directories costs a few names per level.
// A listing goes on from the file system's cookie (d_off) of the last entry taken, also when the
// directory was opened again in between: the file systems that export over the network keep
// these cookies valid from one open to the next.
bool walkTree(int parentFd, const std::string& name, TreeVisitor& visitor);

// "a/b" + "c" -> "a/b/c"; "" + "c" -> "c".
std::string joinRelative(const std::string& relative, const std::string& name);

} // namespace os::posix
