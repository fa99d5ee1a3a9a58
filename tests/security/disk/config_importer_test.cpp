#include "security/disk/config_importer.h"

#include <gtest/gtest.h>

#include <filesystem>

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
    return EntryCollection::loadFromConfig(os::utf16FromUtf8(location), false, nullptr, helper, lenient);
  }
  // Writes a file of the given Entry elements.
  std::string file(const std::string& name, const std::string& entries) {
    writeFile(dir.file(name), "<?xml version=\"1.0\"?><Entries>" + entries + "</Entries>");
    return dir.file(name);
  }
  // The message and its contexts' ("\nat " before each).
  std::string failure(const std::string& location, bool lenient = true) {
    const testing_support::Failure failed = testing_support::failureOf([&] { load(location, lenient); });
    return failed.message + failed.calls;
  }
  testing_support::TempDir dir;
  std::shared_ptr<testing_support::FakeSystemHelper> helper =
      std::make_shared<testing_support::FakeSystemHelper>();
};

TEST_F(ConfigImport, ReadsEveryAttributeInNamesOrNumbers) {
  helper->addAccount(u"bob", 1001);
  auto c = load(file("a.xml",
                     R"(<Entry AccounType="Builtin" Account="Everyone" Path="[HTTPD_VHOSTS_D]" )"
                     R"(SubPath="site\docs" AceFlags="ThisFolderSubfoldersAndFiles" )"
                     R"(AccessMask="Read" EntryFlags="Deny|NoPropagate" Tag="t" Tag2="u"/>)"
                     R"(<Entry AccounType="1" Account="bob" Path="C:\x" AceFlags="0x3" )"
                     R"(AccessMask="0x1f01ff" EntryFlags="2048"/>)"
                     R"(<Other Account="ignored"/>)"));
  // "C:" sorts first: a shorter component sorts before a longer one.
  EXPECT_EQ(testing_support::entryLines(*c), (std::vector<std::string>{
                           "S-1-5-21-1-2-3-1001 HOST\\bob C:\\x [] 3 2032127 2048 [][]",
                           "S-1-1-0 \\Everyone [HTTPD_VHOSTS_D] [site\\docs] 3 1179785 17 [t][u]",
                       }));
  EXPECT_EQ(u8(c->storageName()), dir.file("a.xml"));
}

TEST_F(ConfigImport, AdministratorAccountBringsItsGroup) {
  const std::string entries = R"(<Entry AccounType="1" Account="zrcadm" Path="C:\a"/>)";
  helper->addAccount(u"zrcadm", 500);
  helper->addAccount(u"zrcadm_users", 600);
  EXPECT_EQ(testing_support::entryLines(*load(file("a.xml", entries))),
            (std::vector<std::string>{"S-1-5-21-1-2-3-600 HOST\\zrcadm_users C:\\a [] 0 0 0 [][]",
                                      "S-1-5-21-1-2-3-500 HOST\\zrcadm C:\\a [] 0 0 0 [][]"}))
      << "SIDs of one length compare byte by byte: 600 (58 02) before 500 (f4 01)";
  helper->accounts.erase(u"zrcadm_users");
  EXPECT_EQ(load(file("a.xml", entries))->size(), 1u) << "lenient: the group is left out";
  EXPECT_NE(failure(file("a.xml", entries), false).find("zrcadm_users"), std::string::npos);
}

TEST_F(ConfigImport, AccountThatNoLongerExists) {
  const std::string entries =
      R"(<Entry AccounType="1" Account="gone" Domain="CORP" SidStr="S-1-5-21-9-9-9-1234" Path="C:\a"/>)";
  // The stored name is kept for the next save.
  EXPECT_EQ(testing_support::entryLines(*load(file("a.xml", entries))),
            std::vector<std::string>{"S-1-5-21-9-9-9-1234 CORP\\gone C:\\a [] 0 0 0 [][]"});
  EXPECT_NE(failure(file("a.xml", entries), false).find("Unable to lookup SID for name gone"), std::string::npos);
  const std::string bad = R"(<Entry AccounType="1" Account="gone" SidStr="S-x" Path="C:\a"/>)";
  EXPECT_NE(failure(file("b.xml", bad)).find("Unable to convert a string to SID"), std::string::npos);
}

// The messages themselves are Vocabulary.UnknownNameListsTheKnownOnesInOrder's.
TEST_F(ConfigImport, VocabularyFailuresNameTheFileAndTheValue) {
  const std::pair<std::string, std::string> cases[] = {
      {R"(<Entry AccounType="0" Account="Everyone" EntryFlags="Deny|Bogus"/>)",
       "Unknown entry flag: Bogus, known names are:\n"},
      {R"(<Entry AccounType="0" Account="Nobody"/>)", "Unknown account name: Nobody"},
  };
  for (const auto& [entries, message] : cases) {
    const std::string text = failure(file("bad.xml", entries));
    EXPECT_EQ(text.rfind(message, 0), 0u) << text;
    EXPECT_NE(text.find("Unable to load entry from XML"), std::string::npos) << text;
    EXPECT_NE(text.find("Unable to parse file URL: '" + dir.file("bad.xml") + "'"),
              std::string::npos)
        << text;
  }
}

} // namespace
