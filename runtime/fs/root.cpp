#include "runtime/fs/root.h"

#include <vector>

#include "runtime/core/exception.h"
#include "runtime/core/format.h"
#include "os/files.h"
#include "os/path.h"
#include "os/path_grammar.h"
#include "os/text.h"
#include "runtime/fs/files.h"
#include "runtime/fs/path/filename.h"
#include "runtime/fs/operations.h"

namespace RunTime::File {
namespace {

std::u16string joined(const std::vector<std::u16string_view>& names) {
  std::u16string path;
  for (std::u16string_view name : names) {
    if (!path.empty()) path += u'\\';
    path += name;
  }
  return path;
}

} // namespace

std::vector<std::u16string> pathComponents(const std::u16string& path) {
  std::vector<std::u16string> parts;
  for (std::u16string_view name : os::grammar::components(path)) parts.emplace_back(name);
  return parts;
}

std::optional<std::u16string> pathBelow(const std::u16string& base, const std::u16string& path) {
  const VFileName::Relation relation = VFileName::compare(path, base);
  if (relation != VFileName::same && relation != VFileName::firstBelow) return std::nullopt;
  const std::vector<std::u16string> parts = pathComponents(path);
  std::u16string below;
  for (std::size_t i = pathComponents(base).size(); i < parts.size(); ++i) {
    if (!below.empty()) below += u'\\';
    below += parts[i];
  }
  return below;
}

std::optional<std::u16string> pathInside(const std::u16string& relative) {
  os::Result<std::vector<std::u16string_view>> names = os::grammar::componentsInside(relative);
  if (!names.ok()) return std::nullopt;
  return joined(names.value());
}

std::u16string panelForm(const std::u16string& path) {
  const bool driveOrDevice = os::grammar::hasDrive(path) || path.starts_with(u"\\\\");
  if (driveOrDevice) return path;
  os::Result<std::string> host = os::hostPath(path);
  if (!host.ok()) return path;
  std::u16string form = os::windowsPath(host.value());
  return form.size() >= 2 && form[1] == u':' ? form : path;
}

std::u16string hostForm(const std::u16string& path) {
  os::Result<std::string> host = os::hostPath(path);
  if (!host.ok())
    throwOSError(formatString(u"Unable to locate %s", path), host.code(), VCONTEXT("RunTime::File::hostForm"));
  return os::utf16FromUtf8(host.value());
}

std::u16string checkInside(const std::u16string& relative, const std::u16string& base) {
  std::optional<std::u16string> inside = pathInside(relative);
  if (!inside)
    throw vexception(formatString(u"Path (%s) is outside of (%s)", relative, os::shownPath(base)),
                     VCONTEXT("RunTime::File::Root::check"));
  return *inside;
}

Root::Root(const std::u16string& directory) : path_(directory) {
  os::Result<os::Root> opened = os::Root::open(VFileName::longPath(directory));
  if (!opened.ok())
    throwOSError(formatString(u"Unable to open directory (%s)", os::shownPath(directory)), opened.code(),
                 VCONTEXT("RunTime::File::Root"));
  root_ = std::move(opened.value());
}

Root::Root(const Root& parent, const std::u16string& relative) {
  const std::u16string inside = parent.check(relative);
  path_ = parent.fullPath(inside);
  os::Result<os::Root> opened = parent.root_.subdirectory(inside);
  if (!opened.ok())
    throwOSError(formatString(u"Unable to open directory (%s)", os::shownPath(path_)), opened.code(),
                 VCONTEXT("RunTime::File::Root"));
  root_ = std::move(opened.value());
}

Root Root::openNearest(const std::u16string& directory, std::u16string& missing) {
  missing.clear();
  std::u16string existing = VFileName::normalize(directory);
  for (;;) {
    os::Result<os::Root> opened = os::Root::open(VFileName::longPath(existing));
    if (opened.ok()) return Root(existing, std::move(opened.value()));
    const bool absent = opened.code() == os::err::fileNotFound || opened.code() == os::err::pathNotFound;
    const std::u16string parent = VFileName::removeFileSpec(existing);
    if (!absent || parent == existing)
      throwOSError(formatString(u"Unable to open directory (%s)", os::shownPath(directory)), opened.code(),
                   VCONTEXT("RunTime::File::Root"));
    // A trailing separator gives no name: the same directory is tried again without it.
    const std::u16string name = existing.size() > parent.size()
                                    ? checkInside(existing.substr(parent.size()), directory)
                                    : std::u16string();
    if (!name.empty()) missing = missing.empty() ? name : name + u'\\' + missing;
    existing = parent;
  }
}

std::u16string Root::check(const std::u16string& relative) const {
  return checkInside(relative, path_);
}

std::u16string Root::fullPath(const std::u16string& relative) const {
  return relative.empty() ? path_ : VFileName::combine(path_, relative);
}

std::u16string Root::shown(const std::u16string& relative) const { return os::shownPath(fullPath(relative)); }

bool Root::exists(const std::u16string& relative, bool* isDirectory) const {
  const std::u16string inside = check(relative);
  os::Result<os::FileInfo> info = os::fileInformation(root_, inside);
  if (!info.ok()) {
    if (info.code() == os::err::fileNotFound || info.code() == os::err::pathNotFound) return false;
    throwOSError(u"retrieves attributes for file or directory " + shown(inside), info.code(),
                 VCONTEXT("fileExist"));
  }
  if (isDirectory) *isDirectory = info.value().attributes & os::FILE_ATTRIBUTE_DIRECTORY;
  return true;
}

void Root::removeDir(const std::u16string& relative, bool force) const {
  const std::u16string inside = check(relative);
  detail::reportTreeRemoval(os::removeTree(root_, inside, force));
}

std::u16string Root::createDirectories(const std::u16string& relative) const {
  const std::u16string inside = check(relative);
  std::u16string highest;
  // Each level from the root down: what exists is passed over, as VDirectory::createDirectory
  // does; a level resolved beneath the root never follows a link.
  for (std::size_t end = inside.find(u'\\');; end = inside.find(u'\\', end + 1)) {
    const std::u16string level = inside.substr(0, end);
    if (!level.empty() && !exists(level)) {
      if (std::uint32_t code = os::createDirectory(root_, level, os::DirectoryAccess::creatorDefaults))
        throwOSError(formatString(u"CreateDirectory(%s)", shown(level)), code, VCONTEXT("makeDir"));
      if (highest.empty()) highest = level;
    }
    if (end == std::u16string::npos) return highest;
  }
}

std::vector<std::u16string> Root::listTree(const std::u16string& relative) const {
  std::vector<std::u16string> directories{check(relative)};
  for (std::size_t next = 0; next < directories.size(); ++next) {
    const std::u16string directory = directories[next];
    os::Result<std::vector<os::DirectoryEntry>> listed = os::listDirectory(root_, directory);
    if (!listed.ok())
      throwOSError(formatString(u"Unable to read directory (%s)", shown(directory)),
                   listed.code(), VCONTEXT("RunTime::File::findFirstFile"));
    for (const os::DirectoryEntry& entry : listed.value()) {
      const bool isDirectory = entry.info.attributes & os::FILE_ATTRIBUTE_DIRECTORY;
      const bool isLink = entry.info.attributes & os::FILE_ATTRIBUTE_REPARSE_POINT;
      if (!isDirectory || isLink || entry.name == u"." || entry.name == u"..") continue;
      directories.push_back(directory.empty() ? entry.name : directory + u'\\' + entry.name);
    }
  }
  directories.erase(directories.begin());
  return directories;
}

void Root::removeFile(const std::u16string& relative, bool force, std::uint32_t retryCount,
                      std::uint32_t pauseMs) const {
  const std::u16string inside = check(relative);
  // Messages name the path in the form handed to the host, as removeFile's on a full path do.
  detail::removeFile(root_, inside, VFileName::longPath(fullPath(inside)), force, retryCount,
                     pauseMs);
}

void Root::copyDirectory(const Root& from, const std::u16string& source,
                         const std::u16string& target, bool recursive, bool preserveLinks,
                         bool replaceExisting) const {
  const std::u16string sourceInside = from.check(source);
  const std::u16string targetInside = check(target);
  detail::reportCopy(os::copyTree(from.root_, sourceInside, root_, targetInside,
                          {recursive, preserveLinks, replaceExisting}));
}

} // namespace RunTime::File
