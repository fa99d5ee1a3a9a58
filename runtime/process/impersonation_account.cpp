#include "runtime/process/impersonation_account.h"

#include <string>

#include "os/accounts.h"
#include "runtime/core/exception.h"
#include "runtime/core/format.h"
#include "runtime/security/model/account_sids.h"
#include "runtime/security/model_failures.h"

namespace RunTime {

os::ThreadIdentity accountIdentity(std::u16string_view sidString) {
  Sid sid;
  withSystemErrors([&] { sid.loadFromSidString(sidString); });
  const std::u16string text = sid.toSidString();
  const std::optional<PosixPrincipal> principal = posixPrincipal(sid);
  // Acting as the superuser would hand a site user's request every right of the host.
  if (principal && principal->kind == PosixPrincipal::Kind::User && principal->id == 0)
    throw vexception(formatString(u"Refusing to act as %s: no program runs as uid 0 or System here", text),
                     VCONTEXT("RunTime::accountIdentity"));
  if (!principal || principal->kind != PosixPrincipal::Kind::User)
    throw vexception(formatString(u"%s is not a user account", text), VCONTEXT("RunTime::accountIdentity"));
  os::Result<os::UserAccount> user = os::userById(principal->id);
  if (!user.ok()) throwOSError(u"Unknown account " + text, user.code(), VCONTEXT("RunTime::accountIdentity"));
  os::Result<std::vector<std::uint32_t>> groups = os::groupIdsOfUser(user.value().name, user.value().gid);
  if (!groups.ok()) throwOSError(u"Groups of " + user.value().name, groups.code(), VCONTEXT("RunTime::accountIdentity"));
  return {user.value().uid, user.value().gid, std::move(groups.value())};
}

} // namespace RunTime
