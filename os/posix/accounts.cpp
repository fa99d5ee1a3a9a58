#include "os/accounts.h"

#include <grp.h>
#include <pwd.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "os/posix/errno_map.h"
#include "os/text.h"

namespace os {
namespace {

// Runs a reentrant NSS lookup (getpwnam_r and its kin) with a buffer that grows while the
// lookup reports ERANGE. Returns 0, noneMapped, or the code of the lookup's failure.
template <class Record, class Lookup>
std::uint32_t nssLookup(Record& record, std::vector<char>& buffer, Lookup lookup) {
  buffer.resize(1024);
  for (;;) {
    Record* found = nullptr;
    int error = lookup(&record, buffer.data(), buffer.size(), &found);
    if (error == ERANGE) {
      buffer.resize(buffer.size() * 2);
      continue;
    }
    if (error == EINTR) continue;
    if (found) return err::success;
    // "Not found" comes as 0 or, from some NSS modules, as one of these.
    if (error == 0 || error == ENOENT || error == ESRCH || error == EBADF || error == EPERM)
      return err::noneMapped;
    return posix::win32FromErrno(error);
  }
}

// The UTF-8 form of an account name, or nothing when no account can bear it.
bool accountName(std::u16string_view name, std::string& out) {
  if (name.empty() || name.find(u'\0') != std::u16string_view::npos) return false;
  out = utf8FromUtf16(name);
  return true;
}

UserAccount userOf(const passwd& entry) {
  return {utf16FromUtf8(entry.pw_name), entry.pw_uid, entry.pw_gid,
          utf16FromUtf8(entry.pw_dir ? entry.pw_dir : "")};
}

GroupAccount groupOf(const group& entry) {
  GroupAccount account{utf16FromUtf8(entry.gr_name), entry.gr_gid, {}};
  for (char** member = entry.gr_mem; member && *member; ++member)
    account.members.push_back(utf16FromUtf8(*member));
  return account;
}

template <class Account, class Record, class Convert, class Lookup>
Result<Account> lookupAccount(Convert convert, Lookup lookup) {
  Record record{};
  std::vector<char> buffer;
  std::uint32_t code = nssLookup(record, buffer, lookup);
  if (code != err::success) return Result<Account>::failure(code);
  return convert(record);
}

} // namespace

Result<UserAccount> userByName(std::u16string_view name) {
  std::string bytes;
  if (!accountName(name, bytes)) return Result<UserAccount>::failure(err::noneMapped);
  return lookupAccount<UserAccount, passwd>(userOf,
                                            [&](passwd* p, char* b, std::size_t n, passwd** r) {
                                              return ::getpwnam_r(bytes.c_str(), p, b, n, r);
                                            });
}

Result<UserAccount> userById(std::uint32_t uid) {
  return lookupAccount<UserAccount, passwd>(
      userOf,
      [&](passwd* p, char* b, std::size_t n, passwd** r) { return ::getpwuid_r(uid, p, b, n, r); });
}

Result<GroupAccount> groupByName(std::u16string_view name) {
  std::string bytes;
  if (!accountName(name, bytes)) return Result<GroupAccount>::failure(err::noneMapped);
  return lookupAccount<GroupAccount, group>(groupOf,
                                            [&](group* g, char* b, std::size_t n, group** r) {
                                              return ::getgrnam_r(bytes.c_str(), g, b, n, r);
                                            });
}

Result<GroupAccount> groupById(std::uint32_t gid) {
  return lookupAccount<GroupAccount, group>(
      groupOf,
      [&](group* g, char* b, std::size_t n, group** r) { return ::getgrgid_r(gid, g, b, n, r); });
}

Result<std::vector<std::uint32_t>> groupIdsOfUser(std::u16string_view name,
                                                  std::uint32_t primaryGid) {
  std::string bytes;
  if (!accountName(name, bytes))
    return Result<std::vector<std::uint32_t>>::failure(err::noneMapped);
  std::vector<gid_t> groups(32);
  int count = static_cast<int>(groups.size());
  while (::getgrouplist(bytes.c_str(), primaryGid, groups.data(), &count) < 0) {
    groups.resize(std::max<std::size_t>(static_cast<std::size_t>(count), groups.size() * 2));
    count = static_cast<int>(groups.size());
  }
  return std::vector<std::uint32_t>(groups.begin(), groups.begin() + count);
}

std::uint32_t threadUserId() {
  // setfsuid with an id that cannot be valid changes nothing and answers the current fsuid.
  // The raw call acts on this thread alone, as file-system credentials do.
#ifdef SYS_setfsuid32
  return static_cast<std::uint32_t>(::syscall(SYS_setfsuid32, -1));
#else
  return static_cast<std::uint32_t>(::syscall(SYS_setfsuid, -1));
#endif
}

Result<std::u16string> hostName() {
  char host[256] = {};
  if (::gethostname(host, sizeof host - 1) != 0)
    return Result<std::u16string>::failure(posix::win32FromErrno(errno));
  return utf16FromUtf8(host);
}

} // namespace os
