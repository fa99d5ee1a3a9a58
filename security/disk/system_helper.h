// What the access-entry engine asks the host, so that it can be tested with fakes: the accounts
// entries name (IAccounts), and the settings that entry templates and component names resolve
// through (IHostSettings). Files and directories are not here: the checkers reach them through a
// SecuredTree (secured_tree.h). DefaultSystemHelper is the real host, both at once, as an entry
// collection carries it for its entries.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "runtime/security/model/sid.h"

namespace DiskSecurity {

class IAccounts {
public:
  virtual ~IAccounts() = default;

  // The local computer's account-domain name.
  virtual std::u16string getLocalAccountDomain() = 0;
  // The account record of a name in a domain (empty: the account information's own choice).
  // Throws the OS error 1332 "Unable to lookup SID for name %s" when nothing has the name.
  virtual RunTime::Sid getAccount(const std::u16string& name, const std::u16string& domain) = 0;
};

class IHostSettings {
public:
  virtual ~IHostSettings() = default;

  // Whether verbose security logging is on (the product value "DebugSecuritySettings").
  virtual bool isVerbose() = 0;
  // The 64-bit folders by name: "ProgramFilesX64", "ProgramFilesCommonX64",
  // "WindowsSystem32X64".
  virtual std::map<std::u16string, std::u16string> getSpecialFolders() = 0;
  // The path of a shell folder by its identifier (CSIDL). Throws vexception for an identifier
  // this host does not know.
  virtual std::u16string getSpecialFolderPath(std::uint32_t csidl) = 0;
  virtual std::optional<std::u16string> getEnvironmentVariable(const std::u16string& name) = 0;
  // A string value of the product configuration key (32-bit view); nothing when the key or the
  // value is missing.
  virtual std::optional<std::u16string> getProductValue(const std::u16string& name) = 0;
};

class ISystemHelper : public IAccounts, public IHostSettings {};

class DefaultSystemHelper : public ISystemHelper {
public:
  bool isVerbose() override;
  std::map<std::u16string, std::u16string> getSpecialFolders() override;
  std::u16string getSpecialFolderPath(std::uint32_t csidl) override;
  std::optional<std::u16string> getEnvironmentVariable(const std::u16string& name) override;
  std::optional<std::u16string> getProductValue(const std::u16string& name) override;
  std::u16string getLocalAccountDomain() override;
  RunTime::Sid getAccount(const std::u16string& name, const std::u16string& domain) override;
};

} // namespace DiskSecurity
