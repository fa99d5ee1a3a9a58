#include "runtime/security/memberships.h"

#include "os/accounts.h"

namespace RunTime {
namespace {

std::vector<std::uint32_t> databaseGroups(std::uint32_t uid) {
  os::Result<os::UserAccount> user = os::userById(uid);
  if (!user.ok()) return {};
  os::Result<std::vector<std::uint32_t>> groups =
      os::groupIdsOfUser(user.value().name, user.value().gid);
  return groups.ok() ? std::move(groups.value()) : std::vector<std::uint32_t>{};
}

} // namespace

const std::vector<std::uint32_t>& AccountMemberships::groupsOf(std::uint32_t uid) const {
  std::lock_guard lock(mutex_);
  auto found = known_.find(uid);
  if (found == known_.end()) found = known_.emplace(uid, databaseGroups(uid)).first;
  return found->second;
}

} // namespace RunTime
