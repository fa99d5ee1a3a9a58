// DiskSecurity::SecurityChecker: applies the entries of a security information to the objects of
// a secured tree below one of its directories, writing the list of every object whose entries
// require another one than it carries, then repairs the POSIX projection of every object below
// that directory.
//
// Paths are relative to the tree's root ("" the root itself). The walk checks only the paths
// that carry entries of their own and enters the directories on the way to them; what only
// inherits is left to the inheritance of the lists written. A path whose entries say SkipPath
// is left alone with what lies below it (with CheckThisPathExactly, its children with entries
// are still checked). A link is never followed: it is refused with a warning, and so is a path
// that leads through one.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "security/disk/information_source.h"
#include "security/disk/secured_tree.h"
#include "security/disk/security_information.h"

namespace DiskSecurity {

class SecurityChecker {
public:
  // `source`, when given, is asked for the information of every directory the walk enters.
  SecurityChecker(SecuredTree& tree, InformationSource* source, bool verbose);

  // Walks the path (relative to the tree's root) with the information, or the one the source
  // gives for it, then repairs the projection below the path (unless the walk rewrote the path
  // itself, which projected everything below it already). A failure to check one path does not
  // end the walk; a failure of the repair throws the OS error.
  void check(std::shared_ptr<SecurityInformation> information, const std::u16string& relative);

private:
  void enter(std::shared_ptr<SecurityInformation> information, const std::u16string& path);
  void walk(const std::shared_ptr<SecurityInformation>& information, const std::u16string& path);
  // Leaves the path alone (false, also for what lies below it) or checks it when it carries
  // entries of its own and goes on (true).
  bool visit(const SecurityInformation& information, const std::u16string& path, bool directory);
  // The children of the path that carry entries of their own, each walked.
  void walkChildrenWithEntries(const std::shared_ptr<SecurityInformation>& information,
                               const std::u16string& path);
  // The tree's kind of the path; a link there or on the way is refused with a warning.
  ObjectKind kindOf(const std::u16string& path);
  void warnLink(const std::u16string& path);
  // Checks one path; false when it is to be left alone with its children (a link swapped in,
  // or a failure its entries say to ignore).
  bool checked(const SecurityInformation& information, const std::u16string& path, bool directory);
  // Writes the required list when the existing one differs.
  void apply(const SecurityInformation& information, const std::u16string& path, bool directory,
             SecuredObject& object);
  // Whether the walk wrote the list of exactly this path.
  bool wrote(const std::u16string& relative) const;
  void repairBelow(const std::u16string& relative);

  SecuredTree& tree_;
  InformationSource* source_;
  bool verbose_;
  std::vector<std::u16string> written_;
};

} // namespace DiskSecurity
