// The application's directory in a site as the mapping walk fills it. Nothing is opened or made
// until a mapping puts content there; then the target is made with the directories above it
// that are missing, the web root's included, by whoever the thread acts as (the site's user:
// what it may not create stays an error). A walk that fails removes again what it made.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "runtime/fs/root.h"

class SiteDirectory {
public:
  // webRoot: the panel's full path; subdirectory: the application's directory below it ("" for
  // the web root itself). Opens nothing; throws the vexception of RunTime::File::checkInside
  // for a subdirectory that would leave the web root.
  SiteDirectory(const std::u16string& webRoot, const std::u16string& subdirectory);

  // RunTime::File::checkInside(relative, <the site directory's full path>).
  std::u16string check(const std::u16string& relative) const;
  // The full path of a checked relative path.
  std::u16string fullPath(const std::u16string& relative) const;

  // Makes the directory at the relative path below the site directory with the missing ones
  // above it, and remembers the highest one made. Throws what Root::openNearest and
  // Root::createDirectories throw.
  void createDirectories(const std::u16string& relative);
  // Root::copyDirectory (recursive, links not kept, files replaced) of the package's source into
  // the target, made before by createDirectories.
  void copyFrom(const RunTime::File::Root& package, const std::u16string& source,
                const std::u16string& target) const;
  // Removes what createDirectories made, with everything put there since, newest first. A
  // removal that fails is logged as a warning and the others go on: this runs while another
  // failure is on its way out.
  void removeMade();

private:
  // The relative path beneath the opened base of a path relative to the site directory.
  std::u16string beneathBase(const std::u16string& relative) const;

  std::u16string webRoot_;
  std::u16string subdirectory_;
  // The web root as given, with the subdirectory below it.
  std::u16string path_;
  // The nearest existing directory of the web root and those above it, once something is made.
  std::optional<RunTime::File::Root> base_;
  // The missing part of the web root below base_, then the subdirectory.
  std::u16string siteBeneathBase_;
  // Relative to base_, in the order made.
  std::vector<std::u16string> made_;
};
