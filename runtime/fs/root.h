// RunTime::File::Root: a directory that operations on paths named by a site act beneath.
//
// Every operation on a site opens its base directories once (the site's directory, a
// package's directory) as roots, and every path that comes from input (a mapping's url or path,
// a FILE entry, a request's script name, an access entry's SubPath) is a path relative to one
// of them. Such a path is checked before anything changes: normalised, it must stay inside the
// root; "..", a drive, a UNC or "\\?\" form that would leave it is refused with a message that
// names the path and the root. Leading separators only mean "from the root", as
// VFileName::combine has it. Below the root no symbolic link is followed (a link in any
// component but the last fails with 448; one in the last component is acted on as the link, and
// fails with 1921 where it would have to be opened) and no mount point is crossed (os/root.h).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "os/root.h"
#include "os/tree.h"

namespace RunTime::File {

// The names of a path in order, split at "\" and "/"; empty names are dropped.
std::vector<std::u16string> pathComponents(const std::u16string& path);

// The part of `path` below `base`, its names joined by "\" ("" for base itself), or nothing when
// path lies neither at nor below base (names compared as VFileName::compare does).
std::optional<std::u16string> pathBelow(const std::u16string& base, const std::u16string& path);

// The normal form ("\"-separated, no leading or trailing separator, "." and ".." resolved) of a
// relative path that stays inside its base, or nothing for one that would leave it: ".." above
// the base, a drive ("C:…", "C:\…"), a UNC or device form ("\\server\share", "\\?\…", "\\.\…",
// "\??\…"). An empty result names the base itself.
std::optional<std::u16string> pathInside(const std::u16string& relative);

// pathInside(relative), or the vexception "Path (<relative>) is outside of (<base>)" (context
// "RunTime::File::Root::check"). For checking a whole input before any of it is acted on.
std::u16string checkInside(const std::u16string& relative, const std::u16string& base);

// The panel's form of a full path: a host path ("/srv/…", "\srv\…") that lies on a mapped
// drive becomes "X:\…", so that it names its site as the same place given by drive does; any
// other path is returned as given.
std::u16string panelForm(const std::u16string& path);

// The host form of a full path, for a program started on this host that takes the path as an
// argument: only a command line's program is mapped when it starts. Throws the OS error "Unable
// to locate <path>" (context "RunTime::File::hostForm") for a path on a drive that is not mapped.
std::u16string hostForm(const std::u16string& path);

class Root {
public:
  // Opens the directory, a full path the panel gave, by safe steps only (os/root.h): a link on
  // the way is followed only where no user but root can change it, and from a directory of
  // another user the walk goes on only to that user's objects. Throws the OS error "Unable to open
  // directory (<directory>)" (context "RunTime::File::Root").
  explicit Root(const std::u16string& directory);
  // Opens a directory beneath parent (checked as check() does, no link followed, no mount
  // crossed); its path is parent's full path of it. Throws the vexception of check(), or the
  // OS error "Unable to open directory (<path>)" (context "RunTime::File::Root").
  Root(const Root& parent, const std::u16string& relative);
  // The nearest of the directory and the directories above it that exists, opened as the
  // first constructor opens a directory; `missing` is set to the relative path from it down
  // to the directory ("" when the directory exists). Throws the OS error "Unable to open
  // directory (<directory>)" (context "RunTime::File::Root") for any failure but a missing
  // directory, and when not even the path's root exists.
  static Root openNearest(const std::u16string& directory, std::u16string& missing);

  // The path of the root, as given.
  const std::u16string& path() const { return path_; }
  // The boundary's root, for the operations offered there (os/files.h, os/security_store.h).
  const os::Root& os() const { return root_; }

  // pathInside(relative), or the vexception "Path (<relative>) is outside of (<root>)" (context
  // "RunTime::File::Root::check").
  std::u16string check(const std::u16string& relative) const;
  // The full path of a checked relative path.
  std::u16string fullPath(const std::u16string& relative) const;
  // The same as messages show it (os::shownPath).
  std::u16string shown(const std::u16string& relative) const;

  // True when something exists at the relative path (see fileExist); isDirectory as there.
  bool exists(const std::u16string& relative, bool* isDirectory = nullptr) const;
  // removeDir and removeFile (files.h) for a path beneath the root; messages name the full path.
  void removeDir(const std::u16string& relative, bool force) const;
  // Creates the directory and the missing ones above it, beneath the root, and returns the
  // highest one it made ("" when all existed). Throws the OS error "CreateDirectory(<full
  // path>)" (context "makeDir"); the levels made before the failure stay.
  std::u16string createDirectories(const std::u16string& relative) const;
  // Every subdirectory below the directory, at every depth (links to directories are not
  // entered), as checked relative paths in listing order, parents before their children.
  // Throws the OS error "Unable to read directory (<full path>)" (context
  // "RunTime::File::findFirstFile") for a directory that cannot be listed.
  std::vector<std::u16string> listTree(const std::u16string& relative) const;
  void removeFile(const std::u16string& relative, bool force, std::uint32_t retryCount = 0,
                  std::uint32_t pauseMs = 0) const;
  // RunTime::File::copyDirectory from a directory beneath `from` to one beneath this root.
  void copyDirectory(const Root& from, const std::u16string& source, const std::u16string& target,
                     bool recursive, bool preserveLinks, bool replaceExisting) const;

private:
  Root(std::u16string path, os::Root root) : path_(std::move(path)), root_(std::move(root)) {}

  std::u16string path_;
  os::Root root_;
};

} // namespace RunTime::File
