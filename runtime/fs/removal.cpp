// Removing files and trees, on full paths (beneath the root of their parent) and beneath roots.
#include <chrono>
#include <thread>

#include "os/files.h"
#include "os/path.h"
#include "runtime/core/exception.h"
#include "runtime/core/format.h"
#include "runtime/core/log_sink.h"
#include "runtime/fs/files.h"
#include "runtime/fs/operations.h"
#include "runtime/fs/path/filename.h"

namespace {

void refuseRecycler(bool asked, const char* function) {
  if (asked)
    throw ArgumentException(u"The recycler is not supported",
                            ExceptionContext({}, function, __LINE__));
}

// What is not there, or whose directory is not, is removed already.
bool gone(std::uint32_t code) {
  return code == os::err::fileNotFound || code == os::err::pathNotFound;
}

void warnHardLink(const std::u16string& path) {
  corelog::log(corelog::levelWarning,
               u"Take-over of '%s' skipped: it has more than one hard link", os::shownPath(path));
}

void warnMountPoint(const std::u16string& path) {
  corelog::log(corelog::levelWarning,
               u"'%s' is a mount point: what it holds is left alone", os::shownPath(path));
}

// Takes the file over for a forced removal (os::takeOver, on the one object it opens): the
// thread's file-system user becomes its owner with read and write access, which clears the
// read-only attribute. Anything else than a file with one link is left alone; its own failure is
// not reported: the removal that is tried next reports what is in the way.
void takeOver(const os::Root& root, const std::u16string& relative, const std::u16string& display) {
  os::Result<os::TakeOver> done = os::takeOver(root, relative, os::ObjectKind::file);
  if (done.ok() && done.value() == os::TakeOver::skippedHardLink) warnHardLink(display);
}

} // namespace

namespace RunTime::File::detail {

void reportTreeRemoval(const os::TreeOutcome& outcome) {
  for (const std::u16string& skipped : outcome.skippedHardLinks) warnHardLink(skipped);
  for (const std::u16string& mount : outcome.mountPoints) warnMountPoint(mount);
  if (!outcome.failure) return;
  const os::TreeFailure& failure = *outcome.failure;
  std::u16string message = failure.step == os::TreeFailure::Step::deleteFile
                               ? u"Delete file '" + os::shownPath(failure.path) + u"'"
                               : u"Delete directory '" + os::shownPath(failure.path) + u"'";
  if (failure.code == os::err::sharingViolation)
    message += u". Processes: " + joinedLines(failure.holders);
  throwOSError(message, failure.code, VCONTEXT("removeDir"));
}

void removeFile(const os::Root& root, const std::u16string& relative, const std::u16string& display,
                bool force, std::uint32_t retryCount, std::uint32_t pauseMs) {
  // A forced deletion ignores the read-only attribute, which its take-over would clear.
  auto attempt = [&] { return os::deleteFile(root, relative, !force); };
  std::uint32_t code = attempt();
  if (code == os::err::success) return;
  // Only a denied access is what a take-over can cure.
  if (force && code == os::err::accessDenied) {
    takeOver(root, relative, display);
    if ((code = attempt()) == os::err::success) return;
  }
  while (retryCount > 0) {
    --retryCount;
    std::this_thread::sleep_for(std::chrono::milliseconds(pauseMs));
    if ((code = attempt()) == os::err::success) return;
  }
  throwOSError(u"DeleteFile '" + os::shownPath(display) + u"'", code, VCONTEXT("removeFile"));
}

} // namespace RunTime::File::detail

void removeDir(const std::u16string& path, bool force, const std::u16string& recyclerDirectory) {
  refuseRecycler(!recyclerDirectory.empty(), "removeDir");
  os::Result<RunTime::File::detail::Parent> parent = RunTime::File::detail::openParent(path);
  if (!parent.ok() && gone(parent.code())) return;
  if (!parent.ok())
    throwOSError(u"Delete directory '" + VFileName::longPath(path) + u"'", parent.code(),
                 VCONTEXT("removeDir"));
  RunTime::File::detail::reportTreeRemoval(
      os::removeTree(parent.value().root, parent.value().name, force));
}

void removeFile(const std::u16string& path, bool force, bool useRecycler,
                std::uint32_t retryCount, std::uint32_t pauseMs) {
  refuseRecycler(useRecycler, "removeFile");
  const std::u16string longPath = VFileName::longPath(path);
  os::Result<RunTime::File::detail::Parent> parent = RunTime::File::detail::openParent(path);
  if (!parent.ok() && gone(parent.code())) return;
  if (!parent.ok())
    throwOSError(u"DeleteFile '" + os::shownPath(longPath) + u"'", parent.code(), VCONTEXT("removeFile"));
  RunTime::File::detail::removeFile(parent.value().root, parent.value().name, longPath, force,
                                    retryCount, pauseMs);
}
