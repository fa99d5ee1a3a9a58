#include "security/disk/entry_template.h"

#include "os/path.h"
#include "runtime/core/exception.h"
#include "runtime/log/log_manager.h"
#include "security/disk/system_helper.h"
#include "security/disk/vocabulary.h"

namespace DiskSecurity::EntryTemplate {
namespace {

struct Folder {
  std::u16string_view name;
  std::uint32_t csidl;
};

// The program is a 32-bit process: the plain names and their X86 twins name the same folders.
constexpr Folder FOLDERS[] = {
    {u"CommonAdmintools", 0x2F}, {u"CommonAppdata", 0x23},      {u"CommonDocuments", 0x2E},
    {u"ProgramFiles", 0x2A},     {u"ProgramFilesX86", 0x2A},    {u"ProgramFilesCommon", 0x2C},
    {u"ProgramFilesCommonX86", 0x2C}, {u"Windows", 0x24},       {u"WindowsSystem32", 0x29},
    {u"WindowsSystem32X86", 0x29},    {u"Profiles", 0x3E},
};

bool enclosed(std::u16string_view path, char16_t open, char16_t close) {
  return path.size() >= 2 && path.front() == open && path.back() == close;
}

std::u16string inner(std::u16string_view path) {
  return std::u16string(path.substr(1, path.size() - 2));
}

IHostSettings& helperOf(const AccessEntry& entry) {
  if (!entry.systemHelper)
    throw vexception(u"The access entry has no system helper",
                     VCONTEXT("DiskSecurity::EntryTemplate"));
  return *entry.systemHelper;
}

std::u16string folderPath(const AccessEntry& entry, std::uint32_t csidl) {
  std::u16string path = helperOf(entry).getSpecialFolderPath(csidl);
  LogManager::instance().log(corelog::levelInfo, u"Obtaining wellknown path %s for CSIDL %X", os::shownPath(path),
                             csidl);
  return path;
}

} // namespace

PathForm formOf(std::u16string_view path) {
  if ((!path.empty() && parseNumber(path)) || enclosed(path, u'{', u'}'))
    return PathForm::wellKnownFolder;
  if (enclosed(path, u'%', u'%')) return PathForm::environment;
  if (enclosed(path, u'[', u']')) return PathForm::component;
  return PathForm::literal;
}

std::u16string getEntryWellKnownPath(const AccessEntry& entry) {
  if (std::optional<std::uint32_t> csidl = parseNumber(entry.path); csidl && !entry.path.empty())
    return folderPath(entry, *csidl);
  const std::u16string name = inner(entry.path);
  std::map<std::u16string, std::u16string> wide = helperOf(entry).getSpecialFolders();
  if (auto found = wide.find(name); found != wide.end()) return found->second;
  for (const Folder& folder : FOLDERS)
    if (folder.name == name) return folderPath(entry, folder.csidl);
  std::u16string message = u"Unknown CSIDL: " + entry.path + u", known names are:\n";
  for (const Folder& folder : FOLDERS) message += std::u16string(folder.name) + u"\n";
  for (const auto& [wideName, path] : wide) message += wideName + u"\n";
  throw vexception(message, VCONTEXT("DiskSecurity::EntryTemplate::getEntryWellKnownPath"));
}

std::u16string getEntryPathEnvironment(const AccessEntry& entry) {
  std::u16string expanded;
  std::size_t start = 0;
  while (start <= entry.path.size()) {
    std::size_t end = entry.path.find(u'%', start);
    if (end == std::u16string::npos) end = entry.path.size();
    const std::u16string piece = entry.path.substr(start, end - start);
    if (!piece.empty()) {
      std::optional<std::u16string> value = helperOf(entry).getEnvironmentVariable(piece);
      if (!value)
        throw vexception(u"Unable to expand environment string: " + entry.path +
                             u". Unknown token: " + piece,
                         VCONTEXT("DiskSecurity::EntryTemplate::getEntryPathEnvironment"));
      expanded += *value;
    }
    start = end + 1;
  }
  return expanded;
}

std::vector<std::u16string> basePaths(const AccessEntry& entry,
                                      IComponentPathResolver& components) {
  switch (formOf(entry.path)) {
  case PathForm::wellKnownFolder: return {getEntryWellKnownPath(entry)};
  case PathForm::environment: return {getEntryPathEnvironment(entry)};
  case PathForm::component: return components.getPath(inner(entry.path));
  case PathForm::literal: break;
  }
  return {entry.path};
}

} // namespace DiskSecurity::EntryTemplate
