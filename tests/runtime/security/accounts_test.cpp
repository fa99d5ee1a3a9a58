#include "runtime/security/accounts.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "os/accounts.h"
#include "os/text.h"
#include "runtime/security/model/account_sids.h"
#include "tests/runtime/security/model/security_testing.h"
#include "tests/support/testing.h"

using namespace security_testing;
using testing_support::u8;

namespace {

std::u16string computer() { return RunTime::computerName().value(); }

TEST(Accounts, UsersAndGroupsMapToUnixSids) {
  if (os::threadUserId() != 0) GTEST_SKIP() << "creating accounts needs root";
  testing_support::ScopedGroup primary;
  testing_support::ScopedUser member{primary};
  ASSERT_TRUE(primary.ok() && member.ok());

  const std::string userSid = "S-1-22-1-" + std::to_string(member.uid());
  const std::string groupSid = "S-1-22-2-" + std::to_string(primary.gid());
  // The name looked up, its SID and kind, and the name the SID looks up.
  const std::tuple<std::u16string, std::string, std::uint32_t, std::u16string> cases[] = {
      {wide(member.name()), userSid, RunTime::SidTypeUser, wide(member.name())},
      {computer() + u"\\" + wide(member.name()), userSid, RunTime::SidTypeUser,
       wide(member.name())},
      {wide(primary.name()), groupSid, RunTime::SidTypeGroup, wide(primary.name())},
      {u"root", "S-1-5-18", RunTime::SidTypeWellKnownGroup, u"SYSTEM"},
      {u"NT AUTHORITY\\system", "S-1-5-18", RunTime::SidTypeWellKnownGroup, u"SYSTEM"},
      {u"administrators", "S-1-5-32-544", RunTime::SidTypeAlias, u"Administrators"},
      {u"Everyone", "S-1-1-0", RunTime::SidTypeWellKnownGroup, u"Everyone"},
  };
  for (const auto& [name, text, kind, canonical] : cases) {
    const RunTime::Sid byName = RunTime::accountByName(u"", name);
    EXPECT_EQ(sidText(byName), text) << u8(name);
    EXPECT_EQ(byName.kind(), kind) << u8(name);

    const RunTime::Sid bySid = RunTime::lookupAccountSid(sid(text.c_str())).value();
    EXPECT_EQ(bySid.name(), canonical);
    EXPECT_EQ(bySid.kind(), kind);
  }

  // Names are tried as given and then in lower case.
  std::string shouted = member.name();
  std::transform(shouted.begin(), shouted.end(), shouted.begin(), ::toupper);
  const RunTime::Sid upper = RunTime::accountByName(u"", wide(shouted));
  EXPECT_EQ(sidText(upper), userSid);
  EXPECT_EQ(upper.domain(), computer());

  EXPECT_EQ(sidText(RunTime::threadUserSid()), "S-1-5-18"); // the calling thread acts as root
}

// The SID of a uid no account has is not mapped either: an entry of a deleted account is dropped
// in AccessTree.WhatWasWrittenReadsBackAndDeletedAccountsAreDropped because of it.
TEST(Accounts, OtherDomainsAndAuthoritiesAreNotMapped) {
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

// Unix user and group SIDs, SYSTEM and Everyone are projected in posix_projection_test.cpp,
// Administrators as the group root in access_test.cpp; S-1-22-1-0 is refused as root in
// sid_client_test.cpp, and SIDs of other authorities go unmapped above. Of the Unix authority only
// a user or a group with its id has a principal.
TEST(Accounts, OtherSidsOfTheUnixAuthorityHaveNoPosixPrincipal) {
  for (const char* text : {"S-1-22-3-5", "S-1-22-1", "S-1-22-2-5-6"})
    EXPECT_EQ(RunTime::posixPrincipal(sid(text)), std::nullopt) << text;
}

} // namespace
