// The account-information object: how the tool resolves the accounts it names (the site user,
// its worker group, the accounts of access entries), from local accounts or from a directory
// domain. It is chosen once at start and shared by the site application manager and the hosting
// security manager.
//
// On this host the account database (NSS) answers for local and directory accounts alike, so
// both kinds resolve names the same way; they differ in the domain they report and in the server
// they name for a lookup.
#pragma once

#include <memory>
#include <string>

#include "runtime/security/model/sid.h"

class IUserInformation {
public:
  virtual ~IUserInformation() = default;

  // The account record (SID, name, domain, kind) of a name, asked of `domain`, or of the server
  // that answers for the name when `domain` is empty. Throws the OS error 1332 "Unable to lookup SID
  // for name %s" when nothing matches; failures carry the context
  // "Unable to call getAccount(<name>, <domain>)".
  virtual RunTime::Sid getAccount(const std::u16string& name,
                                  const std::u16string& domain) const = 0;
  // Whether the user is a member of the group (directly or as its primary group). Local accounts
  // are answered by the host's account database, directory accounts by the directory-membership
  // source (group_membership.h). Throws through the guard with the context
  // "Unable to call isGroupMember(<user>, <group>)".
  virtual bool isGroupMember(const std::u16string& user, const std::u16string& group) const = 0;
};

class UserInformation : public IUserInformation {
public:
  RunTime::Sid getAccount(const std::u16string& name,
                          const std::u16string& domain) const override;

  // The host's DNS domain name and flat domain name, each set only when the host has one.
  // Throws the OS error "DsRoleGetPrimaryDomainInformation".
  static void getDomainInformation(std::u16string& dnsName, std::u16string& flatName);

protected:
  // The server that answers for an account name; empty for the local computer.
  virtual std::u16string getServerName(const std::u16string& name) const = 0;
};

class LocalUserInformation : public UserInformation {
public:
  // Asks the host's account database; an unknown user is the OS error 1332, an unknown group
  // has no members.
  bool isGroupMember(const std::u16string& user, const std::u16string& group) const override;

protected:
  std::u16string getServerName(const std::u16string&) const override { return {}; }
};

class ADUserInformation : public UserInformation {
public:
  ADUserInformation(std::u16string flatName, std::u16string dnsName)
      : flatName_(std::move(flatName)), dnsName_(std::move(dnsName)) {}

  // A group of the local-only set is asked of the host's account database, any other of the
  // installed directory-membership source (the management service).
  bool isGroupMember(const std::u16string& user, const std::u16string& group) const override;

protected:
  // None for a name of the local-only set (the panel's own accounts and the local names of
  // Administrators and Remote Desktop Users, without regard to case), else the domain's DNS name.
  // Throws vexception "Cannot determine Active Directory domain name" when either domain name is
  // empty.
  std::u16string getServerName(const std::u16string& name) const override;

private:
  std::u16string flatName_;
  std::u16string dnsName_;
};

// Directory accounts when the product's "active_directory_mode" is non-zero, else local ones.
std::shared_ptr<IUserInformation> createUserInformation();
