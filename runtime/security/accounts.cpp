#include "runtime/security/accounts.h"

#include <mutex>
#include <optional>

#include "os/accounts.h"
#include "os/text.h"
#include "runtime/core/exception.h"
#include "runtime/core/registry.h"
#include "runtime/core/text.h"
#include "runtime/security/model/account_sids.h"

namespace RunTime {
namespace {

constexpr std::u16string_view kComputerNameKey =
    u"SYSTEM\\CurrentControlSet\\Control\\ComputerName\\ComputerName";

const Sid* wellKnownBySid(const Sid& sid) {
  for (const Sid& account : wellKnownAccounts())
    if (account == sid) return &account;
  return nullptr;
}

const Sid* wellKnownByName(std::u16string_view domain, std::u16string_view name,
                           const std::u16string& computer) {
  for (const Sid& account : wellKnownAccounts())
    if (striequal(name, account.name()) &&
        (domain.empty() || striequal(domain, account.domain()) || striequal(domain, computer)))
      return &account;
  return nullptr;
}

// The record of a database account: the well-known record when its SID is one, otherwise the
// database name in the computer's domain.
Sid record(Sid sid, const std::u16string& name, std::uint32_t kind,
           const std::u16string& computer) {
  if (const Sid* known = wellKnownBySid(sid)) return *known;
  sid.setAccount(name, computer, kind);
  return sid;
}

os::Result<Sid> lookupDatabaseName(std::u16string_view name, const std::u16string& computer) {
  os::Result<os::UserAccount> user = os::userByName(name);
  if (user.ok()) return record(userSid(user.value().uid), user.value().name, SidTypeUser, computer);
  if (user.code() != os::err::noneMapped) return os::Result<Sid>::failure(user.code());
  os::Result<os::GroupAccount> group = os::groupByName(name);
  if (group.ok())
    return record(groupSid(group.value().gid), group.value().name, SidTypeGroup, computer);
  return os::Result<Sid>::failure(group.code());
}

} // namespace

os::Result<std::u16string> computerName() {
  std::u16string name;
  if (registry::lookup(registry::HKEY_LOCAL_MACHINE, kComputerNameKey, u"ComputerName", name,
                       registry::VIEW_DEFAULT) == os::err::success)
    return name;
  os::Result<std::u16string> host = os::hostName();
  if (!host.ok()) return host;
  name = host.value().substr(0, host.value().find(u'.'));
  for (char16_t& c : name) c = os::toUpper(c);
  return name;
}

os::Result<UserModals> userModals(const std::u16string& /*server: every server answers alike*/) {
  os::Result<std::u16string> computer = computerName();
  if (!computer.ok()) return os::Result<UserModals>::failure(computer.code());
  return UserModals{computer.value(), unixUsersDomainSid()};
}

os::Result<Sid> lookupAccountName(std::u16string_view account) {
  os::Result<std::u16string> computer = computerName();
  if (!computer.ok()) return os::Result<Sid>::failure(computer.code());
  std::u16string_view domain, name = account;
  if (std::size_t slash = account.find(u'\\'); slash != std::u16string_view::npos) {
    domain = account.substr(0, slash);
    name = account.substr(slash + 1);
  }
  if (const Sid* known = wellKnownByName(domain, name, computer.value())) return *known;
  if (!domain.empty() && !striequal(domain, computer.value()))
    return os::Result<Sid>::failure(os::err::noneMapped);
  return lookupDatabaseName(name, computer.value());
}

os::Result<Sid> lookupAccountSid(const Sid& sid) {
  if (const Sid* known = wellKnownBySid(sid)) return *known;
  std::optional<PosixPrincipal> principal = posixPrincipal(sid);
  if (!principal || principal->kind == PosixPrincipal::Kind::Other)
    return os::Result<Sid>::failure(os::err::noneMapped);
  os::Result<std::u16string> computer = computerName();
  if (!computer.ok()) return os::Result<Sid>::failure(computer.code());
  if (principal->kind == PosixPrincipal::Kind::User) {
    os::Result<os::UserAccount> user = os::userById(principal->id);
    if (!user.ok()) return os::Result<Sid>::failure(user.code());
    return record(sid, user.value().name, SidTypeUser, computer.value());
  }
  os::Result<os::GroupAccount> group = os::groupById(principal->id);
  if (!group.ok()) return os::Result<Sid>::failure(group.code());
  return record(sid, group.value().name, SidTypeGroup, computer.value());
}

} // namespace RunTime

std::u16string SidCache::OfflineSidManager::domainName() {
  static std::mutex lock;
  static std::optional<std::u16string> cached;
  std::lock_guard<std::mutex> guard(lock);
  if (!cached) {
    os::Result<RunTime::UserModals> modals = RunTime::userModals(u"");
    if (!modals.ok())
      throwOSError(u"Unable to get domain name", modals.code(),
                   VCONTEXT("SidCache::OfflineSidManager::domainName"));
    cached = modals.value().domainName;
  }
  return *cached;
}
