#include "os/tree.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>

#include "os/path.h"
#include "os/posix/errno_map.h"
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
  return parent.depth < 0 ? std::string() : posix::joinRelative(parent.relative, entry.name);
}

// The parent directory and name of a Windows-form root; false with the failure recorded.
bool locateRoot(std::u16string_view path, posix::ParentAndName& where, TreeFailure& failure) {
  Result<std::string> host = hostPath(path);
  if (!host.ok()) {
    failure.code = host.code();
    return false;
  }
  if (posix::openParent(host.value(), where)) return true;
  failure.code = errno == ENOENT ? err::pathNotFound : posix::win32FromErrno(errno);
  return false;
}

class CopyVisitor : public TreeVisitor {
public:
  CopyVisitor(std::u16string source, std::u16string target, const TreeCopyOptions& options,
              TreeOutcome& outcome)
      : source_(std::move(source)), target_(std::move(target)), options_(options),
        outcome_(outcome), locks_(posix::LockTable::read()) {}

  // Step 1 for the root: the target directory, made when missing, and opened.
  bool openTargetRoot(int parent, const std::string& name) {
    if (!ensureTarget(parent, name, "")) return false;
    Fd root(openat(parent, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!root.valid()) {
      fail(TreeFailure::Step::createDirectory, posix::win32FromErrno(errno), "");
      return false;
    }
    targets_.push_back(std::move(root));
    return true;
  }

  Recovery cannotRead(const WalkDirectory& parent, const WalkEntry& entry, int error) override {
    // As a search below a missing directory or a file reports it.
    const std::uint32_t code = error == ENOENT    ? err::pathNotFound
                               : error == ENOTDIR ? err::directory
                                                  : posix::win32FromErrno(error);
    fail(TreeFailure::Step::readDirectory, code, relativeOf(parent, entry));
    return Recovery::stop;
  }

  Flow enterDirectory(const WalkDirectory& parent, const WalkEntry& entry,
                      const WalkDirectory&) override {
    if (parent.depth < 0) return Flow::proceed; // the root's target is open already
    const std::string relative = relativeOf(parent, entry);
    Fd child(openat(targets_.back().get(), entry.name.c_str(),
                    O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!child.valid())
      return fail(TreeFailure::Step::createDirectory, posix::win32FromErrno(errno), relative);
    targets_.push_back(std::move(child));
    return Flow::proceed;
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
          !ensureTarget(targets_.back().get(), entries[i].name,
                        posix::joinRelative(directory.relative, entries[i].name)))
        return Flow::stop;
    if (!options_.recursive) return Flow::proceed;
    for (std::size_t i = 0; i < entries.size(); ++i) {
      if (!subdirectory[i]) continue;
      if (!isLink(entries[i])) entries[i].descend = true;
      else if (options_.preserveLinks &&
               copyLink(directory, entries[i], TreeFailure::Step::createLink) == Flow::stop)
        return Flow::stop;
    }
    return Flow::proceed;
  }

  Flow leaveDirectory(const WalkDirectory& parent, const WalkEntry&) override {
    if (parent.depth >= 0) targets_.pop_back();
    return Flow::proceed;
  }

private:
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
    const int target = targets_.back().get();
    struct stat st;
    if (!replace && fstatat(target, entry.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0)
      return Flow::proceed;
    if (isLink(entry)) return copyLink(directory, entry, TreeFailure::Step::copyFile);
    const std::uint32_t code =
        entry.kind == WalkEntry::Kind::file
            ? posix::copyFileAt(directory.fd, entry.name, target, entry.name, false, locks_)
            : err::notSupported;
    return code ? failCopy(TreeFailure::Step::copyFile, code, directory, entry) : Flow::proceed;
  }

  Flow copyLink(const WalkDirectory& directory, const WalkEntry& entry, TreeFailure::Step step) {
    std::uint32_t code =
        posix::copyLinkAt(directory.fd, entry.name, targets_.back().get(), entry.name);
    return code ? failCopy(step, code, directory, entry) : Flow::proceed;
  }

  Flow failCopy(TreeFailure::Step step, std::uint32_t code, const WalkDirectory& directory,
                const WalkEntry& entry) {
    const std::string relative = posix::joinRelative(directory.relative, entry.name);
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
  // The target directory of each level of the current branch.
  std::vector<Fd> targets_;
};

class RemoveVisitor : public TreeVisitor {
public:
  RemoveVisitor(std::u16string root, bool force, TreeOutcome& outcome)
      : root_(std::move(root)), force_(force), outcome_(outcome),
        locks_(posix::LockTable::read()) {}

  Recovery cannotRead(const WalkDirectory& parent, const WalkEntry& entry, int error) override {
    // With force: take the directory over once and try again; else (or when that did not
    // help) treat it as empty, so that its removal reports what is left.
    if (!force_ || retried_ == &entry || (error != EACCES && error != EPERM)) {
      retried_ = nullptr;
      return Recovery::asEmpty;
    }
    retried_ = &entry;
    takeOver(parent, entry);
    return Recovery::retry;
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
      if (code && force_ && code != err::sharingViolation) {
        // Taking a file over cannot end another process's lock, so a file in use is not.
        takeOver(directory, entry);
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
    if (code && force_) {
      takeOver(parent, entry);
      code = posix::removeDirectoryAt(parent.fd, entry.name);
    }
    return code ? fail(TreeFailure::Step::deleteDirectory, code, parent, entry, 0) : Flow::proceed;
  }

private:
  std::uint32_t deleteFile(const WalkDirectory& directory, const WalkEntry& entry, dev_t device) {
    return posix::deleteFileAt(directory.fd, entry.name, !force_, locks_, device, entry.inode);
  }

  void takeOver(const WalkDirectory& parent, const WalkEntry& entry) {
    Result<TakeOver> done = posix::takeOverAt(parent.fd, entry.name);
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

} // namespace

TreeOutcome copyTree(std::u16string_view source, std::u16string_view target,
                     const TreeCopyOptions& options) {
  TreeOutcome outcome;
  TreeFailure failure{TreeFailure::Step::readDirectory, 0, std::u16string(source), {}, {}};
  posix::ParentAndName from, to;
  if (!locateRoot(source, from, failure)) {
    outcome.failure = failure;
    return outcome;
  }
  failure = {TreeFailure::Step::createDirectory, 0, std::u16string(target), {}, {}};
  if (!locateRoot(target, to, failure)) {
    outcome.failure = failure;
    return outcome;
  }
  CopyVisitor visitor{std::u16string(source), std::u16string(target), options, outcome};
  if (visitor.openTargetRoot(to.parent.get(), to.name))
    posix::walkTree(from.parent.get(), from.name, visitor);
  return outcome;
}

TreeOutcome removeTree(std::u16string_view path, bool force) {
  TreeOutcome outcome;
  TreeFailure failure{TreeFailure::Step::deleteDirectory, 0, std::u16string(path), {}, {}};
  posix::ParentAndName where;
  if (!locateRoot(path, where, failure)) {
    outcome.failure = failure;
    return outcome;
  }
  RemoveVisitor visitor{std::u16string(path), force, outcome};
  posix::walkTree(where.parent.get(), where.name, visitor);
  return outcome;
}

} // namespace os
