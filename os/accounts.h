// The host's account database (NSS: local files, and directory accounts where the host is
// joined to one): users and groups by name and by number, and the user a thread acts as.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "os/error.h"

namespace os {

struct UserAccount {
  std::u16string name;
  std::uint32_t uid = 0;
  std::uint32_t gid = 0; // primary group
  std::u16string home;
};

struct GroupAccount {
  std::u16string name;
  std::uint32_t gid = 0;
  std::vector<std::u16string> members; // listed members; users whose primary group it is are not
};

// Each lookup fails with noneMapped (1332) when the database has no such account, and with the
// code of the database's own failure otherwise.
Result<UserAccount> userByName(std::u16string_view name);
Result<UserAccount> userById(std::uint32_t uid);
Result<GroupAccount> groupByName(std::u16string_view name);
Result<GroupAccount> groupById(std::uint32_t gid);

// The ids of every group the user belongs to, the primary group included.
Result<std::vector<std::uint32_t>> groupIdsOfUser(std::u16string_view name,
                                                  std::uint32_t primaryGid);

// The user id the calling thread acts as toward the file system (its fsuid). Credentials are
// per thread on this host, and impersonation changes exactly this one.
std::uint32_t threadUserId();

// The host's name as the system reports it (possibly a fully qualified name).
Result<std::u16string> hostName();

} // namespace os
