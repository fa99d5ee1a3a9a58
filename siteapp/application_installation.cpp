#include "siteapp/application_installation.h"

#include <cstdint>

#include "os/path.h"
#include "runtime/core/exception.h"
#include "runtime/core/format.h"
#include "runtime/core/log_sink.h"
#include "runtime/fs/files.h"
#include "runtime/fs/path/filename.h"
#include "runtime/fs/root.h"
#include "runtime/process/impersonation_guard.h"
#include "security/hosting/security_manager.h"
#include "siteapp/site_application_manager.h"
#include "xml/app_metadata.h"

namespace {

using RunTime::File::Root;

constexpr char kExtract[] = "SiteApplicationManager::extractApplication";

// Every rule grants or denies all file access rights, inherited by files and subdirectories.
constexpr std::uint32_t kAllAccess = 0x1F01FF;
constexpr std::uint32_t kObjectAndContainerInherit = 3;

struct PermissionRule {
  std::u16string_view kind;
  bool allow;
  std::u16string_view message;
};

constexpr PermissionRule kRules[] = {
    {u"aspnet", true, u"Set full ASP.NET access permissions for group %s to directory %s"},
    {u"php", true, u"Set full PHP access permissions for group %s to directory %s"},
    {u"php-disabled", false, u"Set DENY PHP access permissions for group %s to directory %s"},
};

// The group whose members run the site's ASP.NET and PHP workers.
std::u16string workerGroupName(const std::u16string& userName) { return u"IWPG_" + userName; }

std::u16string packageMetadataPath(const std::u16string& repositoryDirectory) {
  return VFileName::combine(repositoryDirectory, u"APP-META.xml");
}

// The walk runs as the site's user, with or without copying: every directory it makes in the site
// is the user's, and it makes none where the user may not.
PermissionMap walkPackage(const SiteApplicationManager& manager, const std::u16string& repository,
                          const xml::Document& metadata, bool copyContent) {
  const RunTime::Sid user = manager.userInformation()->getAccount(manager.userName(), u"");
  RunTime::ImpersonationGuard asUser(user);
  const Root package(repository);
  SiteDirectory site(manager.wwwRoot(), manager.applicationSubdirectory());
  return MappingWalk(site, package, copyContent).walk(metadata);
}

} // namespace

void extractApplication(const SiteApplicationManager& manager, const std::u16string& metadataFile) {
  const std::u16string repository = manager.getApplicationRepositoryPath();
  bool isFile = false;
  if (!VDirectory::exists(repository, &isFile) || isFile)
    throw vexception(formatString(u"Application directory %s doesn't exist in repository", os::shownPath(repository)),
                     VCONTEXT(kExtract));
  const std::u16string packageMetadata = packageMetadataPath(repository);
  if (!fileExist(packageMetadata))
    throw vexception(formatString(u"Unable to find APP-META.xml: %s", os::shownPath(packageMetadata)),
                     VCONTEXT(kExtract));

  // The document is read before the thread changes identity: a malformed file fails with
  // nothing made.
  const xml::Document metadata = loadApplicationMetadata(metadataFile);
  applyPermissionMap(manager, walkPackage(manager, repository, metadata, true));
}

void updateApplicationPermissions(const SiteApplicationManager& manager, const std::u16string& metadataFile) {
  if (!fileExist(metadataFile)) {
    corelog::log(corelog::levelWarning, u"Unable to open metadata file: %s\n", os::shownPath(metadataFile));
    return;
  }
  const std::u16string repository = manager.getApplicationRepositoryPath();
  const std::u16string packageMetadata = packageMetadataPath(repository);
  if (!fileExist(packageMetadata)) {
    corelog::log(corelog::levelWarning, u"Unable to open file: %s\n", os::shownPath(packageMetadata));
    return;
  }
  const xml::Document metadata = loadApplicationMetadata(metadataFile);
  applyPermissionMap(manager, walkPackage(manager, repository, metadata, false));
}

void applyPermissionMap(const SiteApplicationManager& manager, const PermissionMap& permissions) {
  if (permissions.empty()) return;
  const std::u16string siteDirectory = manager.getSiteApplicationPath();
  const std::shared_ptr<HostingSecurity::SecurityManager> security =
      manager.securityManagers().getManagerByPath(siteDirectory);
  const std::u16string group = workerGroupName(manager.userName());
  const RunTime::Sid account = manager.userInformation()->getAccount(group, u"");
  for (const auto& [directory, kind] : permissions) {
    for (const PermissionRule& rule : kRules) {
      if (rule.kind != kind) continue;
      security->addAccessEntry(directory, account, kAllAccess, kObjectAndContainerInherit, rule.allow);
      corelog::log(corelog::levelInfo, rule.message, group,
                   os::shownPath(directory.empty() ? siteDirectory : VFileName::combine(siteDirectory, directory)));
    }
  }
  security->commit(siteDirectory);
}
