#include "runtime/security/model/account_sids.h"

namespace RunTime {
namespace {

constexpr std::uint64_t kUnixAuthority = 22;
constexpr std::uint32_t kUnixUsers = 1;
constexpr std::uint32_t kUnixGroups = 2;

Sid named(Sid sid, std::u16string name, std::u16string domain, std::uint32_t kind) {
  sid.setAccount(std::move(name), std::move(domain), kind);
  return sid;
}

} // namespace

Sid unixUsersDomainSid() { return Sid(kUnixAuthority, 1, kUnixUsers); }

Sid userSid(std::uint32_t uid) {
  return uid == 0 ? VSID::system() : Sid(kUnixAuthority, 2, kUnixUsers, uid);
}

Sid groupSid(std::uint32_t gid) {
  return gid == 0 ? VSID::admins() : Sid(kUnixAuthority, 2, kUnixGroups, gid);
}

std::optional<PosixPrincipal> posixPrincipal(const Sid& sid) {
  using Kind = PosixPrincipal::Kind;
  if (sid.empty()) return std::nullopt;
  if (sid == VSID::system()) return PosixPrincipal{Kind::User, 0};
  if (sid == VSID::admins()) return PosixPrincipal{Kind::Group, 0};
  if (sid == VSID::everyone()) return PosixPrincipal{Kind::Other, 0};
  if (sid.authority() != kUnixAuthority || sid.subAuthorityCount() != 2) return std::nullopt;
  if (sid.subAuthority(0) == kUnixUsers) return PosixPrincipal{Kind::User, sid.subAuthority(1)};
  if (sid.subAuthority(0) == kUnixGroups) return PosixPrincipal{Kind::Group, sid.subAuthority(1)};
  return std::nullopt;
}

const std::vector<Sid>& wellKnownAccounts() {
  static const std::vector<Sid> accounts = {
      named(VSID::system(), u"SYSTEM", u"NT AUTHORITY", SidTypeWellKnownGroup),
      named(VSID::admins(), u"Administrators", u"BUILTIN", SidTypeAlias),
      named(VSID::everyone(), u"Everyone", u"", SidTypeWellKnownGroup),
      // Known by name and kept in DACLs, but with no POSIX principal of their own.
      named(Sid(3, 1, 0), u"CREATOR OWNER", u"", SidTypeWellKnownGroup),
      named(Sid(3, 1, 1), u"CREATOR GROUP", u"", SidTypeWellKnownGroup),
      named(Sid(5, 1, 11), u"Authenticated Users", u"NT AUTHORITY", SidTypeWellKnownGroup),
      named(Sid(5, 2, 32, 545), u"Users", u"BUILTIN", SidTypeAlias),
  };
  return accounts;
}

} // namespace RunTime
