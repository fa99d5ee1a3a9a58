// Commits as root on a real site tree: the ACLs that come out, the metadata files, links and
// hard links to decoys, a link swapped in while the commit runs, drift, and writes counted.
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <thread>

#include <gtest/gtest.h>

#include "os/security_store.h"
#include "security/hosting/security_manager.h"
#include "tests/security/hosting/commit_fixture.h"

using namespace testing_support;
using HostingSecurity::ManagerPathCache;
namespace fs = std::filesystem;

namespace {

// What the tests compare of a decoy: its ACL lines, owner and mode.
std::string fingerprint(const std::string& path) {
  struct stat st {};
  lstat(path.c_str(), &st);
  std::string text = std::to_string(st.st_uid) + ":" + std::to_string(st.st_gid) + " " +
                     std::to_string(st.st_mode) + "\n";
  for (const std::string& line : facl(path)) text += line + "\n";
  return text;
}

std::string decoyFingerprints(const std::string& decoy) {
  std::string text = fingerprint(decoy);
  for (const auto& entry : fs::recursive_directory_iterator(decoy))
    text += fingerprint(entry.path().string());
  return text;
}

std::string lineStarting(const std::vector<std::string>& lines, const std::string& prefix) {
  for (const std::string& line : lines)
    if (line.rfind(prefix, 0) == 0) return line;
  return "";
}

class Commit : public ::testing::Test {
protected:
  void SetUp() override {
    if (geteuid() != 0) GTEST_SKIP() << "commits write trusted attributes and ACLs: needs root";
    user_ = std::make_unique<ScopedUser>();
    ASSERT_TRUE(user_->ok());
    group_ = std::make_unique<WorkerGroup>(user_->name());
    ASSERT_TRUE(group_->ok());
    env().log->take();
  }

  HostingEnvironment& env() { return HostingEnvironment::get(); }
  std::string site(const std::string& name) { return env().host("vhosts/" + name); }

  // dirs directories of files each below `root`, and a chain of eight directories with a file.
  void makeTree(const std::string& root, int dirs, int files) {
    fs::create_directories(root + "/l1/l2/l3/l4/l5/l6/l7/l8");
    writeFile(root + "/l1/l2/l3/l4/l5/l6/l7/l8/deep.php", "<?php");
    writeFile(root + "/index.php", "<?php");
    for (int d = 0; d < dirs; ++d)
      for (int f = 0; f < files; ++f)
        writeFile(root + "/d" + std::to_string(d) + "/f" + std::to_string(f) + ".txt", "x");
  }
  void chownToUser(const std::string& path) {
    ASSERT_EQ(runProcess({"/usr/bin/chown", "-R",
                          std::to_string(user_->uid()) + ":" + std::to_string(user_->gid()), path})
                  .exitCode,
              0);
  }
  ProcessResult asUser(std::vector<std::string> command) {
    command.insert(command.begin(), {"/usr/bin/setpriv", "--reuid=" + std::to_string(user_->uid()),
                                     "--regid=" + std::to_string(user_->gid()), "--clear-groups"});
    return runProcess(command);
  }
  std::string groupLine(const std::string& perms) { return "group:" + group_->name() + ":" + perms; }

  std::unique_ptr<ScopedUser> user_;
  std::unique_ptr<WorkerGroup> group_;
};

TEST_F(Commit, AllowingEntryReachesEveryObjectAndIsStored) {
  const std::string app = site("site1") + "/httpdocs/app";
  makeTree(app, 3, 5);
  chownToUser(site("site1"));
  std::map<std::string, std::string> ownerLines;
  for (const auto& entry : fs::recursive_directory_iterator(app))
    ownerLines[entry.path()] = lineStarting(facl(entry.path()), "user::");

  const std::u16string appPath = u"C:\\vhosts\\site1\\httpdocs\\app";
  auto manager = ManagerPathCache(nullptr).getManagerByPath(appPath);
  manager->addAccessEntry(u"", group_->sid(), 0x1F01FF, 3, true);
  manager->commit(appPath, true, nullptr, 1);

  for (const auto& entry : fs::recursive_directory_iterator(app)) {
    const std::vector<std::string> lines = facl(entry.path());
    EXPECT_TRUE(has(lines, groupLine("rwx"))) << entry.path();
    EXPECT_EQ(has(lines, "default:" + groupLine("rwx")), entry.is_directory()) << entry.path();
    EXPECT_EQ(lineStarting(lines, "user::"), ownerLines[entry.path()]) << entry.path();
  }
  EXPECT_TRUE(has(facl(app), "default:" + groupLine("rwx")));
  const std::vector<std::string> log = env().log->take();
  const std::string appText = "C:\\vhosts\\site1\\httpdocs\\app";
  // The dump names accounts by SID: the ACEs read back carry no names.
  std::string items;
  int index = 0;
  const std::string sid = u8(group_->sid().toSidString());
  for (const char* onto : {"ThisObject", "Files", "SubFolders"})
    items += "Index " + std::to_string(index++) + ", apply onto " + onto +
             ", type Allow, account " + sid + ", access 1F01FF[3], key " + sid + "\n";
  for (const std::string& line :
       {"Info: Commiting file system security changes for path " + appText +
            ", root path: C:\\vhosts",
        "Info: Checking security for path " + appText + " using fast algorithm",
        "Info: Generating ACL for path " + appText,
        "Info: No children security entries found for path " + appText,
        "Info: Setting inherited security " + items + " to " + appText,
        std::string("Info: File system security changes applied successfully")})
    EXPECT_TRUE(has(log, line)) << line;
  const std::string stored = readFile(site("site1") + "/.kelvo/.Security");
  EXPECT_NE(stored.find("Account=\"" + group_->name() + "\""), std::string::npos) << stored;
  EXPECT_NE(stored.find("SubPath=\"site1\\httpdocs\\app\""), std::string::npos) << stored;

  // Nothing changed: nothing written.
  const auto written = changeTimes(app);
  manager->commit(appPath, true, nullptr, 1);
  EXPECT_EQ(changeTimes(app), written);

  // A denial beside the grant leaves the group an entry with no permissions.
  manager->addAccessEntry(u"", group_->sid(), 0x1F01FF, 3, false);
  manager->commit(appPath, true, nullptr, 1);
  EXPECT_TRUE(has(facl(app + "/d1/f2.txt"), groupLine("---")));
  EXPECT_TRUE(has(facl(app + "/l1/l2"), "default:" + groupLine("---")));
}

TEST_F(Commit, WebUserDirectoryUsesThatUsersFile) {
  const std::string domain = site("site2");
  makeTree(domain + "/web_users/bob/app", 1, 2);
  makeTree(domain + "/httpdocs/app", 1, 2);
  chownToUser(domain);
  const std::u16string bobApp = u"C:\\vhosts\\site2\\web_users\\bob\\app";
  auto bob = ManagerPathCache(nullptr).getManagerByPath(bobApp);
  EXPECT_EQ(u8(bob->getMetadataLocation()), "C:\\vhosts\\site2\\.kelvo\\.Web.bob.Security");
  bob->addAccessEntry(u"", group_->sid(), 0x1F01FF, 3, true);
  bob->commit(bobApp, true, nullptr, 1);
  EXPECT_TRUE(fs::exists(domain + "/.kelvo/.Web.bob.Security"));
  EXPECT_FALSE(fs::exists(domain + "/.kelvo/.Security"));

  // The domain's commit enters bob's directory with bob's entries: the domain's entry there
  // is not the one that applies.
  auto site = ManagerPathCache(nullptr).getManagerByPath(u"C:\\vhosts\\site2");
  site->addAccessEntry(u"httpdocs\\app", group_->sid(), 0x1200A9, 3, true);
  site->addAccessEntry(u"web_users\\bob\\app\\d0", group_->sid(), 0x1200A9, 3, true);
  site->commit(u"C:\\vhosts\\site2", true, nullptr, 1);
  EXPECT_TRUE(has(facl(domain + "/httpdocs/app/d0"), groupLine("r-x")));
  EXPECT_TRUE(has(facl(domain + "/web_users/bob/app/d0"), groupLine("rwx")));
  EXPECT_TRUE(has(env().log->take(),
                  "Info: Loading new security metadata from "
                  "C:\\vhosts\\site2\\.kelvo\\.Web.bob.Security, old storage was "
                  "C:\\vhosts\\site2\\.kelvo\\.Security"));
}

TEST_F(Commit, LinksAndHardLinksLeaveTheirTargetsAlone) {
  const std::string app = site("site3") + "/httpdocs/app";
  makeTree(app, 2, 2);
  const std::string decoy = env().host("decoy3");
  writeFile(decoy + "/inside.txt", "decoy");
  writeFile(env().host("decoy3file"), "root's");
  chmod(env().host("decoy3file").c_str(), 0600);
  fs::create_directory_symlink(decoy, app + "/linkdir");
  fs::create_directory_symlink(decoy, app + "/d1/linkdir");
  fs::create_symlink(env().host("decoy3file"), app + "/link.txt");
  fs::create_hard_link(env().host("decoy3file"), app + "/hard.txt");
  chownToUser(site("site3"));
  ASSERT_EQ(runProcess({"/usr/bin/chown", "root:root", app + "/hard.txt"}).exitCode, 0);
  const std::string before = decoyFingerprints(decoy) + fingerprint(env().host("decoy3file"));

  const std::u16string appPath = u"C:\\vhosts\\site3\\httpdocs\\app";
  auto manager = ManagerPathCache(nullptr).getManagerByPath(appPath);
  for (const std::u16string path : {u"", u"linkdir", u"link.txt", u"hard.txt", u"d1\\linkdir\\inside.txt"})
    manager->addAccessEntry(path, group_->sid(), 0x1F01FF, 3, true);
  try {
    manager->commit(appPath, true, nullptr, 1);
  } catch (const vexception& e) {
    FAIL() << u8(e.fullText());
  }

  EXPECT_EQ(decoyFingerprints(decoy) + fingerprint(env().host("decoy3file")), before);
  EXPECT_TRUE(has(facl(app + "/d0/f0.txt"), groupLine("rwx")));
  const std::vector<std::string> log = env().log->take();
  // Each is named with where it leads; an entry below a link names the link on its way.
  const std::pair<std::string, std::string> links[] = {{"linkdir", "C:\\decoy3"},
                                                       {"link.txt", "C:\\decoy3file"},
                                                       {"d1\\linkdir", "C:\\decoy3"}};
  for (const auto& [link, target] : links) {
    const std::string path = "C:\\vhosts\\site3\\httpdocs\\app\\" + link;
    EXPECT_TRUE(has(log, "Warning: Cannot apply security to path " + path +
                             ", because it points to another path " + target +
                             ". Links are not allowed."))
        << link;
  }
}

TEST_F(Commit, LinkSwappedInDuringTheCommitNeverChangesTheDecoy) {
  const std::string app = site("site4") + "/httpdocs/app";
  makeTree(app, 20, 100);
  const std::string decoy = env().host("decoy4");
  writeFile(decoy + "/inside.txt", "decoy");
  chownToUser(site("site4"));
  const std::string before = decoyFingerprints(decoy);
  const std::u16string appPath = u"C:\\vhosts\\site4\\httpdocs\\app";
  auto manager = ManagerPathCache(nullptr).getManagerByPath(appPath);

  for (int run = 0; run < 20; ++run) {
    std::atomic<bool> stop{false};
    std::thread swapper([&] {
      const std::string victim = app + "/d" + std::to_string(run % 20);
      while (!stop) {
        fs::rename(victim, victim + ".moved");
        fs::create_directory_symlink(decoy, victim);
        std::this_thread::yield();
        fs::remove(victim);
        fs::rename(victim + ".moved", victim);
      }
    });
    // Each run requires another list, so the whole tree is written again.
    manager->revokeAccessEntries(u"", group_->sid(), 0);
    manager->addAccessEntry(u"", group_->sid(), run % 2 ? 0x1F01FF : 0x1200A9, 3, true);
    manager->commit(appPath, true, nullptr, 1);
    stop = true;
    swapper.join();
    ASSERT_EQ(decoyFingerprints(decoy), before) << "run " << run;
  }
  EXPECT_TRUE(has(facl(app + "/d3/f7.txt"), groupLine("rwx")));
}

TEST_F(Commit, DriftIsRepairedByTheNextCompleteCommit) {
  const std::string app = site("site5") + "/httpdocs/app";
  makeTree(app, 1, 1);
  chownToUser(site("site5"));
  const std::u16string appPath = u"C:\\vhosts\\site5\\httpdocs\\app";
  auto manager = ManagerPathCache(nullptr).getManagerByPath(appPath);
  manager->addAccessEntry(u"", group_->sid(), 0x1F01FF, 3, true);
  manager->commit(appPath, true, nullptr, 1);

  const std::string deep = app + "/l1/l2/l3/l4/l5/l6/l7/l8/deep.php";
  const std::string dir = app + "/l1/l2/l3";
  ASSERT_EQ(asUser({"/usr/bin/chmod", "644", deep}).exitCode, 0);
  ASSERT_EQ(asUser({"/usr/bin/setfacl", "-b", dir}).exitCode, 0);
  EXPECT_NE(lineStarting(facl(deep), groupLine("rwx")).find("#effective:r--"), std::string::npos);
  EXPECT_FALSE(has(facl(dir), groupLine("rwx")));

  manager->commit(appPath, true, nullptr, 1);
  EXPECT_TRUE(has(facl(deep), groupLine("rwx")));
  EXPECT_TRUE(has(facl(dir), groupLine("rwx")));
  EXPECT_TRUE(has(facl(dir), "default:" + groupLine("rwx")));
  // And only what drifted was written: a third commit writes nothing.
  const auto repaired = changeTimes(app);
  manager->commit(appPath, true, nullptr, 1);
  EXPECT_EQ(changeTimes(app), repaired);
}

TEST_F(Commit, ManagersOfOneFileKeepEachOthersEntries) {
  const std::string app = site("site7") + "/httpdocs/app";
  makeTree(app, 2, 1);
  chownToUser(site("site7"));
  const std::u16string appPath = u"C:\\vhosts\\site7\\httpdocs\\app";
  // Two commands read the file before either saves it.
  const std::u16string vhosts = HostingSecurity::virtualHostsDirectory();
  HostingSecurity::SecurityManager first(appPath, true, nullptr, vhosts),
      second(appPath, true, nullptr, vhosts);
  first.addAccessEntry(u"d0", group_->sid(), 0x1F01FF, 3, true);
  second.addAccessEntry(u"d1", group_->sid(), 0x1F01FF, 3, false);
  first.commit(appPath, true, nullptr, 1);
  second.commit(appPath, true, nullptr, 1);
  EXPECT_EQ(HostingSecurity::SecurityManager(appPath, true, nullptr, vhosts).entries().size(), 2u);
  EXPECT_TRUE(has(facl(app + "/d0"), groupLine("rwx")));
  EXPECT_TRUE(has(facl(app + "/d1"), groupLine("---")));
}

} // namespace

namespace {

// Records what the checker asks and answers from a table.
class RecordingCallback : public DiskSecurity::Callback {
public:
  std::vector<std::string> asked;
  std::vector<std::string> written;
  std::string skip;
  bool abortAfterFirstWrite = false;

  int onPath(const std::u16string& path, bool) override {
    asked.push_back(u8(path));
    return u8(path) == skip ? DiskSecurity::CHECK_SKIPPED : DiskSecurity::CHECK_DONE;
  }
  int onWritten(const std::u16string& path, bool) override {
    written.push_back(u8(path));
    return abortAfterFirstWrite ? DiskSecurity::CHECK_ABORT : DiskSecurity::CHECK_DONE;
  }
};

TEST_F(Commit, CallbackSeesOnlyPathsWithEntriesAndMayStopTheWalk) {
  const std::string app = site("site6") + "/httpdocs/app";
  makeTree(app, 3, 2);
  chownToUser(site("site6"));
  const std::u16string appPath = u"C:\\vhosts\\site6\\httpdocs\\app";
  auto manager = ManagerPathCache(nullptr).getManagerByPath(appPath);
  for (const char16_t* sub : {u"d0", u"d1\\f0.txt", u"d2", u"l1\\l2\\l3", u"missing"})
    manager->addAccessEntry(sub, group_->sid(), 0x1200A9, 3, true);

  RecordingCallback skipping;
  skipping.skip = "C:\\vhosts\\site6\\httpdocs\\app\\d2";
  manager->commit(appPath, false, &skipping, 1);
  const std::string base = "C:\\vhosts\\site6\\httpdocs\\app\\";
  // Directories that only lead to entries (l1, l1\l2, d1) are entered, never asked about.
  EXPECT_EQ(skipping.asked, (std::vector<std::string>{base + "d0", base + "d1\\f0.txt",
                                                      base + "d2", base + "l1\\l2\\l3"}));
  EXPECT_EQ(skipping.written, (std::vector<std::string>{base + "d0", base + "d1\\f0.txt",
                                                        base + "l1\\l2\\l3"}));
  EXPECT_FALSE(has(facl(app + "/d2"), groupLine("r-x")));
  EXPECT_FALSE(has(facl(app + "/d1"), groupLine("r-x")));
  EXPECT_TRUE(has(facl(app + "/l1/l2/l3/l4"), groupLine("r-x")));
  EXPECT_TRUE(has(env().log->take(),
                  "Info: Path does not exist C:\\vhosts\\site6\\httpdocs\\app\\missing, skipped"));

  // An abort ends the walk; what was recorded is saved all the same.
  fs::remove(site("site6") + "/.kelvo/.Security");
  manager->addAccessEntry(u"d0", group_->sid(), 0x1F01FF, 3, true);
  manager->addAccessEntry(u"d2", group_->sid(), 0x1F01FF, 3, true);
  RecordingCallback aborting;
  aborting.abortAfterFirstWrite = true;
  manager->commit(appPath, false, &aborting, 1);
  EXPECT_EQ(aborting.written, (std::vector<std::string>{base + "d0"}));
  EXPECT_TRUE(has(facl(app + "/d0"), groupLine("rwx")));
  EXPECT_FALSE(has(facl(app + "/d2"), groupLine("rwx")));
  EXPECT_TRUE(fs::exists(site("site6") + "/.kelvo/.Security"));
}

} // namespace
