#include "security/hosting/security_manager.h"

#include <gtest/gtest.h>

#include "security/disk/vocabulary.h"
#include "tests/security/disk/fake_system_helper.h"
#include "tests/security/hosting/commit_fixture.h"
#include "tests/support/failure.h"

using namespace testing_support;
using HostingSecurity::ManagerPathCache;
using HostingSecurity::SecurityManager;

namespace {

class Manager : public ::testing::Test {
protected:
  void SetUp() override { HostingEnvironment::get().log->take(); }
  std::vector<std::string> log() { return HostingEnvironment::get().log->take(); }
};

TEST_F(Manager, RootRelativePathAndMetadataFileOfAPath) {
  struct Case {
    std::u16string path;
    std::u16string root;
    std::u16string relative;
    std::u16string first;
    std::u16string metadata;
  } cases[] = {
      {u"C:\\vhosts", u"C:\\vhosts", u"", u"", u"C:\\vhosts\\.Security"},
      {u"C:\\vhosts\\site1\\docs\\app", u"C:\\vhosts", u"site1\\docs\\app", u"site1",
       u"C:\\vhosts\\site1\\.kelvo\\.Security"},
      {u"C:\\vhosts\\site1\\web_users\\bob\\app", u"C:\\vhosts", u"site1\\web_users\\bob\\app",
       u"site1", u"C:\\vhosts\\site1\\.kelvo\\.Web.bob.Security"},
      {u"C:\\vhosts\\site1\\Web_Users\\bob", u"C:\\vhosts", u"site1\\Web_Users\\bob", u"site1",
       u"C:\\vhosts\\site1\\.kelvo\\.Security"},
      {u"C:/VHOSTS//site1\\docs/", u"C:\\vhosts", u"site1\\docs", u"site1", u"C:\\vhosts\\site1\\.kelvo\\.Security"},
      {u"C:\\other\\x", u"C:\\other\\x", u"", u"", u"C:\\other\\x\\.Security"},
  };
  for (const Case& c : cases) {
    SecurityManager manager(c.path, false, nullptr, HostingSecurity::virtualHostsDirectory());
    EXPECT_EQ(u8(manager.getRootPath()), u8(c.root)) << u8(c.path);
    EXPECT_EQ(u8(manager.getRootRelativePath(c.path, false)), u8(c.relative)) << u8(c.path);
    EXPECT_EQ(u8(manager.getRootRelativePath(c.path, true)), u8(c.first)) << u8(c.path);
    EXPECT_EQ(u8(manager.getMetadataLocation()), u8(c.metadata)) << u8(c.path);
  }
  EXPECT_TRUE(has(log(), "Info: Root path is C:\\other\\x"));
}

TEST_F(Manager, PathsOutsideTheRootAreRefused) {
  SecurityManager manager(u"C:\\vhosts\\site1", false, nullptr, u"C:\\vhosts");
  for (const std::u16string path : {u"C:\\elsewhere", u"C:\\vhost", u"C:\\"})
    EXPECT_EQ(failureOf([&] { manager.getRootRelativePath(path, false); }).message,
              "Invalid full path '" + u8(path) + "' and root 'C:\\vhosts' correlation.");
}

TEST_F(Manager, CacheKeepsTheManagerOfOneMetadataFile) {
  ManagerPathCache cache(nullptr);
  auto first = cache.getManagerByPath(u"C:\\vhosts\\cached\\httpdocs\\a");
  auto same = cache.getManagerByPath(u"C:/vhosts/cached/httpdocs/b/");
  EXPECT_EQ(first, same);
  EXPECT_TRUE(has(log(), "Info: SecurityManager for path C:/vhosts/cached/httpdocs/b/ was "
                         "successfully found in cache, metadata location "
                         "C:\\vhosts\\cached\\.kelvo\\.Security"));
  auto other = cache.getManagerByPath(u"C:\\vhosts\\second\\httpdocs");
  EXPECT_NE(other, first);
  EXPECT_TRUE(has(log(), "Info: Unable to find in cache SecurityManager for path "
                         "C:\\vhosts\\second\\httpdocs, cache contains SecurityManager for path "
                         "C:\\vhosts\\cached\\.kelvo\\.Security"));
  auto again = cache.getManagerByPath(u"C:\\vhosts\\cached\\httpdocs\\a");
  EXPECT_NE(again, first);
  auto webUser = cache.getManagerByPath(u"C:\\vhosts\\cached\\web_users\\bob");
  EXPECT_NE(webUser, again);
}

// revokeAccessEntries is called by no command; a later rule for the account and path replacing
// the earlier one, a denial a grant as well, is tests/e2e/extract_test.cpp's
// UpdateWarnsAboutMissingFilesAndTakesTheLaterRule.
TEST_F(Manager, EntriesAddedBelowTheirRootOnly) {
  const RunTime::Sid everyone = DiskSecurity::wellKnownAccount(u"Everyone");
  const RunTime::Sid system = DiskSecurity::wellKnownAccount(u"System");
  auto lines = [](const SecurityManager& manager) { return entryLines(manager.entries()); };
  SecurityManager manager(u"C:\\vhosts\\entries\\httpdocs", false, nullptr, u"C:\\vhosts");
  const std::u16string app = u"app";
  manager.addAccessEntry(app, everyone, 0x1F01FF, 3, true);
  manager.addAccessEntry(u"/app//x/../", everyone, 0x1F01FF, 3, true);
  manager.addAccessEntry(app, system, 0x1F01FF, 3, false);
  EXPECT_EQ(lines(manager), (std::vector<std::string>{
                                "S-1-1-0 \\Everyone [HTTPD_VHOSTS_D] [entries\\httpdocs\\app] 3 2032127 0 [][]",
                                "S-1-5-18 \\System [HTTPD_VHOSTS_D] [entries\\httpdocs\\app] 3 2032127 1 [][]"}));
  SecurityManager ownRoot(u"C:\\other\\root", false, nullptr, u"C:\\vhosts");
  ownRoot.addAccessEntry(u"x", everyone, 0x1F01FF, 3, true);
  EXPECT_EQ(lines(ownRoot),
            (std::vector<std::string>{"S-1-1-0 \\Everyone C:\\other\\root [x] 3 2032127 0 [][]"}));
  // A path that would leave the manager's directory is refused before anything is recorded.
  EXPECT_THROW(ownRoot.addAccessEntry(u"..\\elsewhere", everyone, 0x1F01FF, 3, true), vexception);
  EXPECT_EQ(lines(ownRoot).size(), 1u);
}

} // namespace
