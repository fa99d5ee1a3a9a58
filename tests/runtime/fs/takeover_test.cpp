// The take-over of forced removals as the tool makes them: only on a denied access, on the
// thread's file-system user, and what it leaves alone. Which objects a take-over changes (the
// kind asked for, one link, never a link) is
// Files.TakeOverChangesOnlyTheKindItWasAskedForWithOneLink's (tests/os).
#include <sys/mount.h>
#include <unistd.h>

#include "os/impersonation.h"
#include "runtime/fs/files.h"
#include "tests/runtime/fs/fs_testing.h"
#include "tests/support/captured_log.h"

using fs_testing::describe;
using fs_testing::DriveTest;
using fs_testing::failureOf;
using fs_testing::ownerAndMode;
using testing_support::u8;
using testing_support::writeFile;
namespace stdfs = std::filesystem;

namespace {

class TakeOverTest : public DriveTest {
protected:
  void SetUp() override {
    if (geteuid() != 0) GTEST_SKIP() << "owners of other accounts need root and useradd";
    ASSERT_TRUE(user_.ok());
    // The site user must be able to reach the trees below the drive.
    chmod(root_.path().c_str(), 0755);
  }
  void own(const std::string& relative, mode_t mode) {
    ASSERT_EQ(lchown(host(relative).c_str(), user_.uid(), user_.gid()), 0);
    ASSERT_EQ(chmod(host(relative).c_str(), mode), 0);
  }

  testing_support::ScopedUser user_;
};

// As the site user: without force an unreadable directory is the failure (never an empty
// directory whose removal then fails); with force it is taken over and the removal goes on. A
// file whose deletion is denied but that has a second link is left, and the warning says so.
TEST_F(TakeOverTest, ForceTakesOverWhatTheSiteUserCannotRemoveButNoHardLink) {
  writeFile(host("home/site/locked/f"), "x");
  own("home", 0755);
  own("home/site", 0755);
  own("home/site/locked/f", 0644);
  own("home/site/locked", 0);
  writeFile(host("shared/file"), "x");
  ASSERT_EQ(link(host("shared/file").c_str(), host("shared/second").c_str()), 0);
  const std::u16string site = os::utf16FromUtf8(host("home/site")), shared = os::utf16FromUtf8(host("shared/file"));
  testing_support::CapturedLog log;
  // On this thread, as the tool acts for a site user.
  ASSERT_EQ(os::impersonateOnThread({user_.uid(), user_.gid(), {}}), 0u);
  std::string outcome = describe(failureOf([&] { removeDir(site, false); }));
  outcome += "|" + describe(failureOf([&] { removeDir(site, true); }));
  outcome += "|" + describe(failureOf([&] { removeFile(shared, true); }));
  ASSERT_EQ(os::revertToSelf(), 0u);
  for (const std::string& line : log.lines()) outcome += "|" + line;
  EXPECT_EQ(outcome, "5 removeDir at Delete directory '" + host("home/site/locked") +
                        "'|ok|5 removeFile at DeleteFile '" + host("shared/file") + "'|1 Take-over of '" +
                        host("shared/file") + "' skipped: it has more than one hard link");
  EXPECT_FALSE(stdfs::exists(host("home/site")));
}

TEST_F(TakeOverTest, AMountPointIsLeftAloneAndItsParentKeepsItsOwner) {
  writeFile(host("elsewhere/keep"), "keep");
  writeFile(host("site/a/file"), "x");
  stdfs::create_directories(host("site/a/mnt"));
  own("site/a", 0750);
  ASSERT_EQ(mount(host("elsewhere").c_str(), host("site/a/mnt").c_str(), nullptr, MS_BIND,
                  nullptr),
            0);
  struct Unmount {
    std::string path;
    ~Unmount() { umount2(path.c_str(), MNT_DETACH); }
  } unmount{host("site/a/mnt")};
  testing_support::CapturedLog log;
  // The mount point's directory is not empty, which no take-over cures: the directory above it
  // keeps its owner and mode.
  EXPECT_EQ(describe(failureOf([&] { removeDir(win("site"), true); })), "145 removeDir at Delete directory '\\\\?\\" + u8(win("site/a")) + "'");
  EXPECT_EQ(log.lines(), std::vector<std::string>{"1 '\\\\?\\" + u8(win("site/a/mnt")) +
                                                "' is a mount point: what it holds is left alone"});
  EXPECT_EQ(testing_support::readFile(host("elsewhere/keep")), "keep");
  EXPECT_FALSE(stdfs::exists(host("site/a/file")));
  EXPECT_EQ(ownerAndMode(host("site/a")), std::to_string(user_.uid()) + " 750");
}

} // namespace
