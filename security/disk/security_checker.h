// DiskSecurity::SecurityChecker: applies the entries of a security information to the tree
// below a path, writing the list of every path whose entries require another one than it
// carries; CompleteChecker also repairs the POSIX projection of every object below the path.
//
// The fast walk (what a commit uses) checks only the paths that carry entries of their own and
// enters the directories on the way to them; what only inherits is left to the inheritance of
// the lists written. The full walk checks every file and directory below the path, from
// directory descriptors with the shared tree walker, except below a path whose entries stop
// propagation (NoPropagate, SkipPath; with CheckThisPathExactly only its children with entries
// are checked). Every object is opened without following a link in any component, and written
// through that descriptor: a link inside the tree is refused with a warning, and a file with
// several hard links is never changed.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "os/security_store.h"
#include "security/disk/callback.h"
#include "security/disk/component_resolver.h"
#include "security/disk/security_information.h"
#include "security/disk/system_helper.h"

namespace DiskSecurity {

class SecurityChecker {
public:
  SecurityChecker(Callback& callback, std::uint32_t applyArgument,
                  std::shared_ptr<ISystemHelper> systemHelper);
  virtual ~SecurityChecker() = default;

  // Walks `path` with the information the callback gives for it. Throws AbortException when a
  // check or the callback asks to abort, and what a callback or a failure with no callback
  // answer throws.
  virtual void checkPathSecurityByCallbackSecurityInformation(
      std::shared_ptr<SecurityInformation> information, const std::u16string& path);

  // Resolves the "[name]" entry paths of the information built for this checker.
  IComponentPathResolver& pathResolver() { return resolver_; }
  std::uint32_t applyArgument() const { return applyArgument_; }
  // Chooses the full walk instead of the fast one.
  void setFullWalk(bool fullWalk) { fullWalk_ = fullWalk; }
  // Whether the walk wrote the list of exactly this path.
  bool wrote(const std::u16string& path) const;

protected:
  // Checks one path: CHECK_DONE, CHECK_SKIPPED (its children are left alone too).
  virtual int checkPath(const SecurityInformation& information, const std::u16string& path,
                        bool directory);
  ISystemHelper& helper() { return *systemHelper_; }

private:
  using Informations = std::vector<std::shared_ptr<SecurityInformation>>;

  void enter(std::shared_ptr<SecurityInformation> information, const std::u16string& path);
  void walk(const std::shared_ptr<SecurityInformation>& information, const std::u16string& path);
  // Leaves the path alone (false, also for what lies below it) or checks it when it is to be
  // checked and goes on (true). `opened` is the object when the walker opened it already.
  bool visit(const SecurityInformation& information, const std::u16string& path, bool directory,
             os::SecurityObject* opened);
  // The children of the path that carry entries of their own, each walked.
  void walkChildrenWithEntries(const std::shared_ptr<SecurityInformation>& information,
                               const std::u16string& path);
  // Whether the entries of a directory let the full walk go on with all of its children; when
  // they do not, the children they name exactly are walked here.
  bool propagates(const std::shared_ptr<SecurityInformation>& information,
                  const std::u16string& path);
  // The full walk below a directory, on the shared tree walker.
  void walkAll(const std::shared_ptr<SecurityInformation>& information, const std::u16string& path);
  // One object of the full walk at `depth` below the walked directory; whether to descend.
  bool visitObject(Informations& informations, os::SecurityObject& object, int depth);
  // The helper's getPathKind; a path that leads through a link is refused with a warning.
  std::uint32_t pathKind(const std::u16string& path);
  // checkPath with failures handed to the callback, repeated while the answer is CHECK_AGAIN;
  // throws AbortException on CHECK_ABORT.
  int checkAnswered(const SecurityInformation& information, const std::u16string& path,
                    bool directory, os::SecurityObject* opened);
  // Checks an object opened already: the callback asked, the list written when wrong.
  int checkObject(const SecurityInformation& information, const std::u16string& path,
                  bool directory, os::SecurityObject& object);
  // Writes the list when wrong and tells the callback: CHECK_DONE, or AbortException.
  int written(const SecurityInformation& information, const std::u16string& path, bool directory,
              os::SecurityObject& object);
  // Writes the required list when the existing one differs; whether it did.
  bool apply(const SecurityInformation& information, const std::u16string& path, bool directory,
             os::SecurityObject& object);

  Callback& callback_;
  std::uint32_t applyArgument_;
  std::shared_ptr<ISystemHelper> systemHelper_;
  KelvoComponentResolver resolver_;
  bool verbose_;
  bool fullWalk_ = false;
  std::vector<std::u16string> written_;
};

class CompleteChecker : public SecurityChecker {
public:
  using SecurityChecker::SecurityChecker;

  // The walk, then the drift repair below `path` (unless the walk rewrote `path` itself, which
  // projected everything below it already).
  void checkPathSecurityByCallbackSecurityInformation(
      std::shared_ptr<SecurityInformation> information, const std::u16string& path) override;
};

} // namespace DiskSecurity
