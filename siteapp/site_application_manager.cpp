#include "siteapp/site_application_manager.h"

#include "runtime/core/format.h"
#include "runtime/core/guard.h"
#include "runtime/fs/path/filename.h"

namespace {

// The operations that later work builds; until then the caller learns plainly that they are
// missing instead of getting a silent success.
void notAvailable(const char* operation, const std::u16string& argument) {
  guarded(operation, __LINE__,
          [&] { return formatString(u"Unable to call %hs(%s)", operation, argument); },
          [&] {
            throw vexception(formatString(u"%hs is not available yet in this build of tavrix", operation));
          });
}

} // namespace

SiteApplicationManager::SiteApplicationManager(std::shared_ptr<IUserInformation> userInformation)
    : userInformation_(std::move(userInformation)) {}

void SiteApplicationManager::setApplicationSubdirectory(const std::u16string& subdirectory) {
  std::u16string normal = VFileName::normalize(subdirectory);
  std::size_t first = normal.find_first_not_of(u'\\');
  std::size_t last = normal.find_last_not_of(u'\\');
  applicationSubdirectory_ = first == std::u16string::npos ? u"" : normal.substr(first, last - first + 1);
}

void SiteApplicationManager::fsaRunApplicationScript(const std::u16string& scriptFileName,
                                                     const std::u16string& scriptName,
                                                     const std::u16string& requestFile) {
  notAvailable("SiteApplicationManager::fsaRunApplicationScript",
               scriptFileName + u", " + scriptName + u", " + requestFile);
}

void SiteApplicationManager::extractApplication(const std::u16string& metadataFile) {
  notAvailable("SiteApplicationManager::extractApplication", metadataFile);
}

void SiteApplicationManager::updateApplicationPermissions(const std::u16string& metadataFile) {
  notAvailable("SiteApplicationManager::updateApplicationPermissions", metadataFile);
}

void SiteApplicationManager::deleteApplication(const std::u16string& filesList) {
  notAvailable("SiteApplicationManager::deleteApplication", filesList);
}
