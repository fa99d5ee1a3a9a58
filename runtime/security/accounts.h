// Account lookups over the host's account database, in the terms of the security model: the
// account record of a name or of a SID, the local computer's name and account domain.
//
// The host's database answers for every account the host knows, local or from a directory it is
// joined to, so a server name does not narrow a lookup: every server answers with the same
// accounts and the same account domain (S-1-22-1).
#pragma once

#include <string>
#include <string_view>

#include "os/error.h"
#include "runtime/security/model/sid.h"

namespace RunTime {

// The registry value "ComputerName" of the key
// HKLM\SYSTEM\CurrentControlSet\Control\ComputerName\ComputerName, else the host name up to its
// first dot, upper-cased. Throws vexception for a registry value of the wrong type.
os::Result<std::u16string> computerName();

// The answer of the user-modals query at level 2: the account domain's name and SID.
struct UserModals {
  std::u16string domainName; // the computer name
  Sid domainSid;             // S-1-22-1
};
os::Result<UserModals> userModals(const std::u16string& server);

// The account record (SID, name, domain, kind) of a name. Accepted: a well-known account name
// ("SYSTEM", "Administrators", "Everyone", without regard to case, alone or after its own
// domain or the computer name and "\"), a user name, then a group name, alone or as
// "<computer name>\name". Users and groups are named by their database name; the account of
// uid 0 and gid 0 is that of SYSTEM and Administrators. Fails with 1332 when nothing matches.
os::Result<Sid> lookupAccountName(std::u16string_view account);

// The account record of a SID; fails with 1332 when no account has it (a deleted user or group
// included).
os::Result<Sid> lookupAccountSid(const Sid& sid);

// The lookups the tool's operations make (sid_accounts.cpp), failures thrown as OS errors.

// The account record of a name as lookupAccountName finds it, tried as given and then with its
// name part in lower case (the database's names are case-sensitive, account names are not).
// Throws the OS error 1332 "Unable to lookup SID for name %s" when nothing is found. A name once
// resolved is answered from a process-wide cache afterwards.
Sid accountByName(const std::u16string& server, const std::u16string& account);

// The user the calling thread acts as (its file-system user, which impersonation changes); it
// is also the default owner of what the thread creates.
Sid threadUserSid();

} // namespace RunTime

namespace SidCache {

class OfflineSidManager {
public:
  // The local computer's account-domain name, asked once per process. Throws the OS error
  // "Unable to get domain name".
  static std::u16string domainName();
};

} // namespace SidCache
