#include "os/tree.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>

#include "os/path.h"
#include "os/posix/errno_map.h"
#include "os/posix/beneath.h"
#include "os/posix/file_ops.h"
#include "os/posix/locks.h"
#include "os/posix/walker.h"
#include "os/text.h"

namespace os {
namespace {

using posix::Fd;
using posix::TreeVisitor;
using posix::WalkDirectory;
using posix::WalkEntry;
using Flow = TreeVisitor::Flow;
using Recovery = TreeVisitor::Recovery;

// The root as given with a path below it: "C:\a" + "b/c" -> "C:\a\b\c".
std::u16string displayPath(const std::u16string& root, const std::string& relative) {
  if (relative.empty()) return root;
  std::u16string path = root;
  if (!path.empty() && path.back() != u'\\' && path.back() != u'/') path += u'\\';
  for (char16_t c : utf16FromUtf8(relative)) path += c == u'/' ? u'\\' : c;
  return path;
}

// The path of an entry relative to the walk's root (the root itself is "").
std::string relativeOf(const WalkDirectory& parent, const WalkEntry& entry) {
  return parent.depth < 0 ? std::string() : posix::joinRelative(parent.relative(), entry.name);
}

class CopyVisitor : public TreeVisitor {
public:
  CopyVisitor(std::u16string source, std::u16string target, const TreeCopyOptions& options,
              int targetParent, TreeOutcome& outcome)
      : source_(std::move(source)), target_(std::move(target)), options_(options),
        outcome_(outcome), locks_(posix::LockTable::read()), targets_(targetParent) {}

  // Step 1 for the root: the target directory, made when missing, and opened.
  bool openTargetRoot(const std::string& name) {
    if (!ensureTarget(targets_.top(), name, "")) return false;
    return openTarget(name, "") == Flow::proceed;
  }

  Recovery cannotRead(const WalkDirectory& parent, const WalkEntry& entry, int error) override {
    // As a search below a missing directory or a file reports it.
    const std::uint32_t code = error == ENOENT    ? err::pathNotFound
                               : error == ENOTDIR ? err::directory
                                                  : posix::win32FromErrno(error);
    fail(TreeFailure::Step::readDirectory, code, relativeOf(parent, entry));
    return Recovery::stop;
  }

  // The directory made for it in the target stays empty.
  Flow mountPoint(const WalkDirectory& parent, const WalkEntry& entry) override {
    outcome_.mountPoints.push_back(displayPath(source_, relativeOf(parent, entry)));
    return Flow::proceed;
  }

  void cannotReturn(const std::string& relative, int error) override {
    fail(TreeFailure::Step::readDirectory, posix::missingOnTheWay(error), relative);
  }

  Flow enterDirectory(const WalkDirectory& parent, const WalkEntry& entry,
                      const WalkDirectory&) override {
    if (parent.depth < 0) return Flow::proceed; // the root's target is open already
    return openTarget(entry.name, relativeOf(parent, entry));
  }

  Flow visitEntries(const WalkDirectory& directory, std::vector<WalkEntry>& entries) override {
    std::vector<bool> subdirectory(entries.size());
    for (std::size_t i = 0; i < entries.size(); ++i)
      subdirectory[i] = entries[i].kind == WalkEntry::Kind::directory ||
                        (entries[i].kind == WalkEntry::Kind::link &&
                         leadsToDirectory(directory.fd, entries[i].name));
    const bool replace = directory.depth == 0 ? options_.replaceExisting : true;
    for (std::size_t i = 0; i < entries.size(); ++i)
      if (!subdirectory[i] && copyEntry(directory, entries[i], replace) == Flow::stop)
        return Flow::stop;
    for (std::size_t i = 0; i < entries.size(); ++i)
      if (subdirectory[i] && !(isLink(entries[i]) && options_.preserveLinks) &&
          !ensureTarget(targets_.top(), entries[i].name,
                        posix::joinRelative(directory.relative(), entries[i].name)))
        return Flow::stop;
    if (!options_.recursive) return Flow::proceed;
    for (std::size_t i = 0; i < entries.size(); ++i) {
      if (!subdirectory[i]) continue;
      if (!isLink(entries[i])) entries[i].descend = true;
      else if (options_.preserveLinks &&
               copyLink(directory, entries[i]) == Flow::stop)
        return Flow::stop;
    }
    return Flow::proceed;
  }

  Flow leaveDirectory(const WalkDirectory& parent, const WalkEntry&) override {
    if (parent.depth < 0) return Flow::proceed;
    if (int error = targets_.pop())
      return fail(TreeFailure::Step::createDirectory, posix::missingOnTheWay(error), parent.relative());
    return Flow::proceed;
  }

private:
  // Opens the target directory `name` below the current one and makes it the current one.
  Flow openTarget(const std::string& name, const std::string& relative) {
    Fd child(openat(targets_.top(), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    posix::DirectoryIdentity identity;
    if (!child.valid() || posix::identify(child.get(), identity) != 0)
      return fail(TreeFailure::Step::createDirectory, posix::win32FromErrno(errno), relative);
    targets_.push(std::move(child), identity);
    return Flow::proceed;
  }

  static bool isLink(const WalkEntry& entry) { return entry.kind == WalkEntry::Kind::link; }

  // Whether a link leads to a directory: the one look through a link that a copy makes, at the
  // type of what it names and nothing else.
  static bool leadsToDirectory(int dir, const std::string& name) {
    struct statx target;
    return statx(dir, name.c_str(), AT_NO_AUTOMOUNT, STATX_TYPE, &target) == 0 &&
           S_ISDIR(target.stx_mode);
  }

  bool ensureTarget(int parent, const std::string& name, const std::string& relative) {
    posix::EnsuredDirectory made = posix::ensureDirectoryAt(parent, name);
    if (made.isFile) {
      fail(TreeFailure::Step::directoryIsFile, 0, relative);
      return false;
    }
    if (made.code) {
      fail(TreeFailure::Step::createDirectory, made.code, relative);
      return false;
    }
    return true;
  }

  Flow copyEntry(const WalkDirectory& directory, const WalkEntry& entry, bool replace) {
    if (isLink(entry) && options_.preserveLinks) return Flow::proceed;
    const int target = targets_.top();
    struct stat st;
    if (!replace && fstatat(target, entry.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0)
      return Flow::proceed;
    // A link to a file is copied as the file it leads to, read through the link with the
    // caller's rights.
    const std::uint32_t code =
        entry.kind == WalkEntry::Kind::file || isLink(entry)
            ? posix::copyFileAt(directory.fd, entry.name, target, entry.name, false, locks_, isLink(entry))
            : err::notSupported;
    return code ? failCopy(TreeFailure::Step::copyFile, code, directory, entry) : Flow::proceed;
  }

  Flow copyLink(const WalkDirectory& directory, const WalkEntry& entry) {
    std::uint32_t code =
        posix::copyLinkAt(directory.fd, entry.name, targets_.top(), entry.name);
    return code ? failCopy(TreeFailure::Step::createLink, code, directory, entry) : Flow::proceed;
  }

  Flow failCopy(TreeFailure::Step step, std::uint32_t code, const WalkDirectory& directory,
                const WalkEntry& entry) {
    const std::string relative = posix::joinRelative(directory.relative(), entry.name);
    outcome_.failure = TreeFailure{step, code, displayPath(source_, relative),
                                   displayPath(target_, relative), {}};
    return Flow::stop;
  }

  // A failure about a directory: a source directory for readDirectory, else a target one.
  Flow fail(TreeFailure::Step step, std::uint32_t code, const std::string& relative) {
    const std::u16string& root = step == TreeFailure::Step::readDirectory ? source_ : target_;
    outcome_.failure = TreeFailure{step, code, displayPath(root, relative), {}, {}};
    return Flow::stop;
  }

  const std::u16string source_;
  const std::u16string target_;
  const TreeCopyOptions options_;
  TreeOutcome& outcome_;
  const posix::LockTable locks_;
  // The target directories of the current branch.
  posix::DirectoryStack targets_;
};

class RemoveVisitor : public TreeVisitor {
public:
  RemoveVisitor(std::u16string root, bool force, TreeOutcome& outcome)
      : root_(std::move(root)), force_(force), outcome_(outcome),
        locks_(posix::LockTable::read()) {}

  Recovery cannotRead(const WalkDirectory& parent, const WalkEntry& entry, int error) override {
    const bool retried = retried_ == &entry;
    retried_ = nullptr;
    if (error == ENOENT) return Recovery::skip; // gone already: removed
    if (error == ENOTDIR || error == ELOOP) {
      // No longer a directory (a root that is a link, or one swapped for a link): a link goes
      // as a link, a file is reported.
      std::uint32_t code = posix::removeDirectoryAt(parent.fd, entry.name);
      if (code == err::success) return Recovery::skip;
      fail(TreeFailure::Step::deleteDirectory, code, parent, entry, 0);
      return Recovery::stop;
    }
    // Only "access denied" is what a take-over can cure, and only once; anything else is
    // reported (a directory that cannot be read is never taken for an empty one).
    if (force_ && !retried && (error == EACCES || error == EPERM)) {
      retried_ = &entry;
      takeOver(parent, entry, ObjectKind::directory);
      return Recovery::retry;
    }
    fail(TreeFailure::Step::readDirectory, posix::win32FromErrno(error), parent, entry, 0);
    return Recovery::stop;
  }

  // Nothing of another file system is removed; the directory above it then stays (145).
  Flow mountPoint(const WalkDirectory& parent, const WalkEntry& entry) override {
    outcome_.mountPoints.push_back(displayPath(root_, relativeOf(parent, entry)));
    return Flow::proceed;
  }

  void cannotReturn(const std::string& relative, int error) override {
    outcome_.failure = TreeFailure{TreeFailure::Step::deleteDirectory, posix::missingOnTheWay(error),
                                   displayPath(root_, relative), {}, {}};
  }

  Flow visitEntries(const WalkDirectory& directory, std::vector<WalkEntry>& entries) override {
    retried_ = nullptr;
    dev_t device = 0;
    struct stat st;
    if (!locks_.empty() && fstat(directory.fd, &st) == 0) device = st.st_dev;
    for (WalkEntry& entry : entries) {
      if (entry.kind == WalkEntry::Kind::directory) {
        entry.descend = true;
        continue;
      }
      std::uint32_t code = deleteFile(directory, entry, device);
      if (code == err::accessDenied && force_) {
        takeOver(directory, entry, ObjectKind::file);
        code = deleteFile(directory, entry, device);
      }
      if (code) return fail(TreeFailure::Step::deleteFile, code, directory, entry, device);
    }
    return Flow::proceed;
  }

  // The directory's read-only attribute is not cleared first: a directory's own mode does not
  // govern its removal here.
  Flow leaveDirectory(const WalkDirectory& parent, const WalkEntry& entry) override {
    std::uint32_t code = posix::removeDirectoryAt(parent.fd, entry.name);
    if (code == err::accessDenied && force_) {
      takeOver(parent, entry, ObjectKind::directory);
      code = posix::removeDirectoryAt(parent.fd, entry.name);
    }
    return code ? fail(TreeFailure::Step::deleteDirectory, code, parent, entry, 0) : Flow::proceed;
  }

private:
  // An object that vanished since it was listed (another removal was quicker) counts as
  // removed: removing it was all that was asked.
  std::uint32_t deleteFile(const WalkDirectory& directory, const WalkEntry& entry, dev_t device) {
    return posix::deleteFileAt(directory.fd, entry.name, !force_, locks_, device, entry.inode);
  }

  void takeOver(const WalkDirectory& parent, const WalkEntry& entry, ObjectKind kind) {
    Result<TakeOver> done = posix::takeOverAt(parent.fd, entry.name, kind);
    if (done.ok() && done.value() == TakeOver::skippedHardLink)
      outcome_.skippedHardLinks.push_back(displayPath(root_, relativeOf(parent, entry)));
  }

  Flow fail(TreeFailure::Step step, std::uint32_t code, const WalkDirectory& parent,
            const WalkEntry& entry, dev_t device) {
    TreeFailure failure{step, code, displayPath(root_, relativeOf(parent, entry)), {}, {}};
    if (code == err::sharingViolation && device != 0)
      failure.holders = locks_.holders(device, entry.inode);
    outcome_.failure = std::move(failure);
    return Flow::stop;
  }

  const std::u16string root_;
  const bool force_;
  TreeOutcome& outcome_;
  const posix::LockTable locks_;
  // The directory taken over after a failed read, so that a second failure ends the retries.
  const WalkEntry* retried_ = nullptr;
};

// The tree operations on where their roots lead; source and target are the roots as given, for
// reports.
TreeOutcome copyTreeAt(Result<posix::Located> from, std::u16string source,
                       Result<posix::Located> to, std::u16string target,
                       const TreeCopyOptions& options) {
  TreeOutcome outcome;
  if (!from.ok()) {
    outcome.failure = {TreeFailure::Step::readDirectory, from.code(), std::move(source), {}, {}};
    return outcome;
  }
  if (!to.ok()) {
    outcome.failure = {TreeFailure::Step::createDirectory, to.code(), std::move(target), {}, {}};
    return outcome;
  }
  CopyVisitor visitor{std::move(source), std::move(target), options, to.value().parent.get(),
                      outcome};
  if (visitor.openTargetRoot(to.value().name))
    posix::walkTree(from.value().parent.get(), from.value().name, visitor);
  return outcome;
}

TreeOutcome removeTreeAt(Result<posix::Located> where, std::u16string path, bool force) {
  TreeOutcome outcome;
  // Nothing there, or no longer a directory on the way to it: nothing to remove.
  if (!where.ok() && (where.code() == err::fileNotFound || where.code() == err::pathNotFound))
    return outcome;
  if (!where.ok()) {
    outcome.failure = {TreeFailure::Step::deleteDirectory, where.code(), std::move(path), {}, {}};
    return outcome;
  }
  if (where.value().name == ".") {
    // A root is not removed through itself (only from a full path or a root above it).
    outcome.failure = {TreeFailure::Step::deleteDirectory, err::invalidName, std::move(path), {}, {}};
    return outcome;
  }
  RemoveVisitor visitor{std::move(path), force, outcome};
  posix::walkTree(where.value().parent.get(), where.value().name, visitor);
  return outcome;
}

} // namespace

TreeOutcome copyTree(const Root& sourceRoot, std::u16string_view source, const Root& targetRoot,
                     std::u16string_view target, const TreeCopyOptions& options) {
  return copyTreeAt(posix::locate(sourceRoot, source), sourceRoot.pathOf(source),
                    posix::locate(targetRoot, target), targetRoot.pathOf(target), options);
}

TreeOutcome removeTree(const Root& root, std::u16string_view relative, bool force) {
  return removeTreeAt(posix::locate(root, relative), root.pathOf(relative), force);
}

} // namespace os
