// The account-information object: local accounts, or the accounts of a directory domain.
#pragma once

#include <memory>
#include <string>

class IUserInformation {
public:
  virtual ~IUserInformation() = default;
};

class UserInformation : public IUserInformation {
public:
  // The host's DNS domain name and flat domain name, each set only when the host has one.
  // Throws the OS error "DsRoleGetPrimaryDomainInformation".
  static void getDomainInformation(std::u16string& dnsName, std::u16string& flatName);
};

class LocalUserInformation : public UserInformation {};

class ADUserInformation : public UserInformation {
public:
  ADUserInformation(std::u16string flatName, std::u16string dnsName)
      : flatName_(std::move(flatName)), dnsName_(std::move(dnsName)) {}

  const std::u16string& flatName() const { return flatName_; }
  const std::u16string& dnsName() const { return dnsName_; }

private:
  std::u16string flatName_;
  std::u16string dnsName_;
};

// Directory accounts when the product's "active_directory_mode" is non-zero, else local ones.
std::shared_ptr<IUserInformation> createUserInformation();
