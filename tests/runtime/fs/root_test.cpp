// Confinement of full paths and roots through a site user's links. Which relative paths from
// input stay inside their base is the grammar's (Root.RelativePathsThatWouldLeaveARootAreRefused in
// tests/os); paths that leave a root through ".." or a drive are refused with their message in
// DeleteApplication.HostileEntriesRemoveNothing and Walk.ConfinedToTheSiteAndThePackage. Each step
// of a full path is judged in Root.FullPathsGoOnlyBySafeSteps (tests/os), and a root that the panel
// names through a link fails in HostilePaths.ARootLinkMovedIntoThePanelsPathIsNotFollowed
// (tests/e2e). Here: what the wrappers make of a refused step, once each.
#include <unistd.h>

#include "runtime/fs/files.h"
#include "runtime/fs/root.h"
#include "tests/runtime/fs/fs_testing.h"

using fs_testing::describe;
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
    writeFile(host("site/app/index.php"), "site");
    for (const char* owned : {"site", "site/app", "site/app/index.php"})
      ASSERT_EQ(lchown(host(owned).c_str(), user_.uid(), user_.gid()), 0);
    decoy_ = snapshot(host("decoy"));
  }
  void expectDecoyUntouched() { EXPECT_EQ(snapshot(host("decoy")), decoy_); }

  testing_support::ScopedUser user_;
  std::string decoy_;
};

// In the site user's directory any link is the user's to place, root's own included: no full
// path goes through one, and below a root no link is followed. The root itself is not emptied
// through the root; ".." that stays inside is fine.
TEST_F(RootTest, NothingGoesThroughALinkInTheSite) {
  ASSERT_EQ(symlink(host("decoy").c_str(), host("site/app/rootlink").c_str()), 0);
  EXPECT_EQ(describe(failureOf([&] { removeFile(win("site/app/rootlink/victim"), true); })),
            "448 removeFile at DeleteFile '\\\\?\\" + u8(win("site/app/rootlink/victim")) + "'");
  EXPECT_EQ(describe(failureOf([&] { removeDir(win("site/app/rootlink/victimdir"), true); })),
            "448 removeDir at Delete directory '\\\\?\\" + u8(win("site/app/rootlink/victimdir")) + "'");
  RunTime::File::Root site(win("site"));
  EXPECT_EQ(failureOf([&] { site.removeFile(u"app\\rootlink\\victim", true); }).code, 448u);
  EXPECT_EQ(failureOf([&] { site.removeDir(u"app\\..", true); }).code, 123u);
  site.removeFile(u"app\\lib\\..\\index.php", true);
  EXPECT_FALSE(stdfs::exists(host("site/app/index.php")));
  expectDecoyUntouched();
}

TEST_F(RootTest, CopiesBetweenRootsStayInThem) {
  writeFile(host("pkg/lib/a.php"), "a");
  RunTime::File::Root package(win("pkg"));
  RunTime::File::Root site(win("site"));
  // Neither end of a copy leaves its root: the source is checked against the package's.
  EXPECT_EQ(failureOf([&] { site.copyDirectory(package, u"..\\decoy", u"app", true, false, true); }).context,
            "RunTime::File::Root::check");
  EXPECT_EQ(failureOf([&] { site.copyDirectory(package, u"lib", u"..\\decoy", true, false, true); }).context,
            "RunTime::File::Root::check");
  expectDecoyUntouched();
}

} // namespace
