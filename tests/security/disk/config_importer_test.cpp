#include "security/disk/config_importer.h"

#include <gtest/gtest.h>

#include "os/text.h"
#include "tests/security/disk/fake_system_helper.h"
#include "tests/support/failure.h"
#include "tests/support/testing.h"

using namespace DiskSecurity;
using testing_support::u8;
using testing_support::writeFile;

namespace {

class ConfigImport : public testing::Test {
protected:
  std::shared_ptr<EntryCollection> load(const std::string& location, bool lenient = true) {
    return EntryCollection::loadFromStore(os::utf16FromUtf8(location), helper, lenient);
  }
  // Writes a file of the given Entry elements.
  std::string file(const std::string& name, const std::string& entries) {
    writeFile(dir.file(name), "<?xml version=\"1.0\"?><Entries>" + entries + "</Entries>");
    return dir.file(name);
  }
  testing_support::TempDir dir;
  std::shared_ptr<testing_support::FakeSystemHelper> helper =
      std::make_shared<testing_support::FakeSystemHelper>();
};

// Every attribute in names or numbers, accounts that no longer resolve and the administrator's
// group, lenient or not; the vocabulary's messages themselves are
// Vocabulary.UnknownNameListsTheKnownOnesInOrder's. The outcome is the entries read ("|" between
// them), or (after "! ") the first line of the failure, whose contexts name the file.
TEST_F(ConfigImport, EntriesReadAndFailuresNamingTheFileAndTheValue) {
  helper->addAccount(u"bob", 1001);
  helper->addAccount(u"zrcadm", 500);
  helper->addAccount(u"zrcadm_users", 600);
  const std::string admin = R"(<Entry AccounType="1" Account="zrcadm" Path="C:\a"/>)";
  const std::string gone = R"(<Entry AccounType="1" Account="gone" Domain="CORP" SidStr="S-1-5-21-9-9-9-1234" Path="C:\a"/>)";
  const std::string unmapped = "! The account name or security identifier is not mapped (Error code 1332) at ";
  const auto outcome = [&](const std::string& entries, bool lenient) {
    std::string lines;
    const testing_support::Failure failed = testing_support::failureOf([&] {
      const auto loaded = load(file("a.xml", entries), lenient);
      EXPECT_EQ(u8(loaded->storageName()), dir.file("a.xml"));
      for (const std::string& line : testing_support::entryLines(*loaded)) lines += (lines.empty() ? "" : "|") + line;
    });
    if (failed.message.empty()) return lines;
    // The importer's contexts are in the message of the exception the reader passes on.
    EXPECT_NE(failed.message.find("\n   at Unable to load entry from XML("), std::string::npos) << failed.message;
    EXPECT_EQ(failed.calls, "\nat Unable to start element\nat Unable to parse file URL: '" + dir.file("a.xml") + "'");
    return "! " + failed.message.substr(0, failed.message.find('\n'));
  };
  const std::tuple<std::string, bool, std::string> cases[] = { // entries, lenient, outcome
      // Other elements are not entries, nor is one equal to an earlier one. "C:" sorts first: a
      // shorter component before a longer one.
      {R"(<Entry AccounType="Builtin" Account="Everyone" Path="[HTTPD_VHOSTS_D]" SubPath="site\docs" )"
       R"(AceFlags="ThisFolderSubfoldersAndFiles" AccessMask="Read" EntryFlags="Deny|NoPropagate" Tag="t" Tag2="u"/>)"
       R"(<Entry AccounType="1" Account="bob" Path="C:\x" AceFlags="0x3" AccessMask="0x1f01ff" EntryFlags="2048"/>)"
       R"(<Entry AccounType="1" Account="bob" Path="c:/X/" AceFlags="3" AccessMask="FullAccess" EntryFlags="0x800"/>)"
       R"(<Other Account="ignored"/>)",
       true, "S-1-5-21-1-2-3-1001 HOST\\bob C:\\x [] 3 2032127 2048 [][]|"
             "S-1-1-0 \\Everyone [HTTPD_VHOSTS_D] [site\\docs] 3 1179785 17 [t][u]"},
      // SIDs of one length compare byte by byte: 600 (58 02) before 500 (f4 01).
      {admin, true, "S-1-5-21-1-2-3-600 HOST\\zrcadm_users C:\\a [] 0 0 0 [][]|S-1-5-21-1-2-3-500 HOST\\zrcadm C:\\a [] 0 0 0 [][]"},
      // The stored name is kept for the next save.
      {gone, true, "S-1-5-21-9-9-9-1234 CORP\\gone C:\\a [] 0 0 0 [][]"},
      {gone, false, unmapped + "Unable to lookup SID for name gone"},
      {R"(<Entry AccounType="1" Account="gone" SidStr="S-x" Path="C:\a"/>)", true,
       "! Unknown error (Error code 1337) at Unable to convert a string to SID"},
      {R"(<Entry AccounType="0" Account="Everyone" EntryFlags="Deny|Bogus"/>)", true,
       "! Unknown entry flag: Bogus, known names are:"},
      {R"(<Entry AccounType="0" Account="Nobody"/>)", true, "! Unknown account name: Nobody, known names are:"},
  };
  for (const auto& [entries, lenient, expected] : cases) EXPECT_EQ(outcome(entries, lenient), expected) << entries;
  // Without the group: left out when lenient, else the load fails naming it.
  helper->accounts.erase(u"zrcadm_users");
  EXPECT_EQ(outcome(admin, true), "S-1-5-21-1-2-3-500 HOST\\zrcadm C:\\a [] 0 0 0 [][]");
  EXPECT_EQ(outcome(admin, false), unmapped + "Unable to lookup SID for name zrcadm_users");
}

} // namespace
