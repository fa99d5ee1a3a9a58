#include "runtime/security/user_information.h"

#include "os/domain.h"
#include "runtime/core/exception.h"
#include "runtime/core/registry.h"

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
