// Group membership of directory accounts as the panel's management service answers it; the
// program installs it at start-up as the account information's directory-membership source.
#pragma once

#include <string>

#include "runtime/security/group_membership.h"

class KelvoSrvClient;

class ServiceDirectoryMembership : public RunTime::DirectoryMembership {
public:
  // Asks `client`, or the process-wide client (built at the first question) when it is null.
  explicit ServiceDirectoryMembership(KelvoSrvClient* client = nullptr) : client_(client) {}

  // KelvoSrvClient::isGroupMemberUser(user, group); throws what it throws.
  bool isGroupMemberUser(const std::u16string& user, const std::u16string& group) const override;

private:
  KelvoSrvClient* client_;
};
