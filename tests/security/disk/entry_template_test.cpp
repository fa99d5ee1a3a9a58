#include "security/disk/entry_template.h"

#include <gtest/gtest.h>

#include "tests/security/disk/fake_system_helper.h"
#include "tests/support/failure.h"
#include "tests/support/testing.h"

using namespace DiskSecurity;
using namespace testing_support;

namespace {

std::vector<std::u16string> basePaths(const std::shared_ptr<FakeSystemHelper>& helper, const std::u16string& path) {
  EntryCollection collection(helper); // which gives the entry its helper
  collection.insert({RunTime::Sid(), path, u"", 0, 0, 0, u"", u"", nullptr});
  FakeComponents components;
  return EntryTemplate::basePaths(*collection.entries().begin(), components);
}

TEST(EntryTemplates, PathFormDecidesTheResolution) {
  auto helper = std::make_shared<FakeSystemHelper>();
  helper->environment = {{u"SystemRoot", u"C:\\Windows"}, {u"APP", u"\\app"}};
  const std::pair<std::u16string, std::vector<std::u16string>> cases[] = {
      {u"{ProgramFiles}", {u"C:\\Program Files (x86)"}},
      {u"{ProgramFilesX86}", {u"C:\\Program Files (x86)"}},
      {u"42", {u"C:\\Program Files (x86)"}},
      {u"0x2a", {u"C:\\Program Files (x86)"}},
      {u"{ProgramFilesX64}", {u"C:\\Program Files"}},
      {u"{Windows}", {u"C:\\Windows"}},
      {u"%SystemRoot%", {u"C:\\Windows"}},
      {u"%SystemRoot%APP%", {u"C:\\Windows\\app"}},
      {u"[php]", {u"C:\\php5", u"C:\\php7"}},
      {u"[", {u"["}},
      {u"{", {u"{"}},
      {u"%", {u"%"}},
      {u"", {u""}},
  };
  for (const auto& [path, expected] : cases) EXPECT_EQ(basePaths(helper, path), expected) << u8(path);

  const std::pair<std::u16string, std::string> failures[] = {
      {u"%NOT_SET%", "Unable to expand environment string: %NOT_SET%. Unknown token: NOT_SET"},
      {u"{Nowhere}", "Unknown CSIDL: {Nowhere}, known names are:\nCommonAdmintools\nCommonAppdata\n"
                     "CommonDocuments\nProgramFiles\nProgramFilesX86\nProgramFilesCommon\n"
                     "ProgramFilesCommonX86\nWindows\nWindowsSystem32\nWindowsSystem32X86\nProfiles\n"
                     "ProgramFilesX64\n"},
      {u"[mail]", "Component mail isn't supported"},
  };
  for (const auto& [path, message] : failures)
    EXPECT_EQ(failureOf([&] { basePaths(helper, path); }).message, message) << u8(path);
}

// The verbose switch on (DebugSecuritySettings) is what makes the commit log its steps:
// Commit.LogsItsStepsAndAWebUserDirectoryUsesThatUsersFile reads them.
TEST(DefaultSystemHelper, FoldersFollowTheRegistryAndNothingIsVerboseByDefault) {
  DefaultSystemHelper helper;
  ScopedRegistry registry;
  EXPECT_EQ(helper.getSpecialFolderPath(0x2A), u"C:\\Program Files (x86)");
  EXPECT_EQ(helper.getSpecialFolders().at(u"WindowsSystem32X64"), u"C:\\Windows\\System32");
  EXPECT_FALSE(helper.isVerbose());
  registry.write("[HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion]\n"
                 "\"SystemRoot\"=\"D:\\\\Win\"\n");
  EXPECT_EQ(helper.getSpecialFolderPath(0x24), u"D:\\Win");
  EXPECT_NE(failureOf([&] { helper.getSpecialFolderPath(0x99); }).message, "");
}

} // namespace
