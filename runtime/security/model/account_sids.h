// How the accounts of this host appear as SIDs: users S-1-22-1-<uid>, groups S-1-22-2-<gid>
// (the "Unix Users" and "Unix Groups" domains), except that uid 0 is SYSTEM (S-1-5-18) and gid 0
// is Administrators (S-1-5-32-544); Everyone (S-1-1-0) stands for POSIX "other".
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "runtime/security/model/sid.h"

namespace RunTime {

// S-1-22-1: the account domain of the users, whose relative ids are uids.
Sid unixUsersDomainSid();
Sid userSid(std::uint32_t uid);
Sid groupSid(std::uint32_t gid);

struct PosixPrincipal {
  enum class Kind { User, Group, Other };
  Kind kind;
  std::uint32_t id; // uid or gid; 0 for Other
  bool operator==(const PosixPrincipal&) const = default;
};

// The POSIX principal a SID stands for (S-1-22-1-0 and S-1-22-2-0 are accepted for uid and
// gid 0 as well), or nothing.
std::optional<PosixPrincipal> posixPrincipal(const Sid& sid);

// The well-known accounts with their names, domains and kinds: SYSTEM ("NT AUTHORITY"),
// Administrators ("BUILTIN") and Everyone (no domain).
const std::vector<Sid>& wellKnownAccounts();

} // namespace RunTime
