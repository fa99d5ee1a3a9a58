// DiskSecurity::SecurityChecker: applies the entries of a security information to the objects of
// a secured tree below one of its directories, writing the list of every object whose entries
// require another one than it carries; CompleteChecker also repairs the POSIX projection of
// every object below that directory.
//
// Paths are relative to the tree's root ("" the root itself); the callback gets full paths, for
// reports. The fast walk (what a commit uses) checks only the paths that carry entries of their
// own and enters the directories on the way to them; what only inherits is left to the
// inheritance of the lists written. The full walk checks every file and directory below the
// path, except below a path whose entries stop propagation (NoPropagate, SkipPath; with
// CheckThisPathExactly only its children with entries are checked). A link is never followed:
// it is refused with a warning, and so is a path that leads through one.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "security/disk/callback.h"
#include "security/disk/secured_tree.h"
#include "security/disk/security_information.h"

namespace DiskSecurity {

class SecurityChecker {
public:
  // `source`, when given, is asked for the information of every directory the walk enters.
  SecurityChecker(SecuredTree& tree, Callback& callback, InformationSource* source,
                  std::uint32_t applyArgument, bool verbose);
  virtual ~SecurityChecker() = default;

  // Walks the path (relative to the tree's root) with the information, or the one the source
  // gives for it. Throws AbortException when a check or the callback asks to abort, and what a
  // callback or a failure with no callback answer throws.
  virtual void checkPathSecurityByCallbackSecurityInformation(
      std::shared_ptr<SecurityInformation> information, const std::u16string& relative);

  std::uint32_t applyArgument() const { return applyArgument_; }
  // Chooses the full walk instead of the fast one.
  void setFullWalk(bool fullWalk) { fullWalk_ = fullWalk; }
  // Whether the walk wrote the list of exactly this path.
  bool wrote(const std::u16string& relative) const;

protected:
  SecuredTree& tree() { return tree_; }

private:
  using Informations = std::vector<std::shared_ptr<SecurityInformation>>;

  void enter(std::shared_ptr<SecurityInformation> information, const std::u16string& path);
  void walk(const std::shared_ptr<SecurityInformation>& information, const std::u16string& path);
  // Leaves the path alone (false, also for what lies below it) or checks it when it is to be
  // checked and goes on (true). `opened` is the object when the walk opened it already.
  bool visit(const SecurityInformation& information, const std::u16string& path, bool directory,
             SecuredObject* opened);
  // The children of the path that carry entries of their own, each walked.
  void walkChildrenWithEntries(const std::shared_ptr<SecurityInformation>& information,
                               const std::u16string& path);
  // Whether the entries of a directory let the full walk go on with all of its children; when
  // they do not, the children they name exactly are walked here.
  bool propagates(const std::shared_ptr<SecurityInformation>& information,
                  const std::u16string& path);
  // The full walk below a directory.
  void walkAll(const std::shared_ptr<SecurityInformation>& information, const std::u16string& path);
  // One object of the full walk at `depth` below the walked directory; whether to descend.
  bool visitObject(Informations& informations, SecuredObject& object, const std::u16string& path,
                   int depth);
  // The tree's kind of the path; a link there or on the way is refused with a warning.
  ObjectKind kindOf(const std::u16string& path);
  void warnLink(const std::u16string& path);
  // The check with failures handed to the callback, repeated while the answer is CHECK_AGAIN;
  // throws AbortException on CHECK_ABORT.
  int checkAnswered(const SecurityInformation& information, const std::u16string& path,
                    bool directory, SecuredObject* opened);
  // Checks one path: CHECK_DONE, CHECK_SKIPPED (its children are left alone too).
  int checkPath(const SecurityInformation& information, const std::u16string& path,
                bool directory, SecuredObject* opened);
  // Writes the required list when the existing one differs, and tells the callback.
  void apply(const SecurityInformation& information, const std::u16string& path, bool directory,
             SecuredObject& object);

  SecuredTree& tree_;
  Callback& callback_;
  InformationSource* source_;
  std::uint32_t applyArgument_;
  bool verbose_;
  bool fullWalk_ = false;
  std::vector<std::u16string> written_;
};

class CompleteChecker : public SecurityChecker {
public:
  using SecurityChecker::SecurityChecker;

  // The walk, then the drift repair below the path (unless the walk rewrote the path itself,
  // which projected everything below it already).
  void checkPathSecurityByCallbackSecurityInformation(
      std::shared_ptr<SecurityInformation> information, const std::u16string& relative) override;
};

} // namespace DiskSecurity
