#include "security/disk/security_checker.h"

#include "runtime/core/cancelation.h"
#include "runtime/fs/path/filename.h"
#include "runtime/log/log_manager.h"
#include "security/disk/required_acl.h"

namespace DiskSecurity {
namespace {

void verboseLog(bool verbose, std::u16string_view format, const auto&... args) {
  if (verbose) LogManager::instance().log(corelog::levelInfo, format, args...);
}

} // namespace

SecurityChecker::SecurityChecker(SecuredTree& tree, InformationSource* source, bool verbose)
    : tree_(tree), source_(source), verbose_(verbose) {}

bool SecurityChecker::wrote(const std::u16string& relative) const {
  for (const std::u16string& written : written_)
    if (VFileName::compare(written, relative) == VFileName::same) return true;
  return false;
}

void SecurityChecker::check(std::shared_ptr<SecurityInformation> information,
                            const std::u16string& relative) {
  verboseLog(verbose_, u"Checking security for path %s", tree_.fullPath(relative));
  enter(std::move(information), relative);
  if (!wrote(relative)) repairBelow(relative);
}

void SecurityChecker::repairBelow(const std::u16string& relative) {
  if (tree_.kind(relative) == ObjectKind::absent) return;
  std::unique_ptr<SecuredObject> object = tree_.open(relative);
  if (!object) return; // a link is never followed
  if (std::uint32_t code = object->repairProjection())
    throwOSError(u"Unable to repair the permissions below '" + tree_.fullPath(relative) + u"'",
                 code, VCONTEXT("DiskSecurity::SecurityChecker"));
}

void SecurityChecker::enter(std::shared_ptr<SecurityInformation> information,
                            const std::u16string& path) {
  if (source_) information = source_->informationFor(std::move(information), path);
  walk(information, path);
}

void SecurityChecker::walk(const std::shared_ptr<SecurityInformation>& information,
                           const std::u16string& path) {
  ThreadCancelation::CancelationPoint point(ThreadCancelation::SYNCHRONOUS);
  const ObjectKind kind = kindOf(path);
  if (kind == ObjectKind::absent || kind == ObjectKind::link) return;
  const bool directory = kind == ObjectKind::directory;
  if (!visit(*information, path, directory) || !directory) return;
  verboseLog(verbose_, u"Checking security for path %s using fast algorithm", tree_.fullPath(path));
  walkChildrenWithEntries(information, path);
}

bool SecurityChecker::visit(const SecurityInformation& information, const std::u16string& path,
                            bool directory) {
  const SecurityInformation::Properties properties = information.properties(path);
  if (properties.skip && !properties.exactChildren) {
    verboseLog(verbose_, u"Path %s skipped because of skipPath property", tree_.fullPath(path));
    return false;
  }
  // The walk enters a path on the way to deeper entries without checking it: it keeps what it
  // has.
  const bool check = !properties.skip && properties.ownEntries;
  if (check && !checked(information, path, directory)) {
    verboseLog(verbose_, u"Ignore security checks result received for path %s", tree_.fullPath(path));
    return false;
  }
  return true;
}

void SecurityChecker::walkChildrenWithEntries(
    const std::shared_ptr<SecurityInformation>& information, const std::u16string& path) {
  verboseLog(verbose_, u"Collecting children security entries for path %s", tree_.fullPath(path));
  const std::vector<std::u16string> children = information->childrenWithEntries(path);
  if (children.empty())
    verboseLog(verbose_, u"No children security entries found for path %s", tree_.fullPath(path));
  for (const std::u16string& child : children) {
    const ObjectKind childKind = kindOf(child);
    if (childKind == ObjectKind::link) continue;
    if (childKind == ObjectKind::absent) {
      LogManager::instance().log(corelog::levelInfo, u"Path does not exist %s, skipped",
                                 tree_.fullPath(child));
      continue;
    }
    verboseLog(verbose_, u"Checking children path %s", tree_.fullPath(child));
    if (childKind == ObjectKind::directory)
      enter(information, child);
    else
      visit(*information, child, false);
  }
}

ObjectKind SecurityChecker::kindOf(const std::u16string& path) {
  const ObjectKind kind = tree_.kind(path);
  if (kind == ObjectKind::link) warnLink(path);
  return kind;
}

// Names the refused path and where its links lead.
void SecurityChecker::warnLink(const std::u16string& path) {
  LogManager::instance().log(corelog::levelWarning,
                             u"Cannot apply security to path %s, because it points to another "
                             u"path %s. Links are not allowed.",
                             tree_.fullPath(path), tree_.linkTarget(path));
}

bool SecurityChecker::checked(const SecurityInformation& information,
                              const std::u16string& path, bool directory) {
  try {
    std::unique_ptr<SecuredObject> object = tree_.open(path);
    if (!object) {
      warnLink(path);
      return false;
    }
    apply(information, path, directory, *object);
  } catch (const vexception& e) {
    // Where the entries say to ignore it, it is logged and the path left alone with what lies
    // below it; otherwise the walk goes on.
    if (information.properties(path).ignoreErrors) {
      LogManager::instance().log(corelog::levelWarning, u"Error ignored for path %s: %s",
                                 tree_.fullPath(path), e.message());
      return false;
    }
  } catch (const std::exception&) {
    // Nor does this failure end the walk: the other paths are still checked.
  }
  return true;
}

void SecurityChecker::apply(const SecurityInformation& information, const std::u16string& path,
                            bool directory, SecuredObject& object) {
  const std::u16string full = tree_.fullPath(path);
  const std::vector<const AccessEntry*> entries = information.entriesAt(path);
  const ExistingAcl existing = object.existing();
  std::uint32_t setFlags = 0;
  for (const AccessEntry* entry : entries) setFlags |= static_cast<std::uint32_t>(entry->entryFlags);
  verboseLog(verbose_, u"Generating ACL for path %s", full);
  verboseLog(verbose_, u"Entries set flags %X for path %s, intern path %s", setFlags, full, full);
  RequiredAcl required = requiredAcl(entries, directory, existing);
  if (required.breaksInheritance) {
    os::Result<RunTime::Acl> now = object.effectiveDacl();
    if (!now.ok())
      throwOSError(u"Unable to get the object (" + full + u") security info", now.code(),
                   VCONTEXT("DiskSecurity::SecurityChecker::apply"));
    required = requiredAcl(entries, directory, existing, now.value());
  }
  const bool repair = directory && information.properties(path).repair;
  if (!repair && matches(existing, required)) return;
  if (repair)
    LogManager::instance().log(corelog::levelInfo,
                               u"Repairing folder %s, because of 'repaireFolder' flag", full);
  else if (existing.daclProtected && !required.daclProtected)
    verboseLog(verbose_, u"Inherit permissions from parent requires failed");
  else
    verboseLog(verbose_, u"DACL is wrong, DACL dump:\n%s",
               dumpItems(accessItems(existing.explicitDacl)));
  const std::u16string dump = verbose_ ? dumpItems(accessItems(required.explicitDacl)) : u"";
  if (required.daclProtected)
    verboseLog(verbose_, u"Setting explicit security for %s:\n%s", full, dump);
  else
    verboseLog(verbose_, u"Setting inherited security %s to %s", dump, full);
  if (std::uint32_t code = object.writeDacl(required.explicitDacl, required.daclProtected))
    throwOSError(u"Unable to set the object (" + full + u") security info", code,
                 VCONTEXT("DiskSecurity::SecurityChecker::apply"));
  written_.push_back(path);
}

} // namespace DiskSecurity
