#include "service/directory_membership.h"

#include "service/kelvo_srv_client.h"

bool ServiceDirectoryMembership::isGroupMemberUser(const std::u16string& user, const std::u16string& group) const {
  KelvoSrvClient& client = client_ ? *client_ : KelvoSrvClient::getInstance();
  return client.isGroupMemberUser(user, group);
}
