#include "runtime/security/access.h"

#include <gtest/gtest.h>
#include <pwd.h>
#include <unistd.h>

#include <filesystem>
#include <map>
#include <regex>

#include "os/impersonation.h"
#include "runtime/security/stored_security.h"
#include "tests/runtime/security/model/security_testing.h"
#include "tests/security/disk/acl_lines.h"
#include "tests/support/failure.h"

using namespace security_testing;
using namespace testing_support;
using namespace RunTime;
namespace fs = std::filesystem;

namespace {

using Lines = std::vector<std::string>;

// getfacl's entries, "#effective" after one space.
Lines getfacl(const std::string& path) {
  Lines lines = facl(path);
  for (std::string& line : lines) line = std::regex_replace(line, std::regex("\t+"), " ");
  return lines;
}

std::u16string win(std::string path) {
  std::replace(path.begin(), path.end(), '/', '\\');
  return wide(path);
}

// What the object's DACL reads as, or "error <code>".
Lines daclOf(const std::string& path) {
  os::Result<os::SecurityObject> object = securityObjectAt(path);
  if (!object.ok()) return {"error " + std::to_string(object.code())};
  os::Result<Acl> dacl = readDacl(object.value());
  return dacl.ok() ? entriesOf(dacl.value()) : Lines{"error " + std::to_string(dacl.code())};
}

constexpr std::uint32_t ALL = 0x1F01FF;
constexpr std::uint32_t READ_EXECUTE = 0x1200A9;
const char* const kAdmins = "S-1-5-32-544";

// A site tree owned by a created user, a created worker group G, as root on a file system with
// trusted extended attributes and POSIX ACLs:
//   site/ (755)  old.txt (644)  sub/ (755)  sub/inner.txt (644)  prot/ (755)  prot/file.txt (644)
class AccessTree : public ::testing::Test {
protected:
  void SetUp() override {
    if (geteuid() != 0) GTEST_SKIP() << "the descriptor store and created accounts need root";
    const std::string probe = tmp.file("probe");
    writeFile(probe, "");
    if (runProcess({"/usr/bin/setfattr", "-n", "trusted.tavrix.probe", "-v", "1", probe}).exitCode ||
        runProcess({"/usr/bin/setfacl", "-m", "u:0:r", probe}).exitCode)
      GTEST_SKIP() << "the file system of " << tmp.path() << " keeps no trusted attributes or no POSIX ACLs";
    ASSERT_TRUE(group.ok() && user.ok());
    for (const char* file : {"/old.txt", "/sub/inner.txt", "/prot/file.txt"}) writeFile(site + file, "x");
    for (const auto& entry : fs::recursive_directory_iterator(site))
      fs::permissions(entry.path(), entry.is_directory() ? fs::perms(0755) : fs::perms(0644));
    fs::permissions(site, fs::perms(0755));
    fs::permissions(tmp.path(), fs::perms(0711)); // the site user reaches the site
    ASSERT_EQ(runProcess({"/usr/bin/chown", "-R", user.name() + ":", site}).exitCode, 0);
  }

  // Runs the command as the account, in the groups the account database gives it.
  ProcessResult runAs(const std::string& account, const std::string& group, std::vector<std::string> command) {
    command.insert(command.begin(), {"/usr/bin/setpriv", "--reuid=" + account, "--regid=" + group, "--init-groups"});
    return runProcess(command);
  }

  std::vector<std::u16string> grant(const std::string& path) {
    return Access::setSecurity(win(path), Access::SE_FILE_OBJECT, dacl({ace(0, 3, ALL, groupSid().c_str())}));
  }

  TempDir tmp;
  ScopedGroup group;
  ScopedUser user;
  const std::string site = tmp.file("site");
  std::string G() const { return "group:" + group.name(); }
  std::string groupSid() const { return "S-1-22-2-" + std::to_string(group.gid()); }
};

// Before the grant sub carries an entry of its own (not protected), prot a protected one: both
// keep it, and only sub takes the grant in. Afterwards the site user cuts a file's access down
// behind the tool: a read sees the cut-down access, the next write repairs it.
TEST_F(AccessTree, AGrantReachesTheTreeAndFilesCreatedLaterAndRepairsWhatWasCutDown) {
  os::SecurityObject sub = std::move(securityObjectAt(site + "/sub").value());
  ASSERT_TRUE(writeDacl(sub, dacl({ace(0, 0, READ_EXECUTE, kAdmins)}), false).ok()); // not protected
  Access::setSecurity(win(site + "/prot"), Access::SE_FILE_OBJECT,
                      dacl({ace(0, 3, READ_EXECUTE, kAdmins)}));
  EXPECT_TRUE(grant(site).empty());
  EXPECT_EQ(getfacl(site + "/sub"),
            (Lines{"user::rwx", "group::r-x", "group:root:r-x", G() + ":rwx", "mask::rwx",
                   "other::r-x", "default:user::rwx", "default:group::r-x",
                   "default:" + G() + ":rwx", "default:mask::rwx", "default:other::r-x"}));
  EXPECT_EQ(getfacl(site + "/prot/file.txt"),
            (Lines{"user::rw-", "group::r--", "group:root:r-x", "mask::r-x", "other::r--"}));
  // A file the site user makes takes the site's default ACL (the kernel's doing); what a read
  // makes of it is below.
  ASSERT_EQ(runAs(user.name(), user.name(), {"/usr/bin/touch", site + "/new.txt"}).exitCode, 0);

  const std::string inherited = "0/10/1f01ff/" + groupSid();
  const std::pair<std::string, Lines> reads[] = {
      {site, {"0/3/1f01ff/" + groupSid()}},
      {site + "/sub", {"0/0/1200a9/S-1-5-32-544", "0/13/1f01ff/" + groupSid()}},
      {site + "/prot", {"0/3/1200a9/S-1-5-32-544"}},
      {site + "/old.txt", {inherited}},
      {site + "/new.txt", {inherited}},
  };
  for (const auto& [path, expected] : reads) EXPECT_EQ(daclOf(path), expected) << path;

  const std::string file = site + "/sub/inner.txt";
  ASSERT_EQ(runAs(user.name(), user.name(), {"chmod", "644", file}).exitCode, 0);
  EXPECT_EQ(daclOf(file), (Lines{"0/0/1f01ff/S-1-22-1-" + std::to_string(user.uid()),
                                 "0/0/1200a9/S-1-22-2-" + std::to_string(user.gid()),
                                 "0/0/1200a9/" + groupSid(), "0/0/1200a9/S-1-1-0"}));
  grant(site);
  EXPECT_EQ(getfacl(file),
            (Lines{"user::rw-", "group::r--", G() + ":rwx", "mask::rwx", "other::r--"}));
  EXPECT_EQ(daclOf(file), (Lines{inherited}));
}

TEST_F(AccessTree, WhatWasWrittenReadsBackAndDeletedAccountsAreDropped) {
  // The SID of a uid that no account has, as a deleted account leaves it behind (one deleted here
  // could be given again to an account another test creates meanwhile).
  std::uint32_t uid = 3999999999u;
  while (getpwuid(uid)) --uid;
  const std::string gone = "S-1-22-1-" + std::to_string(uid);
  const std::string owner = "S-1-22-1-" + std::to_string(user.uid());
  Access::setSecurity(
      win(site), Access::SE_FILE_OBJECT,
      dacl({ace(1, 0, 0x120116, owner.c_str()), ace(0, 0, READ_EXECUTE, owner.c_str()),
            ace(0, 3, ALL, gone.c_str()), ace(0, 3, ALL, groupSid().c_str()),
            ace(0, 0, 0x120089, "S-1-1-0"), ace(0, 9, READ_EXECUTE, kAdmins)}));
  EXPECT_EQ(daclOf(site),
            (Lines{"1/0/120116/" + owner, "0/0/1200a9/" + owner, "0/3/1f01ff/" + groupSid(),
                   "0/0/120089/S-1-1-0", "0/9/1200a9/S-1-5-32-544"}));
  EXPECT_EQ(daclOf(site + "/sub"),
            (Lines{"0/13/1f01ff/" + groupSid(), "0/19/1200a9/S-1-5-32-544"}));
  EXPECT_EQ(getfacl(site),
            (Lines{"user::r-x", "group::r-x", G() + ":rwx", "mask::rwx", "other::r--",
                   "default:user::rwx", "default:group::r-x", "default:group:root:r-x",
                   "default:" + G() + ":rwx", "default:mask::rwx", "default:other::r-x"}));
}

// A write below which the tree is large enough to be shared among threads projects, and names
// the hard links it left alone, as one thread does.
TEST_F(AccessTree, AWriteSharedAmongThreadsIsOneThreadsWrite) {
  fs::create_directories(tmp.file("outside"));
  for (int i = 0; i < 6 * 6 * 6; ++i) { // sub/<0-5>/<0-5>/<0-5>/f, each sixth linked from outside
    const std::string f = site + "/sub/" + std::to_string(i / 36) + "/" + std::to_string(i / 6 % 6) + "/" +
                          std::to_string(i % 6) + "/f";
    writeFile(f, "x");
    if (i % 6 == 0) fs::create_hard_link(f, tmp.file("outside/" + std::to_string(i / 6)));
  }
  std::map<std::string, std::pair<std::string, std::vector<std::u16string>>> written;
  for (const char* threads : {"1", "8"}) {
    ASSERT_EQ(runProcess({"/usr/bin/setfacl", "-R", "-b", site}).exitCode, 0);
    runProcess({"/usr/bin/setfattr", "-x", "trusted.tavrix.ntacl", site});
    const ScopedEnv walkThreads("TAVRIX_WALK_THREADS", threads);
    std::vector<std::u16string> skipped = grant(site);
    written[threads] = {runProcess({"/usr/bin/getfacl", "-R", "-p", site}).out, std::move(skipped)};
  }
  EXPECT_EQ(written["1"].second.size(), 36u);
  EXPECT_NE(written["1"].first.find("# file: " + site + "/sub/5/5/5/f\n# owner: root\n# group: root\nuser::rw-\ngroup::r--\n" + G() + ":rwx"),
            std::string::npos);
  EXPECT_EQ(written["8"], written["1"]);
}

TEST_F(AccessTree, LinksToADecoyAreNeverFollowed) {
  const std::string decoy = tmp.file("decoy");
  for (const char* file : {"/secret.txt", "/dir/x", "/linked"}) writeFile(decoy + file, "s");
  fs::permissions(decoy + "/linked", fs::perms(0640));
  fs::create_directory_symlink(decoy, site + "/link");
  fs::create_symlink(decoy + "/secret.txt", site + "/sub/filelink");
  fs::create_hard_link(decoy + "/linked", site + "/sub/hard.txt");
  const std::string before = runProcess({"/usr/bin/getfacl", "-R", "-p", decoy}).out;

  EXPECT_EQ(grant(site), (std::vector<std::u16string>{win(site + "/sub/hard.txt")}));
  // By its own full path root's file in the user's directory is not reached at all.
  EXPECT_EQ(failureOf([&] { grant(site + "/sub/hard.txt"); }).code, 448u);
  Failure owner =
      failureOf([&] { Access::setOwner(win(site + "/sub/hard.txt"), Access::SE_FILE_OBJECT); });
  EXPECT_EQ(owner.code, 448u) << owner.message;
  EXPECT_EQ(runProcess({"/usr/bin/getfacl", "-R", "-p", decoy}).out, before);
  EXPECT_EQ(runProcess({"/usr/bin/stat", "-c", "%U %a", decoy + "/linked"}).out, "root 640\n");
}

TEST_F(AccessTree, AWriteRefusedEvenAfterTheTakeOverFails) {
  const std::string file = site + "/old.txt";
  ASSERT_EQ(runProcess({"/usr/bin/chattr", "+i", file}).exitCode, 0);
  Failure f = failureOf([&] { grant(file); });
  runProcess({"/usr/bin/chattr", "-i", file});
  EXPECT_TRUE(f.message.ends_with("at Unable to set the object (" + u8(win(file)) + ") security info")) << f.message;
  EXPECT_EQ(f.code, 5u);
}

// A named user keeps what its groups are granted (POSIX lets the first matching class decide):
// the member is in the group through the account database (a supplementary group), and its own
// entry carries the group's read.
TEST_F(AccessTree, AGroupsGrantReachesItsNamedMembers) {
  ScopedGroup own;
  ScopedUser member{own, {&group}};
  ASSERT_TRUE(own.ok() && member.ok());
  const std::string file = tmp.file("secret.txt"), memberSid = "S-1-22-1-" + std::to_string(member.uid());
  writeFile(file, "secret\n");
  fs::permissions(file, fs::perms(0600));
  Access::setSecurity(win(file), Access::SE_FILE_OBJECT,
                      dacl({ace(0, 0, 0x120089, groupSid().c_str()), ace(0, 0, 0x120116, memberSid.c_str())}));
  EXPECT_EQ(getfacl(file), (Lines{"user::rw-", "user:" + member.name() + ":rw-", "group::---", G() + ":r--",
                                  "mask::rw-", "other::---"}));
  // What was projected holds when read: the DACL reads back as written, not as drifted.
  EXPECT_EQ(daclOf(file), (Lines{"0/0/120089/" + groupSid(), "0/0/120116/" + memberSid}));
}

// The model says what failed in its own terms (the model's tests check those); what leaves
// runtime/security is the system's OS error: the host's message, and the exception class the
// code selects.
TEST(SecurityModelFailures, LeaveTheLayerAsTheSystemsErrors) {
  os::SecurityState stored;
  stored.hasDescriptor = true;
  stored.descriptor = {1, 0, 4};
  const Failure f = failureOf([&] { governingDacl(stored, Acl::none()); });
  EXPECT_EQ(f.code, 1338u);
  EXPECT_EQ(f.message, u8(osErrorMessage(1338, u"Unable to read the self-relative security descriptor")));
  EXPECT_EQ(f.context, "RunTime::SecurityDescriptor::fromSelfRelative");
}

TEST(AccessToken, PrivilegesFollowTheThreadsCredentials) {
  if (geteuid() != 0) GTEST_SKIP() << "acting as another account needs root";
  EXPECT_TRUE(Access::privilegeExist(u"SeTakeOwnershipPrivilege"));
  EXPECT_TRUE(Access::privilegeExist(u"sechangenotifyprivilege"));
  Access::enablePrivilege(u"SeTakeOwnershipPrivilege");
  Failure unknown = failureOf([] { Access::privilegeExist(u"SeNoSuchPrivilege"); });
  EXPECT_TRUE(unknown.message.ends_with("at The privilege (SeNoSuchPrivilege) is not found"));
  EXPECT_EQ(unknown.code, 1313u);

  ASSERT_EQ(os::impersonateOnThread({4321, 4322, {4323, 4322}}), 0u);
  bool held = Access::privilegeExist(u"SeTakeOwnershipPrivilege");
  Failure enable = failureOf([] { Access::enablePrivilege(u"SeTakeOwnershipPrivilege"); });
  ASSERT_EQ(os::revertToSelf(), 0u);
  EXPECT_FALSE(held);
  EXPECT_TRUE(enable.message.ends_with("at Unable to adjust privilege (SeTakeOwnershipPrivilege)"));
  EXPECT_EQ(enable.code, 1300u);
}

} // namespace
