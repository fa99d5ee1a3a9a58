// The object of the four site application operations and the strings that locate one
// application in the repository and in a site.
#pragma once

#include <memory>
#include <string>

#include "runtime/security/user_information.h"
#include "security/hosting/security_manager.h"

// The panel's application repository: the product data directory (from the management service)
// with "var\cgitory" below it.
std::u16string getApplicationRepositoryRoot();

class SiteApplicationManager {
public:
  explicit SiteApplicationManager(std::shared_ptr<IUserInformation> userInformation);

  // Stored normalised ("/" as "\", "." and ".." resolved) without leading or trailing "\".
  void setApplicationSubdirectory(const std::u16string& subdirectory);
  void setWwwRoot(const std::u16string& wwwRoot) { wwwRoot_ = wwwRoot; }
  void setApplicationFullName(const std::u16string& fullName) { applicationFullName_ = fullName; }
  void setUserName(const std::u16string& userName) { userName_ = userName; }

  const std::u16string& applicationSubdirectory() const { return applicationSubdirectory_; }
  const std::u16string& wwwRoot() const { return wwwRoot_; }
  const std::u16string& applicationFullName() const { return applicationFullName_; }
  const std::u16string& userName() const { return userName_; }
  const std::shared_ptr<IUserInformation>& userInformation() const { return userInformation_; }
  // This command's security managers.
  HostingSecurity::ManagerPathCache& securityManagers() const { return securityManagers_; }

  // The application's directory in the repository: the rest of a full name that begins with
  // "file:///" (and is longer), else the repository root, "\" and the full name as plain text.
  // Throws what the management service query throws.
  std::u16string getApplicationRepositoryPath() const;
  // The application's directory in the site: VFileName::combine of the web root and the
  // subdirectory (the web root itself when there is none).
  std::u16string getSiteApplicationPath() const;

  // Removes the entries of the "htdocs" sections of the file list beneath the site directory
  // (see siteapp/application_deletion.h).
  void deleteApplication(const std::u16string& filesList);

  // Runs one configuration script of the application (siteapp/script_runner.h).
  void fsaRunApplicationScript(const std::u16string& scriptFileName, const std::u16string& scriptName,
                               const std::u16string& requestFile);
  // Copies the package into the site as the site's user and applies its permission map; then
  // re-applies the map of an installed application (siteapp/application_installation.h).
  void extractApplication(const std::u16string& metadataFile);
  void updateApplicationPermissions(const std::u16string& metadataFile);

private:
  std::u16string applicationSubdirectory_;
  std::u16string wwwRoot_;
  std::u16string applicationFullName_;
  std::u16string userName_;
  std::shared_ptr<IUserInformation> userInformation_;
  mutable HostingSecurity::ManagerPathCache securityManagers_;
};
