#include "security/disk/security_information.h"

#include "os/path.h"
#include "runtime/fs/path/filename.h"
#include "runtime/fs/root.h"
#include "runtime/log/log_manager.h"

namespace DiskSecurity {
namespace {

using RunTime::File::pathBelow;
using RunTime::File::pathComponents;

bool atOrBelow(const std::u16string& path, const std::u16string& base) {
  const VFileName::Relation relation = VFileName::compare(path, base);
  return relation == VFileName::same || relation == VFileName::firstBelow;
}

// One relative path with another below it.
std::u16string joined(const std::u16string& path, const std::u16string& below) {
  return path.empty() || below.empty() ? path + below : path + u'\\' + below;
}

// The place `subPath` names below `base`, relative to `scope`; nothing when it lies outside the
// scope or the SubPath would leave its base. Base and scope are full paths the host's settings
// and the panel gave; the SubPath is only ever normalised, never resolved.
std::optional<std::u16string> relativeToScope(const std::u16string& base,
                                              const std::u16string& subPath,
                                              const std::u16string& scope) {
  const std::optional<std::u16string> inside = RunTime::File::pathInside(subPath);
  if (!inside) return std::nullopt;
  if (const std::optional<std::u16string> baseBelow = pathBelow(scope, base))
    return joined(*baseBelow, *inside);
  if (const std::optional<std::u16string> scopeBelow = pathBelow(base, scope))
    return pathBelow(*scopeBelow, *inside);
  return std::nullopt;
}

void verboseLog(bool verbose, std::u16string_view format, const auto&... args) {
  if (verbose) LogManager::instance().log(corelog::levelInfo, format, args...);
}

// The paths an entry applies to below one of its base paths: the SubPath, or with
// AllSplittedBySpaceNames each of its parts split at spaces.
std::vector<std::u16string> subPaths(const AccessEntry& entry) {
  if (!(entry.entryFlags & AllSplittedBySpaceNames)) return {entry.subPath};
  std::vector<std::u16string> parts;
  std::size_t start = 0;
  while (start <= entry.subPath.size()) {
    std::size_t end = entry.subPath.find(u' ', start);
    if (end == std::u16string::npos) end = entry.subPath.size();
    if (end > start) parts.push_back(entry.subPath.substr(start, end - start));
    start = end + 1;
  }
  return parts;
}

} // namespace

bool PathOrder::operator()(const std::u16string& a, const std::u16string& b) const {
  const VFileName::Relation relation = VFileName::compare(a, b);
  return relation == VFileName::secondBelow || relation == VFileName::sortsBefore;
}

SecurityInformation::SecurityInformation(const EntryCollection& entries,
                                         const std::u16string& scope, const std::u16string& within,
                                         IComponentPathResolver& resolver,
                                         const std::u16string& virtualHosts, bool verbose)
    : scope_(scope), storageName_(entries.storageName()), verbose_(verbose) {
  for (const AccessEntry& entry : entries.entries())
    for (const std::u16string& base : EntryTemplate::basePaths(entry, resolver))
      for (const std::u16string& subPath : subPaths(entry)) {
        if (entry.entryFlags & AllSplittedBySpaceNames)
          verboseLog(verbose_, u"Found splitted by space(s) path: %s, for entry %s",
                     os::shownPath(VFileName::combine(base, subPath)),
                     VFileName::combine(entry.path, entry.subPath));
        add(entry, base, subPath, scope, within, virtualHosts);
      }
}

void SecurityInformation::add(const AccessEntry& entry, const std::u16string& base,
                              const std::u16string& subPath, const std::u16string& scope,
                              const std::u16string& within, const std::u16string& virtualHosts) {
  const std::optional<std::u16string> relative = relativeToScope(base, subPath, scope);
  if (!relative || !atOrBelow(*relative, within)) {
    verboseLog(verbose_, u"%s is skipped, because it is out of scope %s",
               os::shownPath(VFileName::combine(base, subPath)), os::shownPath(VFileName::combine(scope, within)));
    return;
  }
  const std::u16string display = VFileName::combine(scope, *relative);
  if (!virtualHosts.empty() && VFileName::compare(display, virtualHosts) == VFileName::same) {
    verboseLog(verbose_, u"Skip HTTPD_VHOSTS_D security propagation for path: '%s'", os::shownPath(display));
    return;
  }
  if (entry.entryFlags & NoPropagate)
    verboseLog(verbose_, u"No propogate is selected for %s by the entry with path %s", os::shownPath(display),
               entry.path);
  byPath_[*relative].push_back(entry);
}

std::vector<const AccessEntry*> SecurityInformation::entriesAt(const std::u16string& path) const {
  std::vector<const AccessEntry*> result;
  if (auto found = byPath_.find(path); found != byPath_.end())
    for (const AccessEntry& entry : found->second) result.push_back(&entry);
  return result;
}

SecurityInformation::Properties SecurityInformation::properties(const std::u16string& path) const {
  Properties properties;
  for (const AccessEntry* entry : entriesAt(path)) {
    properties.ownEntries = true;
    properties.skip |= (entry->entryFlags & SkipPath) != 0;
    properties.exactChildren |= (entry->entryFlags & CheckThisPathExactly) != 0;
    properties.repair |= (entry->entryFlags & RepaireFolder) != 0;
    properties.ignoreErrors |= (entry->entryFlags & IgnoreErrors) != 0;
  }
  return properties;
}

std::vector<std::u16string>
SecurityInformation::childrenWithEntries(const std::u16string& path) const {
  std::vector<std::u16string> children;
  const std::size_t depth = pathComponents(path).size();
  for (auto it = byPath_.upper_bound(path);
       it != byPath_.end() && VFileName::compare(it->first, path) == VFileName::firstBelow; ++it) {
    const std::u16string name = pathComponents(it->first)[depth];
    const std::u16string child = joined(*pathBelow(u"", path), name);
    if (!children.empty() && VFileName::compare(children.back(), child) == VFileName::same)
      continue;
    if (VFileName::compare(child, it->first) != VFileName::same)
      verboseLog(verbose_, u"Path %s added as part of path %s", VFileName::combine(scope_, child),
                 VFileName::combine(scope_, it->first));
    children.push_back(child);
  }
  return children;
}

} // namespace DiskSecurity
