#include "siteapp/site_application_manager.h"

#include "runtime/core/format.h"
#include "runtime/core/guard.h"
#include "runtime/fs/path/filename.h"
#include "service/kelvo_srv_client.h"
#include "siteapp/application_deletion.h"
#include "siteapp/application_installation.h"
#include "siteapp/script_runner.h"

std::u16string getApplicationRepositoryRoot() {
  return VFileName::combine(KelvoSrvClient::getInstance().productDataDirectory(), u"var\\cgitory");
}

SiteApplicationManager::SiteApplicationManager(std::shared_ptr<IUserInformation> userInformation)
    : userInformation_(userInformation), securityManagers_(std::move(userInformation)) {}

void SiteApplicationManager::setApplicationSubdirectory(const std::u16string& subdirectory) {
  std::u16string normal = VFileName::normalize(subdirectory);
  std::size_t first = normal.find_first_not_of(u'\\');
  std::size_t last = normal.find_last_not_of(u'\\');
  applicationSubdirectory_ = first == std::u16string::npos ? u"" : normal.substr(first, last - first + 1);
}

std::u16string SiteApplicationManager::getApplicationRepositoryPath() const {
  constexpr std::u16string_view fileUrl = u"file:///";
  if (applicationFullName_.size() > fileUrl.size() && applicationFullName_.starts_with(fileUrl))
    return applicationFullName_.substr(fileUrl.size());
  return getApplicationRepositoryRoot() + u"\\" + applicationFullName_;
}

std::u16string SiteApplicationManager::getSiteApplicationPath() const {
  return VFileName::combine(wwwRoot_, applicationSubdirectory_);
}

void SiteApplicationManager::fsaRunApplicationScript(const std::u16string& scriptFileName,
                                                     const std::u16string& scriptName,
                                                     const std::u16string& requestFile) {
  ApplicationScriptRunner(*this).fsaRunApplicationScript(scriptFileName, scriptName, requestFile);
}

void SiteApplicationManager::extractApplication(const std::u16string& metadataFile) {
  guarded("SiteApplicationManager::extractApplication", __LINE__,
          [&] { return formatString(u"Unable to call SiteApplicationManager::extractApplication(%s)", metadataFile); },
          [&] { ::extractApplication(*this, metadataFile); });
}

void SiteApplicationManager::updateApplicationPermissions(const std::u16string& metadataFile) {
  guarded("SiteApplicationManager::updateApplicationPermissions", __LINE__,
          [&] {
            return formatString(u"Unable to call SiteApplicationManager::updateApplicationPermissions(%s)",
                                metadataFile);
          },
          [&] { ::updateApplicationPermissions(*this, metadataFile); });
}

void SiteApplicationManager::deleteApplication(const std::u16string& filesList) {
  guarded("SiteApplicationManager::deleteApplication", __LINE__,
          [&] { return formatString(u"Unable to call SiteApplicationManager::deleteApplication(%s)", filesList); },
          [&] {
            const std::vector<std::u16string> entries = readDeletionList(filesList);
            deleteApplicationFiles(wwwRoot_, applicationSubdirectory_, entries);
          });
}
