// Whole-process tests of --delete-application: the real binary against the reference management
// service, on a site tree below a temporary drive C:, with a decoy of root's files beside it.
#include <sys/file.h>

#include <algorithm>
#include <chrono>
#include <memory>

#include <gtest/gtest.h>

#include "tests/e2e/host.h"
#include "tests/support/service_process.h"

using namespace testing_support;
namespace fs = std::filesystem;

namespace {

// The kind, owner, group and mode of a path.
std::string stated(const std::string& path) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) return "missing";
  char mode[8];
  std::snprintf(mode, sizeof mode, "%o", st.st_mode & 07777);
  return std::string(S_ISDIR(st.st_mode) ? "directory " : S_ISREG(st.st_mode) ? "file " : "other ") +
         std::to_string(st.st_uid) + ":" + std::to_string(st.st_gid) + " " + mode;
}

// An exclusive flock that this process holds on the file (made when missing) while the result lives.
os::posix::Fd locked(const std::string& file) {
  os::posix::Fd fd(::open(file.c_str(), O_RDONLY | O_CREAT | O_CLOEXEC, 0644));
  EXPECT_EQ(::flock(fd.get(), LOCK_EX), 0) << file;
  return fd;
}

class DeleteApplication : public Host {
protected:
  void SetUp() override {
    if (::geteuid() != 0) GTEST_SKIP() << "the decoy must be root's and the service runs as root";
    writeRegistry("\"PRODUCT_DATA_D\"=\"C:\\\\data\"\n\"Debug\"=dword:00000001\n");
    service_ = std::make_unique<ServiceProcess>(registry_, dir_.file("run/pipe/zrcpipe"));
    fs::create_directories(site_);
    for (const std::string& decoy : {drive_ + "/vhosts/site1/decoy", drive_ + "/decoy"}) {
      writeFile(decoy + "/secret", "root's own\n");
      writeFile(decoy + "/inner/deep", "deeper\n");
    }
  }

  ProcessResult deleteWith(const std::string& list, const std::string& subdirectory = "app") {
    writeFile(dir_.file("files.xml"), list);
    return runTool(registry_, {"--delete-application", "--application-full-name=demo-1.0",
                               "--www-root=C:\\vhosts\\site1\\httpdocs", "--user-name=jdoe",
                               "--application-subdirectory=" + subdirectory, "--files=" + dir_.file("files.xml")});
  }

  static std::string htdocs(const std::vector<std::string>& entries) {
    std::string list = "<files><SECTION PREFIX=\"htdocs\">";
    for (const std::string& entry : entries) list += "<FILE>" + entry + "</FILE>";
    return list + "</SECTION></files>";
  }

  std::map<std::string, std::string> decoys() const {
    auto state = changeTimes(drive_ + "/vhosts/site1/decoy");
    state.merge(changeTimes(drive_ + "/decoy"));
    return state;
  }

  std::string drive_ = dir_.file("c");
  std::string site_ = drive_ + "/vhosts/site1/httpdocs/app";
  std::string longSite_ = "\\\\?\\C:\\vhosts\\site1\\httpdocs\\app";
  std::unique_ptr<ServiceProcess> service_;
};

TEST_F(DeleteApplication, RemovesTheEntriesOfHtdocsSectionsInDocumentOrder) {
  for (const char* file : {"index.php", "lib/a/b.php", "lib/c.php", "keep-capitals", "keep-noprefix", "keep-other",
                           "keep-sibling", "readonly"})
    writeFile(site_ + "/" + file, "x");
  ::chmod((site_ + "/readonly").c_str(), 0444);
  ::chmod((site_ + "/lib/c.php").c_str(), 0444);
  const std::string list =
      "<files><SECTION PREFIX=\"HTDOCS\"><FILE>keep-capitals</FILE></SECTION>"
      "<SECTION><FILE>keep-noprefix</FILE></SECTION>"
      "<SECTION PREFIX=\"other\"><FILE>keep-other</FILE></SECTION>"
      "<!-- a comment --><section PREFIX=\"htdocs\"><FILE>keep-sibling</FILE></section>"
      "<SECTION PREFIX=\"htdocs\">text<!-- c --><file>keep-sibling</file>"
      "<FILE>lib</FILE><FILE>lib/c.php</FILE><FILE>index.php</FILE><FILE>readonly</FILE>"
      "<FILE>never-there</FILE><OTHER><FILE>keep-sibling</FILE></OTHER></SECTION></files>";
  ProcessResult r = deleteWith(list); // never-there and lib/c.php, gone with lib, are missing
  EXPECT_EQ(r.exitCode, 0) << r.out;
  EXPECT_EQ(r.out, "");
  std::vector<std::string> left;
  for (const auto& entry : fs::directory_iterator(site_)) left.push_back(entry.path().filename());
  std::sort(left.begin(), left.end());
  EXPECT_EQ(left, (std::vector<std::string>{"keep-capitals", "keep-noprefix", "keep-other", "keep-sibling"}));

  EXPECT_EQ(deleteWith(htdocs({"index.php"}), "not-installed").exitCode, 0);
  writeFile(site_ + "/index.php", "x");
  ProcessResult broken = deleteWith("<files><SECTION PREFIX=\"htdocs\"><FILE>index.php</FILE></files>");
  EXPECT_EQ(broken.exitCode, 1);
  EXPECT_NE(broken.out.find(" at load " + dir_.file("files.xml")), std::string::npos) << broken.out;
  EXPECT_TRUE(fs::exists(site_ + "/index.php"));
}

TEST_F(DeleteApplication, ALockedFileFailsAfterTenAttemptsNamingItsHolder) {
  writeFile(site_ + "/locked.txt", "x");
  writeFile(site_ + "/tree/sub/held", "x");
  const os::posix::Fd file = locked(site_ + "/locked.txt"), inTree = locked(site_ + "/tree/sub/held");
  // This process holds them: the tool names it as "comm (pid)".
  const std::string comm = readFile("/proc/self/comm");
  const std::string holder = comm.substr(0, comm.size() - 1) + " (" + std::to_string(::getpid()) + ")";

  auto started = std::chrono::steady_clock::now();
  ProcessResult r = deleteWith(htdocs({"locked.txt"}));
  auto elapsed = std::chrono::steady_clock::now() - started;
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_NE(r.out.find("at DeleteFile '" + longSite_ + "\\locked.txt'\n   at (removeFile line"),
            std::string::npos) << r.out;
  // Nine pauses of 10 ms between the ten attempts.
  EXPECT_GE(elapsed, std::chrono::milliseconds(90));
  EXPECT_TRUE(fs::exists(site_ + "/locked.txt"));

  r = deleteWith(htdocs({"tree"}));
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_NE(r.out.find("at Delete file '" + longSite_ + "\\tree\\sub\\held'. Processes: " + holder +
                       "\n   at (removeDir line"),
            std::string::npos) << r.out;
  EXPECT_TRUE(fs::exists(site_ + "/tree/sub/held"));
}

// Entries and subdirectories that would reach outside the site: the command fails naming the
// entry, and nothing at all is removed, the good entries around it included. (A link that an
// entry names goes as the link: RootTest.NothingGoesThroughALinkInTheSite and TreeTest's removals.)
TEST_F(DeleteApplication, HostileEntriesRemoveNothing) {
  ASSERT_EQ(::symlink((drive_ + "/vhosts/site1/decoy").c_str(), (site_ + "/lnk").c_str()), 0);
  ASSERT_EQ(::symlink(site_.c_str(), (site_ + "/../applink").c_str()), 0);
  struct Case { std::string entry; std::string subdirectory; std::string message; };
  const std::string outside = ") is outside of (C:\\vhosts\\site1\\httpdocs\\app)";
  const Case cases[] = {
      {"../../decoy", "app", "Path (../../decoy" + outside},
      {"C:\\decoy", "app", "Path (C:\\decoy" + outside},
      {"lnk\\secret", "app", "Path (lnk\\secret) passes through a link in (C:\\vhosts\\site1\\httpdocs\\app)"},
      {"good", "../../decoy", "Path (..\\..\\decoy) is outside of (C:\\vhosts\\site1\\httpdocs)"},
      {"good", "applink",
       "Too many levels of symbolic links (Error code 1921) at Unable to open directory "
       "(C:\\vhosts\\site1\\httpdocs\\applink)"},
      {"good/..", "app", "Path (good/..) names the directory (C:\\vhosts\\site1\\httpdocs\\app) itself"},
  };
  const auto before = decoys();
  for (const Case& c : cases) {
    writeFile(site_ + "/first", "x");
    writeFile(site_ + "/good/last", "x");
    ProcessResult r = deleteWith(htdocs({"first", c.entry, "good"}), c.subdirectory);
    EXPECT_EQ(r.exitCode, 1) << c.entry;
    EXPECT_EQ(r.out.substr(0, r.out.find('\n')), c.message) << c.entry;
    EXPECT_TRUE(fs::exists(site_ + "/first")) << c.entry;
    EXPECT_TRUE(fs::exists(site_ + "/good/last")) << c.entry;
    EXPECT_EQ(decoys(), before) << c.entry;
  }
}

// While the application directory is removed, a process keeps exchanging one of its
// subdirectories with a link to the decoy. The decoy never changes; and the test goes on until a
// removal took the link that stood in the directory's place: an exchange landed inside the walk.
TEST_F(DeleteApplication, ASubdirectorySwappedForALinkNeverLeadsOutside) {
  const auto before = decoys();
  int runs = 0, landed = 0;
  for (; runs < 100 && landed < 3; ++runs) {
    for (int d = 0; d < 20; ++d)
      for (int f = 0; f < 20; ++f) writeFile(site_ + "/tree/d" + std::to_string(d) + "/f" + std::to_string(f), "");
    Swapper swapper(-1, -1, site_ + "/tree/d10", drive_ + "/vhosts/site1/decoy");
    ASSERT_TRUE(swapper.started());
    ProcessResult r = deleteWith(htdocs({"tree"}));
    EXPECT_TRUE(swapper.stop()) << "an exchange failed";
    landed += swapper.linkTaken();
    ASSERT_EQ(decoys(), before) << "run " << runs << "\n" << r.out;
    fs::remove_all(site_ + "/tree");
  }
  EXPECT_GT(landed, 0) << "no exchange landed inside a removal in " << runs << " runs";
}

// A local user who could open the lock files (the lock area of earlier versions was everyone's)
// made them, or opened one an earlier version made open to all, and holds them: the per-user lock
// of the deletion, the log's and the event log's. The deletion neither waits for them nor uses
// them, and afterwards the lock area is root's alone.
TEST_F(DeleteApplication, LocksOfAnotherUserHoldNothingUp) {
  // The store's writers' lock is a link to where the tool must not write.
  ASSERT_EQ(::symlink(dir_.file("written-through-link").c_str(), (registry_ + ".lock").c_str()), 0);
  const std::string lockDir = dir_.file("run/lock");
  ASSERT_EQ(::chmod(dir_.file("run").c_str(), 0755), 0);
  ASSERT_EQ(::mkdir(lockDir.c_str(), 0777), 0);
  ASSERT_EQ(::chmod(lockDir.c_str(), 01777), 0);
  const std::vector<std::string> names = {"{E87E2855-6D09-4f17-BA44-1D012E75DD7F}jdoe", "kelvolog_debug_mutex",
                                          "{F485C63C-FF60-4c1a-A4BF-A3958C9F3D32}"};
  std::vector<os::posix::Fd> held;
  for (const std::string& name : names) {
    held.push_back(locked(lockDir + "/" + name));
    ASSERT_EQ(name == names[2] ? ::chmod((lockDir + "/" + name).c_str(), 0666)
                               : ::chown((lockDir + "/" + name).c_str(), 65534, 65534), 0) << name;
  }

  ProcessResult r = deleteWith(htdocs({}));
  EXPECT_EQ(r.exitCode, 0) << r.out;
  EXPECT_NE(takeLog().find(" Info: End command '"), std::string::npos);

  EXPECT_EQ(stated(lockDir), "directory 0:0 755");
  for (const std::string& name : names) EXPECT_EQ(stated(lockDir + "/" + name), "file 0:0 600") << name;
  EXPECT_EQ(stated(registry_ + ".lock"), "file 0:0 600");
  EXPECT_FALSE(fs::exists(dir_.file("written-through-link")));
}

} // namespace
