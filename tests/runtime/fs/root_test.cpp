// Confinement of full paths and roots through a site user's links. Which relative paths from
// input stay inside their base is the grammar's (Root.RelativePathsThatWouldLeaveARootAreRefused in
// tests/os); paths that leave a root through ".." or a drive are refused with their message in
// DeleteApplication.HostileEntriesRemoveNothing and Walk.ConfinedToTheSiteAndThePackage.
#include <sys/stat.h>
#include <unistd.h>

#include <functional>

#include "runtime/fs/files.h"
#include "runtime/fs/root.h"
#include "tests/runtime/fs/fs_testing.h"

using fs_testing::DriveTest;
using fs_testing::failureOf;
using fs_testing::snapshot;
using testing_support::u8;
using testing_support::writeFile;
namespace stdfs = std::filesystem;

namespace {

// A site owned by a real user; the decoy beside it is root's.
class RootTest : public DriveTest {
protected:
  void SetUp() override {
    if (geteuid() != 0) GTEST_SKIP() << "links owned by a site user need root and useradd";
    ASSERT_TRUE(user_.ok());
    writeFile(host("decoy/victim"), "decoy");
    writeFile(host("decoy/victimdir/inner"), "decoy");
    chmod(host("decoy/victim").c_str(), 0466);
    writeFile(host("site/app/index.php"), "site");
    for (const char* owned : {"site", "site/app", "site/app/index.php"})
      ASSERT_EQ(lchown(host(owned).c_str(), user_.uid(), user_.gid()), 0);
    decoy_ = snapshot(host("decoy"));
  }
  // A link made by the site user.
  void userLink(const std::string& target, const std::string& link) {
    ASSERT_EQ(symlink(target.c_str(), host(link).c_str()), 0);
    ASSERT_EQ(lchown(host(link).c_str(), user_.uid(), user_.gid()), 0);
  }
  void expectDecoyUntouched() {
    EXPECT_EQ(snapshot(host("decoy")), decoy_);
    EXPECT_EQ(fs_testing::ownerAndMode(host("decoy/victim")), "0 466");
  }

  testing_support::ScopedUser user_;
  std::string decoy_;
};

// In the site user's directory any link is the user's to place, root's own included: no full
// path and no root goes through one, and below a root no link is followed.
TEST_F(RootTest, NothingGoesThroughALinkInTheSite) {
  userLink(host("decoy"), "site/app/data");
  ASSERT_EQ(symlink(host("decoy").c_str(), host("site/app/rootlink").c_str()), 0);
  for (const std::string link : {"site/app/data", "site/app/rootlink"}) {
    std::string refused;
    for (const auto& call : std::vector<std::function<void()>>{
             [&] { removeFile(win(link + "/victim"), true); },
             [&] { removeDir(win(link + "/victimdir"), true); },
             [&] { RunTime::File::Root root(win(link)); },
             [&] { RunTime::File::Root root(win(link + "/victimdir")); }}) {
      const fs_testing::Failure f = failureOf(call);
      refused += std::to_string(f.code) + " " + f.context + "|";
    }
    EXPECT_EQ(refused, "448 removeFile|448 removeDir|448 RunTime::File::Root|448 RunTime::File::Root|") << link;
  }
  RunTime::File::Root site(win("site"));
  EXPECT_EQ(failureOf([&] { site.removeDir(u"app\\rootlink\\victimdir", true); }).code, 448u);
  EXPECT_EQ(failureOf([&] { site.removeFile(u"app\\data\\victim", true); }).code, 448u);
  site.removeDir(u"app\\rootlink", true); // the link itself goes
  EXPECT_FALSE(stdfs::exists(stdfs::symlink_status(host("site/app/rootlink"))));
  // The root itself is not emptied through the root; ".." that stays inside is fine.
  EXPECT_EQ(failureOf([&] { site.removeDir(u"app\\..", true); }).code, 123u);
  site.removeFile(u"app\\lib\\..\\index.php", true);
  EXPECT_FALSE(stdfs::exists(host("site/app/index.php")));
  expectDecoyUntouched();
}

TEST_F(RootTest, CopiesBetweenRootsStayInThem) {
  writeFile(host("pkg/lib/a.php"), "a");
  RunTime::File::Root package(win("pkg"));
  RunTime::File::Root site(win("site"));
  site.copyDirectory(package, u"lib", u"app\\lib", true, false, true);
  EXPECT_EQ(testing_support::readFile(host("site/app/lib/a.php")), "a");
  // Neither end of a copy leaves its root: the source is checked against the package's.
  EXPECT_EQ(failureOf([&] { site.copyDirectory(package, u"..\\decoy", u"app", true, false, true); }).context,
            "RunTime::File::Root::check");
  EXPECT_EQ(failureOf([&] { site.copyDirectory(package, u"lib", u"..\\decoy", true, false, true); }).context,
            "RunTime::File::Root::check");
  expectDecoyUntouched();
}

} // namespace
