#include "runtime/fs/files.h"

#include "os/path.h"
#include "os/tree.h"
#include "runtime/core/exception.h"
#include "runtime/core/format.h"
#include "runtime/fs/operations.h"
#include "runtime/fs/path/filename.h"

namespace {

bool isNotFound(std::uint32_t code) {
  return code == os::err::fileNotFound || code == os::err::pathNotFound;
}

// The attributes of the path, or nothing when it is not found. Throws as fileExist does.
bool attributesOf(const std::u16string& path, std::uint32_t& attributes) {
  os::Result<os::FileInfo> info =
      RunTime::File::detail::onParent(path, [](const os::Root& root, const std::u16string& name) {
        return os::fileInformation(root, name);
      });
  if (info.ok()) {
    attributes = info.value().attributes;
    return true;
  }
  if (isNotFound(info.code())) return false;
  throwOSError(u"retrieves attributes for file or directory " + os::shownPath(path), info.code(),
               VCONTEXT("fileExist"));
}

[[noreturn]] void throwCopyFailure(const os::TreeFailure& failure) {
  using Step = os::TreeFailure::Step;
  switch (failure.step) {
  case Step::readDirectory:
    throwOSError(formatString(u"Unable to read directory (%s)", os::shownPath(failure.path)), failure.code,
                 VCONTEXT("RunTime::File::findFirstFile"));
  case Step::directoryIsFile:
    throw vexception(formatString(u"Path (%s) is a file", os::shownPath(failure.path)),
                     VCONTEXT("RunTime::File::createDirectoryEx"));
  case Step::copyFile:
    throwOSError(formatString(u"Unable to copy (%s) to (%s)", os::shownPath(failure.path),
                              os::shownPath(failure.target)),
                 failure.code, VCONTEXT("RunTime::File::copy"));
  case Step::createLink:
    throwOSError(formatString(u"Unable to create reparse point (%s)", os::shownPath(failure.target)),
                 failure.code, VCONTEXT("RunTime::File::createReparsePoint"));
  default:
    throwOSError(formatString(u"Unable to create directory (%s)", os::shownPath(failure.path)), failure.code,
                 VCONTEXT("RunTime::File::createDirectory"));
  }
}

// createDirectory of os/files.h on a full path.
std::uint32_t createOne(const std::u16string& path, os::DirectoryAccess access) {
  return RunTime::File::detail::onParent(
      path, [&](const os::Root& root, const std::u16string& name) {
        return os::createDirectory(root, name, access);
      });
}

// A path below longForm (the long-path form of given) as below given.
std::u16string asGiven(const std::u16string& path, const std::u16string& longForm,
                       const std::u16string& given) {
  return path.starts_with(longForm) ? given + path.substr(longForm.size()) : path;
}

// Whether a copy failure's path is in the source tree (else it is in the target).
bool isInSource(os::TreeFailure::Step step) {
  using Step = os::TreeFailure::Step;
  return step == Step::readDirectory || step == Step::copyFile || step == Step::createLink;
}

} // namespace

bool fileExist(const std::u16string& path, bool* isDirectory) {
  std::uint32_t attributes = 0;
  if (!attributesOf(path, attributes)) return false;
  if (isDirectory) *isDirectory = attributes & os::FILE_ATTRIBUTE_DIRECTORY;
  return true;
}

bool VDirectory::exists(const std::u16string& path, bool* isFile) {
  if (path.empty()) return false;
  std::uint32_t attributes = 0;
  const bool found = attributesOf(path, attributes);
  if (isFile) *isFile = !found || !(attributes & os::FILE_ATTRIBUTE_DIRECTORY);
  return found;
}

void VDirectory::createDirectory(const std::u16string& path, os::DirectoryAccess access) {
  if (path.empty())
    throw ArgumentException(u"Unable to create directory with wrong name",
                            VCONTEXT("VDirectory::createDirectory"));
  const std::u16string directory = VFileName::trimTrailingSeparators(path);
  if (directory.empty() || exists(directory)) return; // a root exists
  const std::u16string parent = VFileName::removeFileSpec(directory);
  if (!parent.empty() && VFileName::compare(parent, directory) != VFileName::same)
    createDirectory(parent, access);
  if (std::uint32_t code = createOne(directory, access))
    throwOSError(formatString(u"CreateDirectory(%s)", os::shownPath(directory)), code, VCONTEXT("makeDir"));
}

namespace RunTime::File {

DirectoryListing findFirstFile(const std::u16string& directory) {
  os::Result<std::vector<os::DirectoryEntry>> listed = detail::listFullPath(directory);
  if (!listed.ok())
    throwOSError(formatString(u"Unable to read directory (%s)", os::shownPath(directory)), listed.code(),
                 VCONTEXT("RunTime::File::findFirstFile"));
  DirectoryListing listing;
  for (const os::DirectoryEntry& e : listed.value())
    (e.info.attributes & os::FILE_ATTRIBUTE_DIRECTORY ? listing.subdirectories : listing.files)
        .push_back({e.name});
  return listing;
}

void createDirectory(const std::u16string& path, os::DirectoryAccess access) {
  if (std::uint32_t code = createOne(path, access))
    throwOSError(formatString(u"Unable to create directory (%s)", os::shownPath(path)), code,
                 VCONTEXT("RunTime::File::createDirectory"));
}

void copyDirectory(const std::u16string& source, const std::u16string& target, bool recursive,
                   bool preserveLinks, bool replaceExisting) {
  const std::u16string longSource = VFileName::longPath(source);
  const std::u16string longTarget = VFileName::longPath(target);
  os::TreeOutcome outcome;
  os::Result<detail::Parent> from = detail::openParent(source);
  os::Result<detail::Parent> to = detail::openParent(target);
  // As a copy reports a source or a target it cannot reach.
  if (!from.ok())
    outcome.failure = {os::TreeFailure::Step::readDirectory, from.code(), longSource, {}, {}};
  else if (!to.ok())
    outcome.failure = {os::TreeFailure::Step::createDirectory, to.code(), longTarget, {}, {}};
  else
    outcome = os::copyTree(from.value().root, from.value().name, to.value().root,
                           to.value().name, {recursive, preserveLinks, replaceExisting});
  // Messages name the paths as the caller gave them.
  if (outcome.failure) {
    os::TreeFailure& failure = *outcome.failure;
    failure.path = isInSource(failure.step) ? asGiven(failure.path, longSource, source)
                                            : asGiven(failure.path, longTarget, target);
    failure.target = asGiven(failure.target, longTarget, target);
  }
  detail::reportCopy(outcome);
}

namespace detail {

os::Result<Parent> openParent(const std::u16string& path, os::Root::Last last) {
  std::u16string name;
  os::Result<os::Root> root = os::Root::openParent(VFileName::longPath(path), name, last);
  if (!root.ok()) return os::Result<Parent>::failure(root.code());
  return Parent{std::move(root.value()), std::move(name)};
}

os::Result<std::vector<os::DirectoryEntry>> listFullPath(const std::u16string& directory) {
  // A listing goes through a safe link in the last component, as a query may.
  return onParent(
      directory,
      [](const os::Root& root, const std::u16string& name) { return os::listDirectory(root, name); },
      os::Root::Last::followSafeLink);
}

std::u16string joinedLines(const std::vector<std::u16string>& lines) {
  std::u16string text;
  for (const std::u16string& line : lines) {
    if (!text.empty()) text += u'\n';
    text += line;
  }
  return text;
}

void reportCopy(const os::TreeOutcome& outcome) {
  if (outcome.failure) throwCopyFailure(*outcome.failure);
}

} // namespace detail

} // namespace RunTime::File


