// Where the security of files and directories lies on this host: the POSIX owner, group and
// ACLs, and the NT security descriptor that the store keeps for an object in the extended
// attribute "trusted.tavrix.ntacl" (the trusted namespace: only a process with CAP_SYS_ADMIN
// reads or writes it, so a site user who owns a file cannot rewrite what was recorded for it).
//
// Objects are opened once, beneath a Root (os/root.h: a link on the way fails with 448), and
// acted on through their descriptor, never again by path. Only regular files and directories
// are security objects here: a symbolic link in the last component is refused (1921), other
// kinds of file fail with 5.
//
// Hard links: a non-directory with more than one link may be a hard link that a site user made
// to a file outside the site, so its descriptor, ACL and owner are never changed (5).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "os/error.h"
#include "os/handle.h"
#include "os/posix_acl.h"
#include "os/root.h"

namespace os {

struct SecurityState {
  bool directory = false;
  std::uint32_t owner = 0;
  std::uint32_t group = 0;
  std::uint32_t linkCount = 1;
  bool hasDescriptor = false;
  std::vector<std::uint8_t> descriptor; // the stored bytes, when hasDescriptor
  PosixAcl access;                      // sorted; the base entries from the mode when no ACL
  PosixAcl defaults;                    // sorted; empty when none (always for files)
};

class SecurityObject;

// Visits the files and directories below a directory: a directory before what it holds, and
// within each batch of up to 1,024 listed entries the files before the subdirectories.
// `visit` gets the object and its depth (1 for
// the root's children), sets `descend` to go into a directory, and returns 0 or a code that
// stops the walk. Symbolic links and other kinds of file are passed over; nothing is followed,
// and nothing on another file system than the root's is visited (mount points are passed
// over). The walk holds a bounded number of descriptors and memory linear in the depth.
// Returns the code that stopped the walk: the visit's, or that of a directory that cannot be
// opened or listed or of an object that cannot be read (what vanished or was replaced by a link
// while the walk ran is passed over). `link`, when given, gets the path of each symbolic link
// listed in a directory the visit went into, so that a caller can say it was refused.
using SecurityVisit =
    std::function<std::uint32_t(SecurityObject& object, int depth, bool& descend)>;
using LinkVisit = std::function<void(const std::u16string& path)>;
[[nodiscard]] std::uint32_t walkSecurityTree(const SecurityObject& root,
                                             const SecurityVisit& visit,
                                             const LinkVisit& link = {});

// The same walk with a visitor that lets the subtrees of a tree that is not small be visited on
// other threads at once (up to TAVRIX_WALK_THREADS, else the host's cores, at most 8): fork gives
// the visitor of the subtree of a directory at depth + 1 below one visited at `depth`, which
// another thread then visits as this one would have; join takes in what it found, once its walk
// ended, on this visitor's thread. Each visitor is used by one thread at a time. The code
// returned is the one a walk on one thread would have stopped at.
class SecurityVisitor {
public:
  virtual ~SecurityVisitor() = default;
  [[nodiscard]] virtual std::uint32_t visit(SecurityObject& object, int depth, bool& descend) = 0;
  virtual std::unique_ptr<SecurityVisitor> fork(int depth) = 0;
  virtual void join(SecurityVisitor& part) = 0;
};
[[nodiscard]] std::uint32_t walkSecurityTree(const SecurityObject& root, SecurityVisitor& visitor);

class SecurityObject {
public:
  // Opens a path beneath a root (a link in the last component is refused) and reads its state.
  static Result<SecurityObject> open(const Root& root, std::u16string_view relative);
  // The object that a handle (possibly opened for its path only) refers to; the handle stays
  // the caller's.
  static Result<SecurityObject> fromHandle(NativeHandle handle);

  // Refers to no object.
  SecurityObject() = default;

  SecurityObject(SecurityObject&&) noexcept = default;
  SecurityObject& operator=(SecurityObject&&) noexcept = default;

  const SecurityState& state() const { return state_; }
  // The Windows form of the object's path, for reports (made when asked: a walk keeps no path
  // per object).
  std::u16string path() const { return describe_ ? describe_() : path_; }
  // Whether the object is a non-directory with more than one link (left unchanged).
  bool hardLinked() const { return !state_.directory && state_.linkCount > 1; }

  // The directory that holds the object. Fails with fileNotFound at the top of the object's
  // file system (its root or a mount point), and for a file that is no longer where its
  // descriptor's path says.
  Result<SecurityObject> parent() const;

  // Stores the descriptor bytes.
  [[nodiscard]] std::uint32_t writeDescriptor(std::span<const std::uint8_t> descriptor);
  // Sets the access ACL and, for a directory, the default ACL (an empty one is removed); an
  // ACL that already holds these entries is not written.
  [[nodiscard]] std::uint32_t applyAcl(const PosixAcl& access, const PosixAcl& defaults);
  // Makes the user the owner (the group stays).
  [[nodiscard]] std::uint32_t setOwner(std::uint32_t uid);

private:
  SecurityObject(Handle handle, std::u16string path);
  SecurityObject(Handle handle, std::function<std::u16string()> describe);
  // A file of a walked directory, read by its name there and opened only when it is changed or
  // its parent asked for (while the walk holds the directory open).
  SecurityObject(int directory, std::string name, std::function<std::u16string()> describe);
  // The object of a handle opened for reading, with its state read.
  static Result<SecurityObject> reading(Result<Handle> handle, std::u16string path);
  [[nodiscard]] std::uint32_t readState();
  // Opens an object read by name, without following a link, when it is still the object read;
  // sets gone_ (and succeeds) when it is no longer there: what is not there is not changed.
  [[nodiscard]] std::uint32_t opened();
  int fd() const;
  friend class SecurityWalk;

  Handle handle_;
  int directory_ = -1; // with name_, where an object read by name lies
  std::string name_;
  bool gone_ = false;
  std::u16string path_;
  std::function<std::u16string()> describe_;
  SecurityState state_;
  std::uint64_t device_ = 0;
  std::uint64_t inode_ = 0;
};

} // namespace os
