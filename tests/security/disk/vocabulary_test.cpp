// Reading the entry files' vocabulary; the names and numbers written back are
// MetadataFile.WritesTheDocumentExactly's, entry flags as names, hexadecimal and decimal (and
// absent) the config importer's table.
#include "security/disk/vocabulary.h"

#include <gtest/gtest.h>

#include "runtime/security/model/account_sids.h"
#include "tests/support/failure.h"

using namespace DiskSecurity;
using testing_support::u8;

namespace {

TEST(Vocabulary, NumbersHaveAutomaticBase) {
  const std::pair<std::u16string, std::optional<std::uint32_t>> cases[] = {
      {u"17", 17},         {u"0x11", 17},   {u"0X11", 17},        {u"021", 17},
      {u"", 0},            {u"0", 0},       {u"4294967295", 0xFFFFFFFF},
      {u"99999999999", 0xFFFFFFFF},         {u"12ab", std::nullopt}, {u"08", std::nullopt},
      {u"0x", std::nullopt}, {u"Deny", std::nullopt}, {u"1 ", std::nullopt},
  };
  for (const auto& [text, expected] : cases) EXPECT_EQ(parseNumber(text), expected) << u8(text);
}

// An unknown name is named, then the known ones in order (long lists: their beginning).
TEST(Vocabulary, UnknownNameListsTheKnownOnesInOrder) {
  const std::pair<std::function<void()>, std::string> cases[] = {
      {[] { readEntryFlags(u"Deny | NoPropagate"); }, "Unknown entry flag: Deny , known names are:\n"},
      {[] { readEntryFlags(u"Deny|"); }, "Unknown entry flag: , known names are:\n"},
      {[] { readAccountType(u"builtin"); }, "Unknown accoun type: builtin, known names are:\nBuiltin\nCustom\n"},
      {[] { readAceFlags(u"All"); },
       "Unknown ACE flags: All, known names are:\nFilesOnly\nSubfoldersAndFilesOnly\nSubfoldersOnly\n"
       "ThisFolderAndFiles\nThisFolderAndSubfolders\nThisFolderSubfoldersAndFiles\nThisObjectOnly\n"},
      {[] { readAccessMask(u"12ab"); }, "Unknown access mask: 12ab, known names are:\nFileNonRemovable\n"},
      {[] { wellKnownAccount(u"everyone"); }, "Unknown account name: everyone, known names are:\nAccountOps\n"},
  };
  for (const auto& [call, start] : cases) {
    const std::string message = testing_support::failureOf(call).message;
    EXPECT_EQ(message.substr(0, start.size()), start);
  }
}

TEST(Vocabulary, WellKnownAccountsAreNamedBack) {
  // Everyone and System are ConfigImport's, MetadataFile's and the manager test's (their SIDs and
  // the names written back), as is an account that is no well-known one (written with its SID).
  const std::pair<const char16_t*, const char16_t*> sids[] = {
      {u"Administrators", u"S-1-5-32-544"}, {u"CreatorOwner", u"S-1-3-0"}, {u"AuthenticatedUser", u"S-1-5-11"}};
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
}

} // namespace
