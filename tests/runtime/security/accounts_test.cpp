#include "runtime/security/accounts.h"

#include <pwd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "os/accounts.h"
#include "os/text.h"
#include "runtime/security/model/account_sids.h"
#include "runtime/security/user_information.h"
#include "tests/runtime/security/model/security_testing.h"
#include "tests/support/testing.h"

using namespace security_testing;
using testing_support::runProcess;
using testing_support::u8;

namespace {

// A group, a user whose primary group it is, and a second group as a supplementary one.
struct ScopedAccounts {
  testing_support::ScopedGroup primary, extra;
  testing_support::ScopedUser member{primary, {&extra}};
  bool ok = primary.ok() && extra.ok() && member.ok();
  std::string user = member.name(), group = primary.name(), extraGroup = extra.name();
};

#define SKIP_UNLESS_ROOT() \
  if (os::threadUserId() != 0) GTEST_SKIP() << "creating accounts needs root"

std::u16string computer() { return RunTime::computerName().value(); }

TEST(Accounts, UsersAndGroupsMapToUnixSids) {
  SKIP_UNLESS_ROOT();
  ScopedAccounts accounts;
  ASSERT_TRUE(accounts.ok);
  os::UserAccount user = os::userByName(wide(accounts.user)).value();
  os::GroupAccount extra = os::groupByName(wide(accounts.extraGroup)).value();
  std::vector<std::uint32_t> groups = os::groupIdsOfUser(user.name, user.gid).value();
  EXPECT_NE(std::find(groups.begin(), groups.end(), user.gid), groups.end());
  EXPECT_NE(std::find(groups.begin(), groups.end(), extra.gid), groups.end());

  struct Case {
    std::u16string name;
    std::string sid;
    std::uint32_t kind;
    std::u16string canonical;
  };
  const std::string userSid = "S-1-22-1-" + std::to_string(user.uid);
  const std::string groupSid = "S-1-22-2-" + std::to_string(user.gid);
  const Case cases[] = {
      {wide(accounts.user), userSid, RunTime::SidTypeUser, wide(accounts.user)},
      {computer() + u"\\" + wide(accounts.user), userSid, RunTime::SidTypeUser,
       wide(accounts.user)},
      {wide(accounts.group), groupSid, RunTime::SidTypeGroup, wide(accounts.group)},
      {u"root", "S-1-5-18", RunTime::SidTypeWellKnownGroup, u"SYSTEM"},
      {u"NT AUTHORITY\\system", "S-1-5-18", RunTime::SidTypeWellKnownGroup, u"SYSTEM"},
      {u"administrators", "S-1-5-32-544", RunTime::SidTypeAlias, u"Administrators"},
      {u"Everyone", "S-1-1-0", RunTime::SidTypeWellKnownGroup, u"Everyone"},
  };
  for (const Case& c : cases) {
    const RunTime::Sid byName = RunTime::accountByName(u"", c.name);
    EXPECT_EQ(sidText(byName), c.sid) << u8(c.name);
    EXPECT_EQ(byName.kind(), c.kind) << u8(c.name);

    const RunTime::Sid bySid = RunTime::lookupAccountSid(sid(c.sid.c_str())).value();
    EXPECT_EQ(bySid.name(), c.canonical);
    EXPECT_EQ(bySid.kind(), c.kind);
  }

  // Names are tried as given and then in lower case.
  std::string shouted = accounts.user;
  std::transform(shouted.begin(), shouted.end(), shouted.begin(), ::toupper);
  const RunTime::Sid upper = RunTime::accountByName(u"", wide(shouted));
  EXPECT_EQ(sidText(upper), userSid);
  EXPECT_EQ(upper.domain(), computer());

  EXPECT_EQ(sidText(RunTime::threadUserSid()), "S-1-5-18"); // the calling thread acts as root
}

TEST(Accounts, VanishedAccountsAreNotMapped) {
  // The SID of a uid that no account has, as a deleted account leaves it behind. (Deleting an
  // account created here would race with the other tests that create accounts: the next one may
  // be given the same uid.)
  std::uint32_t uid = 3999999999u;
  while (getpwuid(uid)) --uid;
  EXPECT_EQ(RunTime::lookupAccountSid(RunTime::userSid(uid)).code(), 1332u);

  const Failure f = failureOf([] { RunTime::accountByName(u"", u"tvx-no-such-account"); });
  EXPECT_EQ(f.code, 1332u);
  EXPECT_TRUE(endsWith(f.message, " at Unable to lookup SID for name tvx-no-such-account"))
      << f.message;
  EXPECT_EQ(RunTime::lookupAccountName(u"OTHERDOMAIN\\root").code(), 1332u);
  EXPECT_EQ(RunTime::lookupAccountSid(sid("S-1-5-21-1-2-3-500")).code(), 1332u);
}

TEST(Accounts, ComputerNameAndAccountDomain) {
  EXPECT_EQ(SidCache::OfflineSidManager::domainName(), computer());
  std::u16string host = os::hostName().value();
  std::u16string expected = host.substr(0, host.find(u'.'));
  for (char16_t& c : expected) c = os::toUpper(c);
  {
    testing_support::ScopedRegistry registry;
    EXPECT_EQ(computer(), expected);
    registry.write(
        "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\ComputerName\\ComputerName]\n"
        "\"ComputerName\"=\"WEBHOST7\"\n");
    EXPECT_EQ(computer(), u"WEBHOST7");
    EXPECT_EQ(sidText(RunTime::lookupAccountName(u"webhost7\\root").value()), "S-1-5-18");
    EXPECT_EQ(RunTime::lookupAccountSid(sid("S-1-22-1-0")).value().domain(), u"WEBHOST7");
  }
  // The account domain SID is S-1-22-1, whatever server is asked.
  for (const char16_t* server : {u"", u"dc1.example.com"})
    EXPECT_EQ(sidText(RunTime::userModals(server).value().domainSid), "S-1-22-1");
}

// Unix user and group SIDs, SYSTEM and Everyone are projected in posix_projection_test.cpp.
TEST(Accounts, PosixPrincipalsOfSids) {
  using Kind = RunTime::PosixPrincipal::Kind;
  struct Case {
    const char* sid;
    std::optional<RunTime::PosixPrincipal> principal;
  };
  const Case cases[] = {
      {"S-1-22-1-0", RunTime::PosixPrincipal{Kind::User, 0}},
      {"S-1-5-32-544", RunTime::PosixPrincipal{Kind::Group, 0}},
      {"S-1-22-3-5", std::nullopt},
      {"S-1-22-1", std::nullopt},
      {"S-1-5-32-545", std::nullopt},
  };
  for (const Case& c : cases) EXPECT_EQ(RunTime::posixPrincipal(sid(c.sid)), c.principal) << c.sid;
  EXPECT_EQ(sidText(RunTime::groupSid(0)), "S-1-5-32-544");
}

} // namespace

namespace {

// Both variants resolve through the host's database; the directory one asks the domain's server,
// which it cannot name without the domain's names, except for the local-only accounts.
TEST(UserInformation, LocalAndDirectoryAccountsResolveThroughTheDatabase) {
  SKIP_UNLESS_ROOT();
  ScopedAccounts accounts;
  ASSERT_TRUE(accounts.ok);
  const std::string userSid = "S-1-22-1-" + std::to_string(accounts.member.uid());
  const std::string groupSid = "S-1-22-2-" + std::to_string(accounts.primary.gid());
  const LocalUserInformation local;
  const ADUserInformation directory(u"EXAMPLE", u"example.com");
  for (const IUserInformation* info : {static_cast<const IUserInformation*>(&local),
                                       static_cast<const IUserInformation*>(&directory)}) {
    EXPECT_EQ(sidText(info->getAccount(wide(accounts.user), u"")), userSid);
    EXPECT_EQ(sidText(info->getAccount(wide(accounts.group), u"")), groupSid);
    Failure f = failureOf([&] { info->getAccount(u"tvx-no-such-account", u""); });
    EXPECT_EQ(f.code, 1332u);
    EXPECT_TRUE(endsWith(f.message, " at Unable to lookup SID for name tvx-no-such-account"));
  }
  for (const ADUserInformation& unknown :
       {ADUserInformation(u"", u"example.com"), ADUserInformation(u"EXAMPLE", u"")}) {
    EXPECT_EQ(sidText(unknown.getAccount(u"Administrators", u"")), "S-1-5-32-544");
    EXPECT_EQ(failureOf([&] { unknown.getAccount(wide(accounts.user), u""); }).message,
              "Cannot determine Active Directory domain name");
    EXPECT_EQ(sidText(unknown.getAccount(wide(accounts.user), u"example.com")), userSid);
  }
}

} // namespace
