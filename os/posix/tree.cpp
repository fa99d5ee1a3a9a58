#include "os/tree.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <memory>
#include <optional>
#include <utility>

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

// What a walk found, each at its position in the walk's order, so that the parts of a walk on
// several threads add up to what one walk would have found: the first failure, and the lists in
// the order one walk would have made them.
class Findings {
public:
  using Position = posix::WalkPosition;

  void fail(Position at, TreeFailure failure) {
    if (!failure_ || at < failure_->first) failure_.emplace(std::move(at), std::move(failure));
  }
  void skippedHardLink(Position at, std::u16string path) {
    skippedHardLinks_.emplace_back(std::move(at), std::move(path));
  }
  void mountPoint(Position at, std::u16string path) {
    mountPoints_.emplace_back(std::move(at), std::move(path));
  }

  void join(Findings&& part) {
    if (part.failure_) fail(std::move(part.failure_->first), std::move(part.failure_->second));
    for (auto& found : part.skippedHardLinks_) skippedHardLinks_.push_back(std::move(found));
    for (auto& found : part.mountPoints_) mountPoints_.push_back(std::move(found));
  }

  TreeOutcome outcome() && {
    TreeOutcome outcome;
    if (failure_) outcome.failure = std::move(failure_->second);
    outcome.skippedHardLinks = inOrder(std::move(skippedHardLinks_));
    outcome.mountPoints = inOrder(std::move(mountPoints_));
    return outcome;
  }

private:
  using Found = std::pair<Position, std::u16string>;

  static std::vector<std::u16string> inOrder(std::vector<Found> found) {
    std::stable_sort(found.begin(), found.end(),
                     [](const Found& a, const Found& b) { return a.first < b.first; });
    std::vector<std::u16string> paths;
    for (Found& f : found) paths.push_back(std::move(f.second));
    return paths;
  }

  std::optional<std::pair<Position, TreeFailure>> failure_;
  std::vector<Found> skippedHardLinks_;
  std::vector<Found> mountPoints_;
};

using Locks = std::shared_ptr<const posix::LockTable>;

class CopyVisitor : public TreeVisitor {
public:
  CopyVisitor(std::u16string source, std::u16string target, const TreeCopyOptions& options,
              int targetParent)
      : source_(std::move(source)), target_(std::move(target)), options_(options),
        locks_(std::make_shared<const posix::LockTable>(posix::LockTable::read())),
        targets_(targetParent) {}

  // Step 1 for the root: the target directory, made when missing, and opened.
  bool openTargetRoot(const std::string& name) {
    if (!ensureTarget(targets_.top(), name, "", {})) return false;
    return openTarget(name, "", {}) == Flow::proceed;
  }

  TreeOutcome outcome() && { return std::move(findings_).outcome(); }

  Recovery cannotRead(const WalkDirectory& parent, const WalkEntry& entry, int error) override {
    // As a search below a missing directory or a file reports it.
    const std::uint32_t code = error == ENOENT    ? err::pathNotFound
                               : error == ENOTDIR ? err::directory
                                                  : posix::win32FromErrno(error);
    fail(TreeFailure::Step::readDirectory, code, relativeOf(parent, entry), parent.branch.position());
    return Recovery::stop;
  }

  // The directory made for it in the target stays empty.
  Flow mountPoint(const WalkDirectory& parent, const WalkEntry& entry) override {
    findings_.mountPoint(parent.branch.position(), displayPath(source_, relativeOf(parent, entry)));
    return Flow::proceed;
  }

  void cannotReturn(const posix::WalkBranch& branch, const std::string& relative, int error) override {
    fail(TreeFailure::Step::readDirectory, posix::missingOnTheWay(error), relative, branch.position());
  }

  Flow enterDirectory(const WalkDirectory& parent, const WalkEntry& entry,
                      const WalkDirectory&) override {
    if (parent.depth < 0) return Flow::proceed; // the root's target is open already
    return openTarget(entry.name, relativeOf(parent, entry), parent.branch.position());
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
                        posix::joinRelative(directory.relative(), entries[i].name),
                        directory.branch.position()))
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
      return fail(TreeFailure::Step::createDirectory, posix::missingOnTheWay(error),
                  parent.relative(), parent.branch.position());
    // A part's subtree is copied: the target directory that held it is not needed any more.
    if (targets_.size() == 0) partBase_.reset();
    return Flow::proceed;
  }

  // The part copies into the target directory of the one that holds its subtree.
  std::unique_ptr<TreeVisitor> fork(const WalkDirectory&, const WalkEntry&) override {
    Fd base(fcntl(targets_.top(), F_DUPFD_CLOEXEC, 0));
    if (!base.valid()) return nullptr;
    return std::unique_ptr<TreeVisitor>(new CopyVisitor(*this, std::move(base)));
  }

  void join(TreeVisitor& part) override {
    findings_.join(std::move(static_cast<CopyVisitor&>(part).findings_));
  }

private:
  CopyVisitor(const CopyVisitor& whole, Fd base)
      : source_(whole.source_), target_(whole.target_), options_(whole.options_),
        locks_(whole.locks_), partBase_(std::move(base)),
        targets_(partBase_.get(), posix::kPartOpen) {}

  // Opens the target directory `name` below the current one and makes it the current one.
  Flow openTarget(const std::string& name, const std::string& relative, Findings::Position at) {
    Fd child(openat(targets_.top(), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    posix::DirectoryIdentity identity;
    if (!child.valid() || posix::identify(child.get(), identity) != 0)
      return fail(TreeFailure::Step::createDirectory, posix::win32FromErrno(errno), relative,
                  std::move(at));
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

  bool ensureTarget(int parent, const std::string& name, const std::string& relative,
                    Findings::Position at) {
    posix::EnsuredDirectory made = posix::ensureDirectoryAt(parent, name);
    if (made.isFile) {
      fail(TreeFailure::Step::directoryIsFile, 0, relative, std::move(at));
      return false;
    }
    if (made.code) {
      fail(TreeFailure::Step::createDirectory, made.code, relative, std::move(at));
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
            ? posix::copyFileAt(directory.fd, entry.name, target, entry.name, false, *locks_, isLink(entry))
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
    findings_.fail(directory.branch.position(),
                   TreeFailure{step, code, displayPath(source_, relative),
                               displayPath(target_, relative), {}});
    return Flow::stop;
  }

  // A failure about a directory: a source directory for readDirectory, else a target one.
  Flow fail(TreeFailure::Step step, std::uint32_t code, const std::string& relative,
            Findings::Position at) {
    const std::u16string& root = step == TreeFailure::Step::readDirectory ? source_ : target_;
    findings_.fail(std::move(at), TreeFailure{step, code, displayPath(root, relative), {}, {}});
    return Flow::stop;
  }

  const std::u16string source_;
  const std::u16string target_;
  const TreeCopyOptions options_;
  const Locks locks_;
  Findings findings_;
  Fd partBase_; // a part's: the target directory that holds its subtree
  // The target directories of the current branch.
  posix::DirectoryStack targets_;
};

class RemoveVisitor : public TreeVisitor {
public:
  RemoveVisitor(std::u16string root, bool force)
      : RemoveVisitor(std::move(root), force,
                      std::make_shared<const posix::LockTable>(posix::LockTable::read())) {}

  TreeOutcome outcome() && { return std::move(findings_).outcome(); }

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
    findings_.mountPoint(parent.branch.position(), displayPath(root_, relativeOf(parent, entry)));
    return Flow::proceed;
  }

  void cannotReturn(const posix::WalkBranch& branch, const std::string& relative, int error) override {
    findings_.fail(branch.position(),
                   TreeFailure{TreeFailure::Step::deleteDirectory, posix::missingOnTheWay(error),
                               displayPath(root_, relative), {}, {}});
  }

  Flow visitEntries(const WalkDirectory& directory, std::vector<WalkEntry>& entries) override {
    retried_ = nullptr;
    dev_t device = 0;
    struct stat st;
    if (!locks_->empty() && fstat(directory.fd, &st) == 0) device = st.st_dev;
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

  std::unique_ptr<TreeVisitor> fork(const WalkDirectory&, const WalkEntry&) override {
    return std::unique_ptr<TreeVisitor>(new RemoveVisitor(root_, force_, locks_));
  }

  void join(TreeVisitor& part) override {
    findings_.join(std::move(static_cast<RemoveVisitor&>(part).findings_));
  }

private:
  RemoveVisitor(std::u16string root, bool force, Locks locks)
      : root_(std::move(root)), force_(force), locks_(std::move(locks)) {}

  // An object that vanished since it was listed (another removal was quicker) counts as
  // removed: removing it was all that was asked.
  std::uint32_t deleteFile(const WalkDirectory& directory, const WalkEntry& entry, dev_t device) {
    return posix::deleteFileAt(directory.fd, entry.name, !force_, *locks_, device, entry.inode);
  }

  void takeOver(const WalkDirectory& parent, const WalkEntry& entry, ObjectKind kind) {
    Result<TakeOver> done = posix::takeOverAt(parent.fd, entry.name, kind);
    if (done.ok() && done.value() == TakeOver::skippedHardLink)
      findings_.skippedHardLink(parent.branch.position(),
                                displayPath(root_, relativeOf(parent, entry)));
  }

  Flow fail(TreeFailure::Step step, std::uint32_t code, const WalkDirectory& parent,
            const WalkEntry& entry, dev_t device) {
    TreeFailure failure{step, code, displayPath(root_, relativeOf(parent, entry)), {}, {}};
    if (code == err::sharingViolation && device != 0)
      failure.holders = locks_->holders(device, entry.inode);
    findings_.fail(parent.branch.position(), std::move(failure));
    return Flow::stop;
  }

  const std::u16string root_;
  const bool force_;
  const Locks locks_;
  Findings findings_;
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
  CopyVisitor visitor{std::move(source), std::move(target), options, to.value().parent.get()};
  if (visitor.openTargetRoot(to.value().name))
    posix::walkTree(from.value().parent.get(), from.value().name, visitor);
  return std::move(visitor).outcome();
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
  RemoveVisitor visitor{std::move(path), force};
  posix::walkTree(where.value().parent.get(), where.value().name, visitor);
  return std::move(visitor).outcome();
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
