#include "security/hosting/security_manager.h"

#include "runtime/core/exclusive_task.h"
#include "runtime/core/format.h"
#include "runtime/core/guard.h"
#include "runtime/fs/path/filename.h"
#include "runtime/fs/root.h"
#include "runtime/log/log_manager.h"
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

// Restores a field on every exit of the scope.
template <class T> class Restore {
public:
  Restore(T& field, T value) : field_(field), previous_(field) { field_ = value; }
  ~Restore() { field_ = previous_; }
  Restore(const Restore&) = delete;
  Restore& operator=(const Restore&) = delete;

private:
  T& field_;
  T previous_;
};

// Erases the account's entries at entryRoot\subPath whose flags share a bit with flagFilter (all
// of them for 0).
void eraseEntries(EntryCollection& collection, const std::u16string& entryRoot,
                  const std::u16string& subPath, const RunTime::Sid& account, std::int32_t flagFilter) {
  EntryCollection::Entries& entries = collection.entries();
  for (auto it = entries.begin(); it != entries.end();) {
    const bool matching = samePath(it->path, entryRoot) && samePath(it->subPath, subPath) &&
                          it->account == account &&
                          (flagFilter == 0 || (it->entryFlags & flagFilter) != 0);
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

} // namespace

SecurityManager::SecurityManager(const std::u16string& path, bool loadMetadata,
                                 std::shared_ptr<IUserInformation> userInformation)
    : path_(path), userInformation_(std::move(userInformation)),
      systemHelper_(std::make_shared<DiskSecurity::DefaultSystemHelper>()) {
  virtualHosts_ = obtainVirtualHosts();
  if (VFileName::compare(path, virtualHosts_) == VFileName::firstBelow) {
    rootPath_ = virtualHosts_;
    rootIsVirtualHosts_ = true;
  } else {
    rootPath_ = path;
    logInfo(u"Root path is %s", path);
  }
  metadataLocation_ = metadataFileFor(path);
  // The entries held are those of this file: the walk does not read it again.
  entries_ = loadMetadata ? loadEntries() : noEntries();
}

std::u16string SecurityManager::obtainVirtualHosts() const {
  return VFileName::longPathName(KelvoSrvClient::getInstance().getString(u"HTTPD_VHOSTS_D"));
}

const std::u16string& SecurityManager::getRootPath() {
  if (rootIsVirtualHosts_ && rootPath_.empty()) rootPath_ = obtainVirtualHosts();
  return rootPath_;
}

std::u16string SecurityManager::getRootRelativePath(const std::u16string& fullPath,
                                                    bool firstComponentOnly) const {
  const VFileName::Relation relation = VFileName::compare(rootPath_, fullPath);
  if (relation == VFileName::same) return {};
  if (relation != VFileName::secondBelow)
    throw RootCorrelationException(
        u"Invalid full path '" + fullPath + u"' and root '" + rootPath_ + u"' correlation.",
        VCONTEXT("HostingSecurity::SecurityManager::getRootRelativePath"));
  const std::vector<std::u16string> parts = pathComponents(fullPath);
  std::u16string relative;
  for (std::size_t i = pathComponents(rootPath_).size(); i < parts.size(); ++i) {
    if (!relative.empty()) relative += u'\\';
    relative += parts[i];
    if (firstComponentOnly) break;
  }
  return relative;
}

std::u16string SecurityManager::metadataFileFor(const std::u16string& path) const {
  const std::vector<std::u16string> parts = pathComponents(getRootRelativePath(path, false));
  if (parts.empty()) return rootMetadataFile(rootPath_);
  if (parts.size() >= 3 && parts[1] == WEB_USERS)
    return webuserMetadataFile(rootPath_, parts[0], parts[2]);
  return domainMetadataFile(rootPath_, parts[0]);
}

std::u16string SecurityManager::entryPath() const {
  return rootIsVirtualHosts_ ? std::u16string(VHOSTS_TOKEN) : rootPath_;
}

void SecurityManager::addAccessEntry(const std::u16string& path, const RunTime::Sid& account,
                                     std::uint32_t accessMask, std::uint32_t aceFlags, bool allow) {
  const std::u16string subPath = getRootRelativePath(path, false);
  record([=, entryRoot = entryPath(), helper = systemHelper_](EntryCollection& entries) {
    // The new entry replaces whatever the account had there, a revocation or an earlier rule:
    // a denial left beside a later grant would go on denying.
    eraseEntries(entries, entryRoot, subPath, account, 0);
    entries.insert(AccessEntry{account, entryRoot, subPath, aceFlags, accessMask,
                               allow ? DiskSecurity::Default : DiskSecurity::Deny, u"", u"", helper});
  });
}

void SecurityManager::revokeAccessEntries(const std::u16string& path, const RunTime::Sid& account,
                                          std::int32_t flagFilter) {
  const std::u16string subPath = getRootRelativePath(path, false);
  record([=, entryRoot = entryPath(), helper = systemHelper_](EntryCollection& entries) {
    eraseEntries(entries, entryRoot, subPath, account, flagFilter);
    if (!(flagFilter & DiskSecurity::RemoveAccess))
      entries.insert(AccessEntry{account, entryRoot, subPath, 0, 0, DiskSecurity::RemoveAccess, u"",
                                 u"", helper});
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

void SecurityManager::commit(const std::u16string& path, bool complete,
                             DiskSecurity::Callback* callback, std::uint32_t applyArgument) {
  logInfo(u"Commiting file system security changes for path %s, root path: %s", path,
          getRootPath());
  DiskSecurity::Callback fallback;
  Restore<DiskSecurity::Callback*> restoreCallback(callback_, callback ? callback : &fallback);
  std::unique_ptr<DiskSecurity::SecurityChecker> checker =
      complete ? std::make_unique<DiskSecurity::CompleteChecker>(*this, applyArgument, systemHelper_)
               : std::make_unique<DiskSecurity::SecurityChecker>(*this, applyArgument, systemHelper_);
  Restore<DiskSecurity::SecurityChecker*> restoreChecker(checker_, checker.get());
  // From the read to the rename the file is this process's: what another command saved since
  // this manager read it is read again, and this run's changes are made to that.
  ExclusiveTask lock;
  lock.Initialize(metadataMutexName(metadataLocation_), os::INFINITE_WAIT);
  // A file still missing was reported when the manager was made.
  entries_ = metadataFileExists(metadataLocation_) ? loadEntries() : noEntries();
  for (const auto& change : changes_) change(*entries_);
  auto information = std::make_shared<DiskSecurity::SecurityInformation>(
      *entries_, path, 0, checker->pathResolver(), virtualHosts_, systemHelper_->isVerbose());
  try {
    checker->checkPathSecurityByCallbackSecurityInformation(information, path);
  } catch (const DiskSecurity::AbortException&) {
    // The caller asked to stop; what was recorded is saved all the same.
  }
  saveToFile(*entries_, metadataLocation_, u"", lenient_);
  changes_.clear();
  logInfo(u"File system security changes applied successfully");
}

int SecurityManager::onFailure(const std::u16string& path, std::uint32_t code,
                               const std::u16string& message, bool directory) {
  return callback_ ? callback_->onFailure(path, code, message, directory) : DiskSecurity::CHECK_DONE;
}

int SecurityManager::onWritten(const std::u16string& path, bool directory) {
  return callback_ ? callback_->onWritten(path, directory) : DiskSecurity::CHECK_DONE;
}

int SecurityManager::onPath(const std::u16string& path, bool directory) {
  return callback_ ? callback_->onPath(path, directory) : DiskSecurity::CHECK_DONE;
}

std::shared_ptr<DiskSecurity::SecurityInformation>
SecurityManager::getSecurityInformation(std::shared_ptr<DiskSecurity::SecurityInformation> current,
                                        const std::u16string& path, std::uint32_t flags) {
  return guarded(
      "getSecurityInformation", __LINE__,
      [&] { return formatString(u"Unable to call getSecurityInformation(%s)", path); },
      [&]() -> std::shared_ptr<DiskSecurity::SecurityInformation> {
        const std::u16string file = metadataFileFor(path);
        if (!metadataFileExists(file))
          return callback_ ? callback_->getSecurityInformation(current, path, flags) : current;
        if (samePath(file, current->storageName())) return current;
        logInfo(u"Loading new security metadata from %s, old storage was %s", file,
                current->storageName());
        std::shared_ptr<EntryCollection> entries =
            EntryCollection::loadFromStore(file, systemHelper_, lenient_);
        DiskSecurity::KelvoComponentResolver ownResolver(systemHelper_);
        DiskSecurity::IComponentPathResolver& resolver =
            checker_ ? checker_->pathResolver() : ownResolver;
        return std::make_shared<DiskSecurity::SecurityInformation>(
            *entries, path, flags, resolver, virtualHosts_, systemHelper_->isVerbose());
      });
}

ManagerPathCache& ManagerPathCache::instance() {
  static ManagerPathCache cache;
  return cache;
}

std::shared_ptr<SecurityManager>
ManagerPathCache::getManagerByPath(const std::u16string& path,
                                   std::shared_ptr<IUserInformation> userInformation) {
  return guarded("getManagerByPath", __LINE__,
                 [&] { return formatString(u"Unable to call getManagerByPath(%s)", path); }, [&] {
                   if (cached_) {
                     SecurityManager probe(path, false, userInformation);
                     if (samePath(probe.getRootPath(), cached_->getRootPath()) &&
                         samePath(probe.getMetadataLocation(), cached_->getMetadataLocation())) {
                       logInfo(u"SecurityManager for path %s was successfully found in cache, "
                               u"metadata location %s",
                               path, cached_->getMetadataLocation());
                       return cached_;
                     }
                     logInfo(u"Unable to find in cache SecurityManager for path %s, cache "
                             u"contains SecurityManager for path %s",
                             path, cached_->getMetadataLocation());
                   } else {
                     logInfo(u"Unable to find in cache SecurityManager for path %s, cache is empty",
                             path);
                   }
                   cached_ = std::make_shared<SecurityManager>(path, true, std::move(userInformation));
                   return cached_;
                 });
}

} // namespace HostingSecurity
