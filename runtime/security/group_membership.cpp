#include "runtime/security/group_membership.h"

#include <algorithm>
#include <atomic>
#include <vector>

#include "os/accounts.h"
#include "runtime/core/exception.h"

namespace RunTime {
namespace {

class NoDirectoryMembership : public DirectoryMembership {
public:
  bool isGroupMemberUser(const std::u16string&, const std::u16string&) const override {
    throw vexception(u"No directory service is installed to answer group membership");
  }
};

std::shared_ptr<const DirectoryMembership> inertSource() {
  static const auto source = std::make_shared<const NoDirectoryMembership>();
  return source;
}

std::atomic<std::shared_ptr<const DirectoryMembership>>& installedSource() {
  static std::atomic<std::shared_ptr<const DirectoryMembership>> source{inertSource()};
  return source;
}

} // namespace

os::Result<bool> isHostGroupMember(std::u16string_view user, std::u16string_view group) {
  os::Result<os::UserAccount> account = os::userByName(user);
  if (!account.ok()) return account.error();
  os::Result<os::GroupAccount> groupAccount = os::groupByName(group);
  if (!groupAccount.ok())
    return groupAccount.code() == os::err::noneMapped ? os::Result<bool>(false) : groupAccount.error();
  os::Result<std::vector<std::uint32_t>> groups = os::groupIdsOfUser(account.value().name, account.value().gid);
  if (!groups.ok()) return groups.error();
  return std::ranges::find(groups.value(), groupAccount.value().gid) != groups.value().end();
}

void installDirectoryMembership(std::shared_ptr<const DirectoryMembership> source) {
  installedSource().store(source ? std::move(source) : inertSource());
}

std::shared_ptr<const DirectoryMembership> directoryMembership() { return installedSource().load(); }

} // namespace RunTime
