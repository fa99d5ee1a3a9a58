#include "security/hosting/security_manager.h"

#include <unistd.h>

#include <gtest/gtest.h>

#include "security/disk/vocabulary.h"
#include "tests/security/disk/fake_system_helper.h"
#include "tests/security/hosting/commit_fixture.h"
#include "tests/support/failure.h"

using namespace testing_support;
using HostingSecurity::ManagerPathCache;
using HostingSecurity::SecurityManager;
namespace fs = std::filesystem;

namespace {

// The managers ask the process's service for the virtual hosts directory; each test's log starts empty.
class Manager : public ::testing::Test {
protected:
  void SetUp() override { HostingEnvironment::get().log->take(); }
};

// Of each path: "root | relative path | first component | metadata file". A web user's directory
// and its file are Commit.LogsItsStepsAndAWebUserDirectoryUsesThatUsersFile's.
TEST_F(Manager, RootRelativePathAndMetadataFileOfAPath) {
  const std::pair<std::u16string, std::string> cases[] = {
      {u"C:\\vhosts", "C:\\vhosts |  |  | C:\\vhosts\\.Security"},
      {u"C:\\vhosts\\site1\\Web_Users\\bob",
       "C:\\vhosts | site1\\Web_Users\\bob | site1 | C:\\vhosts\\site1\\.kelvo\\.Security"},
      {u"C:/VHOSTS//site1\\docs/", "C:\\vhosts | site1\\docs | site1 | C:\\vhosts\\site1\\.kelvo\\.Security"},
      {u"C:\\other\\x", "C:\\other\\x |  |  | C:\\other\\x\\.Security"},
  };
  for (const auto& [path, expected] : cases) {
    SecurityManager manager(path, false, nullptr, HostingSecurity::virtualHostsDirectory());
    EXPECT_EQ(u8(manager.getRootPath()) + " | " + u8(manager.getRootRelativePath(path, false)) + " | " +
                  u8(manager.getRootRelativePath(path, true)) + " | " + u8(manager.getMetadataLocation()),
              expected);
  }
  EXPECT_TRUE(has(HostingEnvironment::get().log->take(), "Info: Root path is C:\\other\\x"));
}

TEST_F(Manager, CacheKeepsTheManagerOfOneMetadataFile) {
  ManagerPathCache cache(nullptr);
  auto first = cache.getManagerByPath(u"C:\\vhosts\\cached\\httpdocs\\a");
  EXPECT_EQ(cache.getManagerByPath(u"C:/vhosts/cached/httpdocs/b/"), first);
  EXPECT_NE(cache.getManagerByPath(u"C:\\vhosts\\second\\httpdocs"), first);
  auto again = cache.getManagerByPath(u"C:\\vhosts\\cached\\httpdocs\\a");
  EXPECT_NE(again, first);
  EXPECT_NE(cache.getManagerByPath(u"C:\\vhosts\\cached\\web_users\\bob"), again);
}

// A later rule for the account and path replacing the earlier one, a denial a grant as well, is
// tests/e2e/extract_test.cpp's UpdateWarnsAboutMissingFilesAndTakesTheLaterRule.
TEST_F(Manager, PathsAndEntriesOutsideTheRootAreRefused) {
  const RunTime::Sid everyone = DiskSecurity::wellKnownAccount(u"Everyone");
  const RunTime::Sid system = DiskSecurity::wellKnownAccount(u"System");
  auto lines = [](const SecurityManager& manager) { return entryLines(manager.entries()); };
  SecurityManager manager(u"C:\\vhosts\\entries\\httpdocs", false, nullptr, u"C:\\vhosts");
  for (const std::u16string path : {u"C:\\elsewhere", u"C:\\vhost", u"C:\\"})
    EXPECT_EQ(failureOf([&] { manager.getRootRelativePath(path, false); }).message,
              "Invalid full path '" + u8(path) + "' and root 'C:\\vhosts' correlation.");
  manager.addAccessEntry(u"app", everyone, 0x1F01FF, 3, true);
  manager.addAccessEntry(u"/app//x/../", everyone, 0x1F01FF, 3, true);
  manager.addAccessEntry(u"app", system, 0x1F01FF, 3, false);
  EXPECT_EQ(lines(manager), (std::vector<std::string>{
                                "S-1-1-0 \\Everyone [HTTPD_VHOSTS_D] [entries\\httpdocs\\app] 3 2032127 0 [][]",
                                "S-1-5-18 \\System [HTTPD_VHOSTS_D] [entries\\httpdocs\\app] 3 2032127 1 [][]"}));
  SecurityManager ownRoot(u"C:\\other\\root", false, nullptr, u"C:\\vhosts");
  ownRoot.addAccessEntry(u"x", everyone, 0x1F01FF, 3, true);
  EXPECT_EQ(lines(ownRoot), (std::vector<std::string>{"S-1-1-0 \\Everyone C:\\other\\root [x] 3 2032127 0 [][]"}));
  // A path that would leave the manager's directory is refused before anything is recorded.
  EXPECT_THROW(ownRoot.addAccessEntry(u"..\\elsewhere", everyone, 0x1F01FF, 3, true), vexception);
  EXPECT_EQ(lines(ownRoot).size(), 1u);
}

// Commits as root on a real site tree: what is logged and stored, and the web users' files. The ACLs an extraction's grant and denial leave on every object, the
// owner's bits kept, nothing written twice and two commands saving one file at once are
// tests/e2e/extract_test.cpp's; links, hard links and swaps tests/e2e/hostile_paths_test.cpp's;
// the checker's decisions tests/security/disk's.

class Commit : public ::testing::Test {
protected:
  void SetUp() override {
    if (geteuid() != 0) GTEST_SKIP() << "commits write trusted attributes and ACLs: needs root";
    ASSERT_TRUE(user_.ok() && group_.ok());
    sid_ = DiskSecurity::DefaultSystemHelper().getAccount(os::utf16FromUtf8(group_.name()), u"");
    env().log->take();
  }

  HostingEnvironment& env() { return HostingEnvironment::get(); }
  std::string site(const std::string& name) { return env().host("vhosts/" + name); }

  // Below the site's `root`: a directory d0 of two files, all the site user's.
  void makeApp(const std::string& site, const std::string& root) {
    for (const char* file : {"/d0/f0.txt", "/d0/f1.txt"}) writeFile(this->site(site) + "/" + root + file, "x");
    const std::string owner = std::to_string(user_.uid()) + ":" + std::to_string(user_.gid());
    EXPECT_EQ(runProcess({"/usr/bin/chown", "-R", owner, this->site(site)}).exitCode, 0);
  }
  std::string groupLine(const std::string& perms) { return "group:" + group_.name() + ":" + perms; }

  ScopedUser user_;  // the site user
  ScopedGroup group_; // its worker group
  RunTime::Sid sid_;
};

// What a commit logs, the list it writes included; a web user's directory has that user's file.
// That the grant reaches every object, is stored and is written again after drift is
// tests/e2e/extract_test.cpp's.
TEST_F(Commit, LogsItsStepsAndAWebUserDirectoryUsesThatUsersFile) {
  const std::string domain = site("site2");
  makeApp("site2", "httpdocs/app");
  makeApp("site2", "web_users/bob/app");
  const std::u16string bobApp = u"C:\\vhosts\\site2\\web_users\\bob\\app";
  auto bob = ManagerPathCache(nullptr).getManagerByPath(bobApp);
  bob->addAccessEntry(u"", sid_, 0x1F01FF, 3, true);
  bob->commit(bobApp);

  // The dump names accounts by SID: the ACEs read back carry no names.
  const std::string appText = "C:\\vhosts\\site2\\web_users\\bob\\app", sid = u8(sid_.toSidString());
  std::string items;
  for (const char* onto : {"0, apply onto ThisObject", "1, apply onto Files", "2, apply onto SubFolders"})
    items += "Index " + std::string(onto) + ", type Allow, account " + sid + ", access 1F01FF[3], key " + sid + "\n";
  const std::vector<std::string> log = env().log->take();
  for (const std::string& line : {"Commiting file system security changes for path " + appText + ", root path: C:\\vhosts",
                                  "Checking security for path " + appText + " using fast algorithm",
                                  "Generating ACL for path " + appText, "No children security entries found for path " + appText,
                                  "Setting inherited security " + items + " to " + appText,
                                  std::string("File system security changes applied successfully")})
    EXPECT_TRUE(has(log, "Info: " + line)) << line;
  EXPECT_TRUE(fs::exists(domain + "/.kelvo/.Web.bob.Security"));
  EXPECT_FALSE(fs::exists(domain + "/.kelvo/.Security"));

  // The domain's commit enters bob's directory with bob's entries: the domain's entry there
  // is not the one that applies.
  auto site = ManagerPathCache(nullptr).getManagerByPath(u"C:\\vhosts\\site2");
  site->addAccessEntry(u"httpdocs\\app", sid_, 0x1200A9, 3, true);
  site->addAccessEntry(u"web_users\\bob\\app\\d0", sid_, 0x1200A9, 3, true);
  site->commit(u"C:\\vhosts\\site2");
  EXPECT_TRUE(has(facl(domain + "/httpdocs/app/d0"), groupLine("r-x")));
  EXPECT_TRUE(has(facl(domain + "/web_users/bob/app/d0"), groupLine("rwx")));
  EXPECT_TRUE(has(env().log->take(),
                  "Info: Loading new security metadata from "
                  "C:\\vhosts\\site2\\.kelvo\\.Web.bob.Security, old storage was "
                  "C:\\vhosts\\site2\\.kelvo\\.Security"));
}

} // namespace
