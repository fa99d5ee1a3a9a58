#include "security/disk/vocabulary.h"

#include <gtest/gtest.h>

#include "runtime/security/model/account_sids.h"
#include "tests/support/failure.h"

using namespace DiskSecurity;
using testing_support::u8;

namespace {

std::string failure(const std::function<void()>& read) { return testing_support::failureOf(read).message; }

TEST(Vocabulary, NumbersHaveAutomaticBase) {
  const std::pair<std::u16string, std::optional<std::uint32_t>> cases[] = {
      {u"17", 17},         {u"0x11", 17},   {u"0X11", 17},        {u"021", 17},
      {u"", 0},            {u"0", 0},       {u"4294967295", 0xFFFFFFFF},
      {u"99999999999", 0xFFFFFFFF},         {u"12ab", std::nullopt}, {u"08", std::nullopt},
      {u"0x", std::nullopt}, {u"Deny", std::nullopt}, {u"1 ", std::nullopt},
  };
  for (const auto& [text, expected] : cases) EXPECT_EQ(parseNumber(text), expected) << u8(text);
}

TEST(Vocabulary, EntryFlagsAreANumberOrNamesJoinedByBars) {
  for (const char16_t* text : {u"Deny|NoPropagate", u"0x11", u"021", u"17", u"NoPropagate|Deny"})
    EXPECT_EQ(readEntryFlags(text), 17u) << u8(text);
  EXPECT_EQ(readEntryFlags(u""), 0u);
  EXPECT_EQ(failure([] { readEntryFlags(u"Deny | NoPropagate"); })
                .rfind("Unknown entry flag: Deny , known names are:\n", 0),
            0u);
  EXPECT_EQ(failure([] { readEntryFlags(u"Deny|"); }).rfind("Unknown entry flag: , known", 0), 0u);
}

TEST(Vocabulary, UnknownNameListsTheKnownOnesInOrder) {
  EXPECT_EQ(failure([] { readAccountType(u"builtin"); }),
            "Unknown accoun type: builtin, known names are:\nBuiltin\nCustom\n");
  EXPECT_EQ(failure([] { readAceFlags(u"All"); }),
            "Unknown ACE flags: All, known names are:\nFilesOnly\nSubfoldersAndFilesOnly\n"
            "SubfoldersOnly\nThisFolderAndFiles\nThisFolderAndSubfolders\n"
            "ThisFolderSubfoldersAndFiles\nThisObjectOnly\n");
  const std::string mask = failure([] { readAccessMask(u"12ab"); });
  EXPECT_EQ(mask.rfind("Unknown access mask: 12ab, known names are:\nFileNonRemovable\n", 0), 0u)
      << mask;
  const std::string account = failure([] { wellKnownAccount(u"everyone"); });
  EXPECT_EQ(account.rfind("Unknown account name: everyone, known names are:\nAccountOps\n", 0), 0u);
}

TEST(Vocabulary, WritesTheExactNameElseHexadecimal) {
  EXPECT_EQ(writeAccessMask(0x1F01FF), u"FullAccess");
  EXPECT_EQ(writeAccessMask(0x1F01FE), u"0x1f01fe");
  EXPECT_EQ(writeAccessMask(0), u"NoAccess");
  EXPECT_EQ(writeAceFlags(3), u"ThisFolderSubfoldersAndFiles");
  EXPECT_EQ(writeAceFlags(4), u"0x4");
  EXPECT_EQ(writeEntryFlags(2049), u"0x801");
  EXPECT_EQ(writeEntryFlags(0), u"0x0");
}

TEST(Vocabulary, WellKnownAccountsAreNamedBack) {
  const std::pair<const char16_t*, const char16_t*> sids[] = {
      {u"Everyone", u"S-1-1-0"},
      {u"System", u"S-1-5-18"},
      {u"Administrators", u"S-1-5-32-544"},
      {u"CreatorOwner", u"S-1-3-0"},
      {u"AuthenticatedUser", u"S-1-5-11"}};
  for (const auto& [name, sid] : sids) {
    EXPECT_EQ(wellKnownAccount(name).toSidString(), sid);
    EXPECT_EQ(wellKnownName(wellKnownAccount(name)), name);
  }
  // The computer's Administrator and Guest stand for no account of this host (uid 500 and 501
  // are whoever has them).
  for (const char16_t* name : {u"Administrator", u"Guest"}) {
    EXPECT_EQ(RunTime::posixPrincipal(wellKnownAccount(name)), std::nullopt) << u8(name);
    EXPECT_EQ(wellKnownName(wellKnownAccount(name)), name);
  }
  RunTime::Sid user;
  user.loadFromSidString(u"S-1-22-1-4242");
  EXPECT_EQ(wellKnownName(user), std::nullopt);
}

} // namespace
