#include "security/disk/security_checker.h"

#include <exception>

#include "os/path.h"
#include "os/security_store.h"
#include "os/text.h"
#include "runtime/core/cancelation.h"
#include "runtime/fs/path/filename.h"
#include "runtime/log/log_manager.h"
#include "runtime/security/model/security_descriptor.h"
#include "runtime/security/stored_security.h"
#include "security/disk/required_acl.h"

namespace DiskSecurity {
namespace {

void verboseLog(bool verbose, std::u16string_view format, const auto&... args) {
  if (verbose) LogManager::instance().log(corelog::levelInfo, format, args...);
}

ExistingAcl existingOf(const os::SecurityState& state) {
  if (!state.hasDescriptor) return {};
  RunTime::SecurityDescriptor stored = RunTime::SecurityDescriptor::fromSelfRelative(state.descriptor);
  return {stored.dacl(), stored.daclProtected()};
}

// Whether the open refused a link: one beneath a root (1921), or one met on the safe walk of a
// full path, where a directory of the site user stands on the way as well (448).
bool linkRefused(std::uint32_t code) {
  return code == os::err::cantResolveFilename || code == os::err::untrustedMountPoint;
}
// What getPathKind answers for a path that leads through a link (never followed).
constexpr std::uint32_t PATH_THROUGH_LINK = 0xFFFFFFFF;

// Names the refused path and where its links lead.
void warnLink(const std::u16string& path) {
  const os::Result<std::u16string> target = os::linkedPath(path);
  LogManager::instance().log(corelog::levelWarning,
                             u"Cannot apply security to path %s, because it points to another "
                             u"path %s. Links are not allowed.",
                             path, target.ok() ? target.value() : path);
}

} // namespace

SecurityChecker::SecurityChecker(Callback& callback, std::uint32_t applyArgument,
                                 std::shared_ptr<ISystemHelper> systemHelper)
    : callback_(callback), applyArgument_(applyArgument), systemHelper_(std::move(systemHelper)),
      resolver_(systemHelper_), verbose_(systemHelper_->isVerbose()) {}

bool SecurityChecker::wrote(const std::u16string& path) const {
  for (const std::u16string& written : written_)
    if (VFileName::compare(written, path) == VFileName::same) return true;
  return false;
}

void SecurityChecker::checkPathSecurityByCallbackSecurityInformation(
    std::shared_ptr<SecurityInformation> information, const std::u16string& path) {
  verboseLog(verbose_, u"Checking security for path %s", path);
  enter(std::move(information), path);
}

void SecurityChecker::enter(std::shared_ptr<SecurityInformation> information,
                            const std::u16string& path) {
  const std::uint32_t flags = information->flags();
  information = callback_.getSecurityInformation(std::move(information), path, flags);
  walk(information, path);
}

void SecurityChecker::walk(const std::shared_ptr<SecurityInformation>& information,
                           const std::u16string& path) {
  ThreadCancelation::CancelationPoint point(ThreadCancelation::SYNCHRONOUS);
  const std::uint32_t kind = pathKind(path);
  if (kind == PATH_ABSENT || kind == PATH_THROUGH_LINK) return;
  if (!visit(*information, path, kind == PATH_DIRECTORY, nullptr) || kind != PATH_DIRECTORY)
    return;
  if (fullWalk_) {
    if (propagates(information, path)) walkAll(information, path);
    return;
  }
  verboseLog(verbose_, u"Checking security for path %s using fast algorithm", path);
  walkChildrenWithEntries(information, path);
}

bool SecurityChecker::visit(const SecurityInformation& information, const std::u16string& path,
                            bool directory, os::SecurityObject* opened) {
  const SecurityInformation::Properties properties = information.properties(path);
  if (properties.skip && !properties.exactChildren) {
    verboseLog(verbose_, u"Path %s skipped because of skipPath property", path);
    return false;
  }
  // The fast walk enters a path on the way to deeper entries without checking it: it keeps
  // what it has.
  const bool check = !properties.skip && (fullWalk_ || properties.ownEntries);
  if (check && checkAnswered(information, path, directory, opened) == CHECK_SKIPPED) {
    verboseLog(verbose_, u"Ignore security checks result received for path %s", path);
    return false;
  }
  return true;
}

void SecurityChecker::walkChildrenWithEntries(
    const std::shared_ptr<SecurityInformation>& information, const std::u16string& path) {
  verboseLog(verbose_, u"Collecting children security entries for path %s", path);
  const std::vector<std::u16string> children = information->childrenWithEntries(path);
  if (children.empty()) verboseLog(verbose_, u"No children security entries found for path %s", path);
  for (const std::u16string& child : children) {
    const std::uint32_t childKind = pathKind(child);
    if (childKind == PATH_THROUGH_LINK) continue;
    if (childKind == PATH_ABSENT) {
      LogManager::instance().log(corelog::levelInfo, u"Path does not exist %s, skipped", child);
      continue;
    }
    verboseLog(verbose_, u"Checking children path %s", child);
    if (childKind == PATH_DIRECTORY)
      enter(information, child);
    else
      visit(*information, child, false, nullptr);
  }
}

bool SecurityChecker::propagates(const std::shared_ptr<SecurityInformation>& information,
                                 const std::u16string& path) {
  const SecurityInformation::Properties properties = information->properties(path);
  if (!properties.noPropagate && !properties.skip) return true;
  verboseLog(verbose_, u"No propagate security to %s children", path);
  if (properties.exactChildren) {
    verboseLog(verbose_, u"Checking exactly %s children", path);
    walkChildrenWithEntries(information, path);
  }
  return false;
}

void SecurityChecker::walkAll(const std::shared_ptr<SecurityInformation>& information,
                              const std::u16string& path) {
  os::Result<os::SecurityObject> top = os::SecurityObject::open(path);
  if (!top.ok() && linkRefused(top.code())) { // swapped for a link since it was checked
    warnLink(path);
    return;
  }
  if (!top.ok())
    throwOSError(u"Unable to open '" + path + u"' for security", top.code(),
                 VCONTEXT("DiskSecurity::SecurityChecker::walkAll"));
  Informations informations{information};
  // What a check throws is carried across the walker, which then stops, and thrown again here.
  std::exception_ptr thrown;
  const std::uint32_t code = os::walkSecurityTree(
      top.value(),
      [&](os::SecurityObject& object, int depth, bool& descend) -> std::uint32_t {
        try {
          descend = visitObject(informations, object, depth);
          return os::err::success;
        } catch (...) {
          thrown = std::current_exception();
          return os::err::operationAborted;
        }
      },
      [](const std::u16string& link) { warnLink(link); });
  if (thrown) std::rethrow_exception(thrown);
  if (code)
    throwOSError(u"Unable to walk the tree below '" + path + u"'", code,
                 VCONTEXT("DiskSecurity::SecurityChecker::walkAll"));
}

bool SecurityChecker::visitObject(Informations& informations, os::SecurityObject& object,
                                  int depth) {
  ThreadCancelation::CancelationPoint point(ThreadCancelation::SYNCHRONOUS);
  const std::size_t level = static_cast<std::size_t>(depth);
  const std::u16string path = object.path();
  const bool directory = object.state().directory;
  std::shared_ptr<SecurityInformation> information = informations[level - 1];
  if (directory)
    information = callback_.getSecurityInformation(information, path, information->flags());
  verboseLog(verbose_, u"Checking children path %s", path);
  if (!visit(*information, path, directory, &object) || !directory) return false;
  informations.resize(level + 1);
  informations[level] = information;
  return propagates(information, path);
}

std::uint32_t SecurityChecker::pathKind(const std::u16string& path) {
  try {
    return systemHelper_->getPathKind(path);
  } catch (const vosexception& e) {
    if (!linkRefused(e.code())) throw;
    warnLink(path);
    return PATH_THROUGH_LINK;
  }
}

int SecurityChecker::checkAnswered(const SecurityInformation& information,
                                   const std::u16string& path, bool directory,
                                   os::SecurityObject* opened) {
  for (;;) {
    int result = CHECK_DONE;
    try {
      result = opened ? checkObject(information, path, directory, *opened)
                      : checkPath(information, path, directory);
    } catch (const AbortException&) {
      throw;
    } catch (const vexception& e) {
      const auto* os = dynamic_cast<const vosexception*>(&e);
      if (information.properties(path).ignoreErrors) {
        LogManager::instance().log(corelog::levelWarning, u"Error ignored for path %s: %s", path,
                                   e.message());
        return CHECK_SKIPPED;
      }
      result = callback_.onFailure(path, os ? os->code() : 0, e.message(), directory);
    } catch (const std::exception& e) {
      result = callback_.onFailure(path, 0, os::utf16FromUtf8(e.what()), directory);
    }
    if (result == CHECK_ABORT) throw AbortException();
    if (result != CHECK_AGAIN) return result;
  }
}

int SecurityChecker::checkPath(const SecurityInformation& information, const std::u16string& path,
                               bool directory) {
  if (callback_.onPath(path, directory) == CHECK_SKIPPED) return CHECK_SKIPPED;
  os::Result<os::SecurityObject> object = os::SecurityObject::open(path);
  if (!object.ok() && linkRefused(object.code())) {
    warnLink(path);
    return CHECK_SKIPPED;
  }
  if (!object.ok())
    throwOSError(u"Unable to open '" + path + u"' for security", object.code(),
                 VCONTEXT("DiskSecurity::SecurityChecker::checkPath"));
  return written(information, path, directory, object.value());
}

int SecurityChecker::checkObject(const SecurityInformation& information, const std::u16string& path,
                                 bool directory, os::SecurityObject& object) {
  if (callback_.onPath(path, directory) == CHECK_SKIPPED) return CHECK_SKIPPED;
  return written(information, path, directory, object);
}

int SecurityChecker::written(const SecurityInformation& information, const std::u16string& path,
                             bool directory, os::SecurityObject& object) {
  if (apply(information, path, directory, object) &&
      callback_.onWritten(path, directory) == CHECK_ABORT)
    throw AbortException();
  return CHECK_DONE;
}

bool SecurityChecker::apply(const SecurityInformation& information, const std::u16string& path,
                            bool directory, os::SecurityObject& object) {
  const std::vector<const AccessEntry*> entries = information.entriesAt(path);
  const ExistingAcl existing = existingOf(object.state());
  std::uint32_t setFlags = 0;
  for (const AccessEntry* entry : entries) setFlags |= static_cast<std::uint32_t>(entry->entryFlags);
  verboseLog(verbose_, u"Generating ACL for path %s", path);
  verboseLog(verbose_, u"Entries set flags %X for path %s, intern path %s", setFlags, path, path);
  RequiredAcl required = requiredAcl(entries, directory, existing);
  if (required.breaksInheritance) {
    os::Result<RunTime::Acl> now = RunTime::readDacl(object);
    if (!now.ok())
      throwOSError(u"Unable to get the object (" + path + u") security info", now.code(),
                   VCONTEXT("DiskSecurity::SecurityChecker::apply"));
    required = requiredAcl(entries, directory, existing, now.value());
  }
  const bool repair = directory && information.properties(path).repair;
  if (!repair && matches(existing, required)) return false;
  if (repair)
    LogManager::instance().log(corelog::levelInfo,
                               u"Repairing folder %s, because of 'repaireFolder' flag", path);
  else if (existing.daclProtected && !required.daclProtected)
    verboseLog(verbose_, u"Inherit permissions from parent requires failed");
  else
    verboseLog(verbose_, u"DACL is wrong, DACL dump:\n%s",
               dumpItems(accessItems(existing.explicitDacl)));
  const std::u16string dump = verbose_ ? dumpItems(accessItems(required.explicitDacl)) : u"";
  if (required.daclProtected)
    verboseLog(verbose_, u"Setting explicit security for %s:\n%s", path, dump);
  else
    verboseLog(verbose_, u"Setting inherited security %s to %s", dump, path);
  os::Result<std::vector<std::u16string>> written =
      RunTime::writeDacl(object, required.explicitDacl, required.daclProtected);
  if (!written.ok())
    throwOSError(u"Unable to set the object (" + path + u") security info", written.code(),
                 VCONTEXT("DiskSecurity::SecurityChecker::apply"));
  written_.push_back(path);
  return true;
}

void CompleteChecker::checkPathSecurityByCallbackSecurityInformation(
    std::shared_ptr<SecurityInformation> information, const std::u16string& path) {
  SecurityChecker::checkPathSecurityByCallbackSecurityInformation(std::move(information), path);
  if (wrote(path) || helper().getPathKind(path) == PATH_ABSENT) return;
  os::Result<os::SecurityObject> object = os::SecurityObject::open(path);
  if (!object.ok() && linkRefused(object.code())) return; // a link is never followed
  os::Result<std::vector<std::u16string>> repaired =
      object.ok() ? RunTime::repairProjection(object.value())
                  : os::Result<std::vector<std::u16string>>::failure(object.code());
  if (!repaired.ok())
    throwOSError(u"Unable to repair the permissions below '" + path + u"'", repaired.code(),
                 VCONTEXT("DiskSecurity::CompleteChecker"));
}

} // namespace DiskSecurity
