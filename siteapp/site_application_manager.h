// The object of the four site application operations and the strings that locate one
// application in the repository and in a site.
#pragma once

#include <memory>
#include <string>

#include "runtime/security/user_information.h"

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

  // The four operations. Not built yet: each fails with a vexception that says so.
  void fsaRunApplicationScript(const std::u16string& scriptFileName, const std::u16string& scriptName,
                               const std::u16string& requestFile);
  void extractApplication(const std::u16string& metadataFile);
  void updateApplicationPermissions(const std::u16string& metadataFile);
  void deleteApplication(const std::u16string& filesList);

private:
  std::u16string applicationSubdirectory_;
  std::u16string wwwRoot_;
  std::u16string applicationFullName_;
  std::u16string userName_;
  std::shared_ptr<IUserInformation> userInformation_;
};
