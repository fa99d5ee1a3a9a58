// Confinement: a directory that operations act beneath.
//
// A Root is a directory opened once. The operations of the boundary that take a Root and a
// relative path (os/files.h, os/tree.h, os/file_io.h, os/security_store.h) resolve that path
// beneath the directory and nowhere else:
//   - a symbolic link in any component but the last is refused (448); a link in the last
//     component is acted on as the link itself (removed, described), never followed, and where
//     the object itself must be opened it is refused (1921);
//   - a mount point below the root is not crossed (17);
//   - the relative path is Windows-form (os/path_grammar.h: "\" or "/" separated; leading
//     separators mean "from the root"); "." and ".." are resolved by their text before anything
//     is opened, and ".." that climbs above the root (17), a drive, a UNC or a "\\?\" form (161)
//     is refused. The resolver itself never walks "..": once a component could have been moved,
//     ".." no longer proves where it leads. What does not resolve beneath the root is refused,
//     never opened another way.
//
// Opening a root from a full path (one the panel gives) walks it from the host's "/" one
// component at a time, by safe steps only: from a directory of a user other than root (or the
// calling process's own user) the walk goes on only to objects of that same user, and a
// symbolic link, the last component included, is followed only where it stands in a directory
// that no other user can change, whoever owns the link (a site user can rename root's links
// within its own tree). An unsafe step fails with 448. The other operations of the boundary take
// a root and a relative path only: a caller with a full path opens the root of its parent
// (openParent, by the same safe steps) and acts on its last name, which is never followed.
#pragma once

#include <string>
#include <string_view>

#include "os/error.h"
#include "os/handle.h"

namespace os {

class Root {
public:
  // Opens the directory at a full Windows-form path (see above). 267 when it is not a
  // directory.
  static Result<Root> open(std::u16string_view path);

  // The directory that a full path's last component stands in, reached as open() walks, and
  // that component in `name`, for the operations of the boundary on one object named by a full
  // path: they act on (root, name) and never follow a link in name. With followSafeLink a link
  // in the last component is followed by open()'s rule and name is what it leads to. The root's
  // path is the given path without its last name (so that pathOf(name) gives the path back);
  // name is "." for the host's "/" or a drive's own directory. Fails as open() does, with 3 when
  // a directory on the way is missing.
  enum class Last { asIs, followSafeLink };
  static Result<Root> openParent(std::u16string_view path, std::u16string& name,
                                 Last last = Last::asIs);

  // Holds no directory.
  Root() = default;

  // A directory beneath this one (relative path as above, its last component never a link) as
  // a root of its own; its path is this root's path with the relative path below it.
  Result<Root> subdirectory(std::u16string_view relative) const;

  NativeHandle handle() const { return handle_.get(); }
  bool valid() const { return handle_.valid(); }
  // The Windows-form path the root was opened by, for reports.
  const std::u16string& path() const { return path_; }
  // path() with a relative path below it ("\"-separated; "." adds nothing), for reports.
  std::u16string pathOf(std::u16string_view relative) const;

private:
  Root(Handle handle, std::u16string path) : handle_(std::move(handle)), path_(std::move(path)) {}

  Handle handle_;
  std::u16string path_;
};

// The host form ("/"-separated, no leading separator, "." and ".." resolved) of a relative path
// given to an operation on a Root, or 17 / 161 for a path that would leave it (see above).
Result<std::string> relativeHostPath(std::u16string_view relative);

} // namespace os
