#include "security/hosting/security_manager.h"

#include "os/path.h"
#include "runtime/core/exclusive_task.h"
#include "runtime/core/format.h"
#include "runtime/core/guard.h"
#include "runtime/fs/path/filename.h"
#include "runtime/fs/root.h"
#include "runtime/log/log_manager.h"
#include "security/disk/component_resolver.h"
#include "security/disk/root_secured_tree.h"
#include "security/disk/security_checker.h"
#include "security/hosting/metadata_file.h"
#include "service/kelvo_srv_client.h"

namespace HostingSecurity {
namespace {

using DiskSecurity::AccessEntry;
using DiskSecurity::EntryCollection;
using RunTime::File::pathComponents;

constexpr std::u16string_view VHOSTS_TOKEN = u"[HTTPD_VHOSTS_D]";
constexpr std::u16string_view WEB_USERS = u"web_users";

bool samePath(const std::u16string& a, const std::u16string& b) {
  return (a.empty() && b.empty()) ||
         (!a.empty() && !b.empty() && VFileName::compare(a, b) == VFileName::same);
}

void logInfo(std::u16string_view format, const auto&... args) {
  LogManager::instance().log(corelog::levelInfo, format, args...);
}

// Erases the account's entries at entryRoot\subPath.
void eraseEntries(EntryCollection& collection, const std::u16string& entryRoot,
                  const std::u16string& subPath, const RunTime::Sid& account) {
  EntryCollection::Entries& entries = collection.entries();
  for (auto it = entries.begin(); it != entries.end();) {
    const bool matching = samePath(it->path, entryRoot) && samePath(it->subPath, subPath) &&
                          it->account == account;
    it = matching ? entries.erase(it) : std::next(it);
  }
}

// The named mutex of a metadata file. Its name is a digest of the file's name (FNV-1a), which
// may be longer than a lock file's name can be; two files that share a digest only wait for
// each other.
std::u16string metadataMutexName(const std::u16string& file) {
  std::uint64_t digest = 0xcbf29ce484222325ULL;
  for (char16_t unit : file)
    for (unsigned byte : {unit & 0xFFu, unsigned(unit) >> 8}) {
      digest ^= byte;
      digest *= 0x100000001b3ULL;
    }
  return formatString(u"Global\\{3F0C7A52-9B1D-4E6A-8C27-D5E41B90A6F3}%08X%08X",
                      static_cast<std::uint32_t>(digest >> 32), static_cast<std::uint32_t>(digest));
}

// The part of fullPath below root, components joined by "\" (only the first with
// firstComponentOnly); empty for the root itself.
std::u16string rootRelativePath(const std::u16string& root, const std::u16string& fullPath,
                                bool firstComponentOnly) {
  const std::optional<std::u16string> below = RunTime::File::pathBelow(root, fullPath);
  if (!below)
    throw RootCorrelationException(
        u"Invalid full path '" + os::shownPath(fullPath) + u"' and root '" + os::shownPath(root) + u"' correlation.",
        VCONTEXT("HostingSecurity::SecurityManager::getRootRelativePath"));
  return firstComponentOnly ? below->substr(0, below->find(u'\\')) : *below;
}

// The metadata file that governs a directory below root (the root's own for the root).
std::u16string metadataFileFor(const std::u16string& root, const std::u16string& path) {
  const std::vector<std::u16string> parts = pathComponents(rootRelativePath(root, path, false));
  if (parts.empty()) return rootMetadataFile(root);
  if (parts.size() >= 3 && parts[1] == WEB_USERS)
    return webuserMetadataFile(root, parts[0], parts[2]);
  return domainMetadataFile(root, parts[0]);
}

// The information of the metadata file that governs each directory a commit's walk enters:
// the current one while that is the file it came from (or no file exists there), else that
// file's entries, freshly read, for what lies below the directory.
class GoverningFiles : public DiskSecurity::InformationSource {
public:
  GoverningFiles(const std::u16string& root, const std::u16string& scope,
                 const std::u16string& virtualHosts, DiskSecurity::IComponentPathResolver& resolver,
                 std::shared_ptr<DiskSecurity::ISystemHelper> systemHelper, bool lenient)
      : root_(root), scope_(scope), virtualHosts_(virtualHosts), resolver_(resolver),
        systemHelper_(std::move(systemHelper)), lenient_(lenient),
        verbose_(systemHelper_->isVerbose()) {}

  std::shared_ptr<DiskSecurity::SecurityInformation>
  informationFor(std::shared_ptr<DiskSecurity::SecurityInformation> current,
                 const std::u16string& relative) override {
    const std::u16string path = relative.empty() ? scope_ : VFileName::combine(scope_, relative);
    return guarded(
        "getSecurityInformation", __LINE__,
        [&] { return formatString(u"Unable to call getSecurityInformation(%s)", os::shownPath(path)); },
        [&]() -> std::shared_ptr<DiskSecurity::SecurityInformation> {
          const std::u16string file = metadataFileFor(root_, path);
          // The file the walk already uses is looked up once, not again for every directory.
          if (samePath(file, current->storageName()) || !metadataFileExists(file)) return current;
          logInfo(u"Loading new security metadata from %s, old storage was %s", os::shownPath(file),
                  os::shownPath(current->storageName()));
          std::shared_ptr<EntryCollection> entries =
              EntryCollection::loadFromStore(file, systemHelper_, lenient_);
          return std::make_shared<DiskSecurity::SecurityInformation>(
              *entries, scope_, relative, resolver_, virtualHosts_, verbose_);
        });
  }

private:
  const std::u16string& root_;
  const std::u16string& scope_;
  const std::u16string& virtualHosts_;
  DiskSecurity::IComponentPathResolver& resolver_;
  std::shared_ptr<DiskSecurity::ISystemHelper> systemHelper_;
  bool lenient_;
  bool verbose_;
};

// The directory a commit walks, or nothing when it does not exist.
std::optional<RunTime::File::Root> openScope(const std::u16string& path) {
  try {
    return RunTime::File::Root(path);
  } catch (const vosexception& e) {
    if (e.code() == os::err::fileNotFound || e.code() == os::err::pathNotFound) return std::nullopt;
    throw;
  }
}

} // namespace

std::u16string virtualHostsDirectory() {
  return VFileName::longPathName(KelvoSrvClient::getInstance().getString(u"HTTPD_VHOSTS_D"));
}

SecurityManager::SecurityManager(const std::u16string& path, bool loadMetadata,
                                 std::shared_ptr<IUserInformation> userInformation,
                                 const std::u16string& virtualHosts)
    : path_(path), virtualHosts_(virtualHosts), userInformation_(std::move(userInformation)),
      systemHelper_(std::make_shared<DiskSecurity::DefaultSystemHelper>()) {
  if (VFileName::compare(path, virtualHosts_) == VFileName::firstBelow) {
    rootPath_ = virtualHosts_;
    rootIsVirtualHosts_ = true;
  } else {
    rootPath_ = path;
    logInfo(u"Root path is %s", os::shownPath(path));
  }
  metadataLocation_ = metadataFileFor(rootPath_, path);
  // The entries held are those of this file: the walk does not read it again.
  entries_ = loadMetadata ? loadEntries() : noEntries();
}

std::u16string SecurityManager::getRootRelativePath(const std::u16string& fullPath,
                                                    bool firstComponentOnly) const {
  return rootRelativePath(rootPath_, fullPath, firstComponentOnly);
}

std::u16string SecurityManager::entryPath() const {
  return rootIsVirtualHosts_ ? std::u16string(VHOSTS_TOKEN) : rootPath_;
}

std::u16string SecurityManager::subPathOf(const std::u16string& relative) const {
  const std::u16string inside = RunTime::File::checkInside(relative, path_);
  const std::u16string directory = getRootRelativePath(path_, false);
  if (directory.empty() || inside.empty()) return directory + inside;
  return directory + u'\\' + inside;
}

void SecurityManager::addAccessEntry(const std::u16string& relative, const RunTime::Sid& account,
                                     std::uint32_t accessMask, std::uint32_t aceFlags, bool allow) {
  const std::u16string subPath = subPathOf(relative);
  record([=, entryRoot = entryPath(), helper = systemHelper_](EntryCollection& entries) {
    // The new entry replaces whatever the account had there, a revocation or an earlier rule:
    // a denial left beside a later grant would go on denying.
    eraseEntries(entries, entryRoot, subPath, account);
    entries.insert(AccessEntry{account, entryRoot, subPath, aceFlags, accessMask,
                               allow ? DiskSecurity::Default : DiskSecurity::Deny, u"", u"", helper});
  });
}

void SecurityManager::record(std::function<void(EntryCollection&)> change) {
  change(*entries_);
  changes_.push_back(std::move(change));
}

std::shared_ptr<EntryCollection> SecurityManager::noEntries() const {
  auto entries = std::make_shared<EntryCollection>(systemHelper_);
  entries->setStorageName(metadataLocation_);
  return entries;
}

std::shared_ptr<EntryCollection> SecurityManager::loadEntries() {
  const std::vector<std::u16string> parts = pathComponents(getRootRelativePath(path_, false));
  if (parts.empty()) return noEntries();
  LoadedMetadata loaded =
      parts.size() >= 3 && parts[1] == WEB_USERS
          ? loadWebuserSecurity(rootPath_, parts[0], parts[2], userInformation_, systemHelper_,
                                lenient_)
          : loadDomainSecurity(rootPath_, parts[0], userInformation_, systemHelper_, lenient_);
  metadataLocation_ = loaded.location;
  loaded.entries->setStorageName(metadataLocation_);
  return loaded.entries;
}

void SecurityManager::commit(const std::u16string& path) {
  logInfo(u"Commiting file system security changes for path %s, root path: %s", os::shownPath(path),
          os::shownPath(rootPath_));
  // From the read to the rename the file is this process's: what another command saved since
  // this manager read it is read again, and this run's changes are made to that.
  ExclusiveTask lock;
  lock.Initialize(metadataMutexName(metadataLocation_), os::INFINITE_WAIT);
  // A file still missing was reported when the manager was made.
  entries_ = metadataFileExists(metadataLocation_) ? loadEntries() : noEntries();
  for (const auto& change : changes_) change(*entries_);
  // Everything the walk needs is made before it starts: the entries resolved, the components
  // they name, the directory opened.
  const bool verbose = systemHelper_->isVerbose();
  DiskSecurity::KelvoComponentResolver resolver(systemHelper_);
  auto information = std::make_shared<DiskSecurity::SecurityInformation>(
      *entries_, path, u"", resolver, virtualHosts_, verbose);
  GoverningFiles governing(rootPath_, path, virtualHosts_, resolver, systemHelper_, lenient_);
  if (const std::optional<RunTime::File::Root> scope = openScope(path)) {
    DiskSecurity::RootSecuredTree tree(*scope);
    DiskSecurity::SecurityChecker(tree, &governing, verbose).check(information, u"");
  }
  saveToFile(*entries_, metadataLocation_, u"", lenient_);
  changes_.clear();
  logInfo(u"File system security changes applied successfully");
}

std::shared_ptr<SecurityManager> ManagerPathCache::getManagerByPath(const std::u16string& path) {
  return guarded("getManagerByPath", __LINE__,
                 [&] { return formatString(u"Unable to call getManagerByPath(%s)", os::shownPath(path)); }, [&] {
                   if (!virtualHosts_) virtualHosts_ = virtualHostsDirectory();
                   if (cached_) {
                     SecurityManager probe(path, false, userInformation_, *virtualHosts_);
                     if (samePath(probe.getRootPath(), cached_->getRootPath()) &&
                         samePath(probe.getMetadataLocation(), cached_->getMetadataLocation())) {
                       logInfo(u"SecurityManager for path %s was successfully found in cache, "
                               u"metadata location %s",
                               os::shownPath(path), os::shownPath(cached_->getMetadataLocation()));
                       return cached_;
                     }
                     logInfo(u"Unable to find in cache SecurityManager for path %s, cache "
                             u"contains SecurityManager for path %s",
                             os::shownPath(path), os::shownPath(cached_->getMetadataLocation()));
                   } else {
                     logInfo(u"Unable to find in cache SecurityManager for path %s, cache is empty",
                             os::shownPath(path));
                   }
                   cached_ = std::make_shared<SecurityManager>(path, true, userInformation_,
                                                               *virtualHosts_);
                   return cached_;
                 });
}

} // namespace HostingSecurity
