#include "runtime/security/user_information.h"

#include <array>
#include <utility>

#include "os/domain.h"
#include "runtime/core/exception.h"
#include "runtime/core/format.h"
#include "runtime/core/guard.h"
#include "runtime/core/registry.h"
#include "runtime/core/text.h"
#include "runtime/security/accounts.h"
#include "runtime/security/group_membership.h"

namespace {

// Accounts that stay local in directory mode: the panel's own and the local names of the
// built-in groups Administrators (S-1-5-32-544) and Remote Desktop Users (S-1-5-32-555).
bool localOnly(const std::u16string& name) {
  static const std::array<const char16_t*, 6> names = {
      u"zrcadm", u"zrcadm_users", u"Kelvo Administrator", u"zrcserv", u"Administrators",
      u"Remote Desktop Users"};
  for (const char16_t* local : names)
    if (RunTime::striequal(name, local)) return true;
  return false;
}

bool hostGroupMember(const std::u16string& user, const std::u16string& group) {
  os::Result<bool> member = RunTime::isHostGroupMember(user, group);
  if (!member.ok())
    throwOSError(formatString(u"Unable to get the groups of user %s", user), member.code(),
                 VCONTEXT("hostGroupMember"));
  return member.value();
}

// The guard of isGroupMember, under the variant's own function name.
template <class Body>
bool guardedMembership(const char* function, std::int32_t line, const std::u16string& user,
                       const std::u16string& group, Body&& body) {
  return guarded(function, line,
                 [&] { return formatString(u"Unable to call isGroupMember(%s, %s)", user, group); },
                 std::forward<Body>(body));
}

} // namespace

bool LocalUserInformation::isGroupMember(const std::u16string& user, const std::u16string& group) const {
  return guardedMembership("LocalUserInformation::isGroupMember", __LINE__, user, group,
                           [&] { return hostGroupMember(user, group); });
}

bool ADUserInformation::isGroupMember(const std::u16string& user, const std::u16string& group) const {
  return guardedMembership("ADUserInformation::isGroupMember", __LINE__, user, group, [&] {
    if (localOnly(group)) return hostGroupMember(user, group);
    return RunTime::directoryMembership()->isGroupMemberUser(user, group);
  });
}

RunTime::Sid UserInformation::getAccount(const std::u16string& name,
                                         const std::u16string& domain) const {
  return guarded("UserInformation::getAccount", __LINE__,
                 [&] { return formatString(u"Unable to call getAccount(%s, %s)", name, domain); }, [&] {
                   return RunTime::accountByName(domain.empty() ? getServerName(name) : domain, name);
                 });
}

std::u16string ADUserInformation::getServerName(const std::u16string& name) const {
  if (localOnly(name)) return {};
  if (flatName_.empty() || dnsName_.empty())
    throw vexception(u"Cannot determine Active Directory domain name",
                     VCONTEXT("ADUserInformation::getServerName"));
  return dnsName_;
}

void UserInformation::getDomainInformation(std::u16string& dnsName, std::u16string& flatName) {
  os::Result<os::DomainNames> domain = os::primaryDomain();
  if (!domain.ok())
    throwOSError(u"DsRoleGetPrimaryDomainInformation", domain.code(),
                 VCONTEXT("UserInformation::getDomainInformation"));
  if (!domain.value().dnsName.empty()) dnsName = domain.value().dnsName;
  if (!domain.value().flatName.empty()) flatName = domain.value().flatName;
}

std::shared_ptr<IUserInformation> createUserInformation() {
  if (registry::productDword(u"active_directory_mode", 0) == 0)
    return std::make_shared<LocalUserInformation>();
  std::u16string dnsName, flatName;
  UserInformation::getDomainInformation(dnsName, flatName);
  return std::make_shared<ADUserInformation>(flatName, dnsName);
}
