// Whole-process tests of --extract-application and --update-application-permissions: the real
// binary and both reference services, a created site user with its worker group, a generated
// PHP package in the repository below a temporary drive C:.
#include <sys/fanotify.h>

#include <atomic>
#include <future>
#include <thread>

#include "tests/e2e/extract_fixture.h"

using namespace testing_support;
namespace fs = std::filesystem;

namespace {

// The package's htdocs published at the application's directory, with one PHP rule on uploads.
std::string uploadsRule(const std::string& rule) {
  return metadataOf("<mapping url='/' path='htdocs'><mapping url='uploads'><php:permissions " + rule +
                    "/></mapping></mapping>");
}

// Extracting again replaces the packaged files. (How the copy takes links in the package and
// keeps the target's own files: TreeTest.CopySwitches in tests/runtime/fs.)
TEST_F(Extract, CopiesAsTheSiteUserAndGrantsTheWorkerGroup) {
  const std::string package = repository_ + "/demo-1.0";
  ProcessResult r = extract(packageMetadata());
  ASSERT_EQ(r.exitCode, 0) << r.out;

  const std::string user = siteOwner();
  int files = 0;
  for (const auto& entry : fs::recursive_directory_iterator(app_)) {
    EXPECT_EQ(ownerOf(entry.path()), user) << entry.path();
    if (!entry.is_regular_file()) continue;
    const std::string relative = fs::relative(entry.path(), app_);
    const std::string source = package + (relative.starts_with("vendor/lib/") ? "/lib/" + relative.substr(11)
                                                                             : "/htdocs/" + relative);
    struct stat copied {}, original {};
    ::lstat(entry.path().c_str(), &copied);
    ::stat(source.c_str(), &original);
    // A grant widens the group class of the mode (the ACL mask) below the writable directories.
    const bool granted = relative.starts_with("uploads/") || relative.starts_with("cache/");
    EXPECT_EQ(copied.st_mode | (granted ? 0070 : 0), original.st_mode | (granted ? 0070 : 0)) << relative;
    EXPECT_EQ(copied.st_mtim.tv_sec, original.st_mtim.tv_sec) << relative;
    ++files;
    EXPECT_EQ(readFile(entry.path()), readFile(source)) << relative;
  }
  EXPECT_EQ(files, 7);

  for (const char* writable : {"/uploads", "/cache"}) {
    const std::vector<std::string> lines = facl(app_ + writable);
    EXPECT_TRUE(has(lines, groupLine("rwx"))) << writable;
    EXPECT_TRUE(has(lines, "default:" + groupLine("rwx"))) << writable;
    EXPECT_TRUE(has(facl(app_ + writable + "/.keep"), groupLine("rwx"))) << writable;
  }
  EXPECT_TRUE(has(facl(app_ + "/config"), groupLine("---")));
  EXPECT_TRUE(has(facl(app_ + "/config/settings.php"), groupLine("---")));
  EXPECT_NE(takeLog().find("Set DENY PHP access permissions for group " + group_.name() + " to directory "),
            std::string::npos);
  EXPECT_EQ(deniedToUser(app_), "");

  writeFile(app_ + "/index.php", "changed by the site");
  writeFile(app_ + "/uploads/photo.jpg", "the site's own");
  r = extract(packageMetadata());
  ASSERT_EQ(r.exitCode, 0) << r.out;
  EXPECT_EQ(readFile(app_ + "/index.php"), "<?php // htdocs/index.php\n");
  EXPECT_TRUE(has(facl(app_ + "/uploads/photo.jpg"), groupLine("rwx")));
}

// An extraction refused by the repository's checks or its metadata, one that fails in its walk
// and one that has nothing to copy and no permission to grant leave the site as it was: no
// security metadata is written without an entry.
TEST_F(Extract, RefusedFailedOrEmptyExtractionsLeaveNothingBehind) {
  // An entry that is a file, a directory without APP-META.xml, no metadata file (a broken one is
  // tests/xml's load_test), metadata without a namespace.
  writeFile(repository_ + "/a-file", "x");
  fs::create_directories(repository_ + "/no-meta/htdocs");
  writeFile(dir_.file("no-namespace.xml"), "<application><mapping url='/' path='htdocs'/></application>");
  writeFile(dir_.file("virtual.xml"), metadataOf("<mapping url='/'><mapping url='data' path=''/></mapping>"));
  // A link to a file the site user may not read.
  writeFile(dir_.file("root-only"), "root's alone");
  ::chmod(dir_.file("root-only").c_str(), 0600);
  writePackage(repository_ + "/locked-1.0", kPhpMetadata);
  ::symlink(dir_.file("root-only").c_str(), (repository_ + "/locked-1.0/htdocs/admin/key.php").c_str());
  const std::string site = "C:\\vhosts\\" + user_.name() + "\\httpdocs\\blog";
  struct Case { std::string fullName, metadata, message; int exitCode = 1; } cases[] = {
      {"a-file", packageMetadata(), "Application directory C:\\data\\var\\cgitory\\a-file doesn't exist in repository"},
      {"missing", packageMetadata(), "Application directory C:\\data\\var\\cgitory\\missing doesn't exist in repository"},
      {"no-meta", packageMetadata(), "Unable to find APP-META.xml: C:\\data\\var\\cgitory\\no-meta\\APP-META.xml"},
      {"demo-1.0", "", " at load "},
      {"demo-1.0", dir_.file("no-namespace.xml"),
       "The root element of " + dir_.file("no-namespace.xml") + " declares no namespace; expected a package namespace ending in \"/ns/1\""},
      {"locked-1.0", repository_ + "/locked-1.0/APP-META.xml",
       "(Error code 5) at Unable to copy (\\\\?\\C:\\data\\var\\cgitory\\locked-1.0\\htdocs\\admin\\key.php) "
       "to (\\\\?\\" + site + "\\admin\\key.php)"},
      {"demo-1.0", dir_.file("virtual.xml"), "", 0},
  };
  // Every path below the sites with its owner, group, mode and ACL (what the walks made and removed
  // again changes the web root's times).
  const auto sites = [&] { return runProcess({"/usr/bin/getfacl", "-R", "-p", drive_ + "/vhosts"}).out; };
  const std::string before = sites();
  for (const Case& c : cases) {
    ProcessResult r = tavrix("--extract-application", c.metadata, c.fullName);
    EXPECT_EQ(r.exitCode, c.exitCode) << r.out;
    EXPECT_NE(r.out.find(c.message), std::string::npos) << r.out;
    EXPECT_EQ(sites(), before) << c.fullName << " " << c.metadata;
  }
}

TEST_F(Extract, UpdateRestoresTheGroupsAccessAndWritesNothingTwice) {
  ASSERT_EQ(extract(packageMetadata()).exitCode, 0);
  // The site user narrows its writable directories; the group's entries lose their write bit.
  ASSERT_EQ(asSiteUser({"/bin/chmod", "-R", "755", app_ + "/uploads", app_ + "/cache"}).exitCode, 0);
  ASSERT_FALSE(has(facl(app_ + "/uploads"), groupLine("rwx")));
  takeLog();

  ProcessResult r = update(packageMetadata());
  ASSERT_EQ(r.exitCode, 0) << r.out;
  for (const char* path : {"/uploads", "/uploads/.keep", "/cache", "/cache/.keep"})
    EXPECT_TRUE(has(facl(app_ + path), groupLine("rwx"))) << path;
  EXPECT_TRUE(has(facl(app_ + "/config"), groupLine("---")));
  EXPECT_NE(takeLog().find("Set full PHP access permissions for group " + group_.name()), std::string::npos);

  const auto before = changeTimes(webRoot());
  const std::string metadata = security();
  ASSERT_EQ(update(packageMetadata()).exitCode, 0);
  EXPECT_EQ(changeTimes(webRoot()), before);
  EXPECT_EQ(security(), metadata);
}

TEST_F(Extract, UpdateWarnsAboutMissingFilesAndTakesTheLaterRule) {
  fs::create_directories(repository_ + "/no-meta");
  struct Case { std::string fullName, metadata, warning; } warnings[] = {
      {"demo-1.0", dir_.file("nowhere.xml"), "Unable to open metadata file: " + dir_.file("nowhere.xml")},
      {"no-meta", packageMetadata(), "Unable to open file: C:\\data\\var\\cgitory\\no-meta\\APP-META.xml"},
  };
  for (const Case& c : warnings) {
    ProcessResult r = tavrix("--update-application-permissions", c.metadata, c.fullName);
    EXPECT_EQ(r.exitCode, 0) << r.out;
    EXPECT_NE(takeLog().find(c.warning), std::string::npos) << c.warning;
  }

  // Each update replaces the entry of the one before. (Of two rules for one directory in one
  // document the later one is taken: tests/siteapp's mapping walk tests.)
  writeFile(dir_.file("deny.xml"), uploadsRule("readable='false'"));
  writeFile(dir_.file("writable.xml"), uploadsRule("writable='true'"));
  ASSERT_EQ(asSiteUser({"/bin/mkdir", "-p", app_ + "/uploads"}).exitCode, 0);
  const std::pair<const char*, std::string> updates[] = {
      {"writable.xml", "rwx"}, {"deny.xml", "---"}, {"writable.xml", "rwx"}};
  for (const auto& [metadata, access] : updates) {
    ASSERT_EQ(update(dir_.file(metadata)).exitCode, 0) << metadata;
    const std::vector<std::string> lines = facl(app_ + "/uploads");
    EXPECT_TRUE(has(lines, groupLine(access))) << metadata;
    EXPECT_EQ(entriesFor("blog\\uploads"), 1u) << metadata << "\n" << security();
  }
}

// Whichever command makes a directory in a site makes it as the site user: where the user may.
TEST_F(Extract, DirectoriesMadeInASiteAreTheSiteUsers) {
  const std::string user = siteOwner();
  ASSERT_EQ(update(packageMetadata()).exitCode, 0);
  for (const std::string& dir : {app_, app_ + "/vendor", app_ + "/vendor/lib"}) EXPECT_EQ(ownerOf(dir), user) << dir;

  // A web root that is not there yet is made with the missing directories above it.
  const auto extractAt = [&](const std::string& webRoot) {
    return tavrix("--extract-application", packageMetadata(), "demo-1.0", "/blog/", "C:\\vhosts\\" + webRoot);
  };
  const std::string domain = drive_ + "/vhosts/" + user_.name();
  ProcessResult r = extractAt(user_.name() + "\\new\\httpdocs");
  EXPECT_EQ(r.exitCode, 0) << r.out;
  for (const std::string& dir : {domain + "/new", domain + "/new/httpdocs", domain + "/new/httpdocs/blog/index.php"})
    EXPECT_EQ(ownerOf(dir), user) << dir;
  // The virtual hosts directory is root's: the user may not make a domain there.
  r = extractAt(user_.name() + "-other\\httpdocs");
  EXPECT_EQ(r.exitCode, 1) << r.out;
  const std::string refused = "(Error code 5) at CreateDirectory(C:\\vhosts\\" + user_.name() + "-other)";
  EXPECT_NE(r.out.find(refused), std::string::npos) << r.out;
  EXPECT_FALSE(fs::exists(domain + "-other"));
}

// Each extraction holds the lock of its user, the last one named, for all its work: while the copy
// opens the package's first file, the lock is held, a second extraction of the user waits for it
// and a command of another user does not. (Every check passes with the always-accepted internal
// package name.)
TEST_F(Extract, TheUsersLockIsHeldThroughTheCopy) {
  const std::string lock = dir_.file("run/lock/{E87E2855-6D09-4f17-BA44-1D012E75DD7F}") + user_.name();
  writePackage(repository_ + "/other-1.0", kPhpMetadata); // not held by the gate
  int opens = 0;
  bool held = false, waited = false;
  ProcessResult other;
  std::future<ProcessResult> second;
  PermissionGate gate(repository_ + "/demo-1.0/htdocs/index.php", FAN_OPEN_PERM, [&](int) {
    if (opens++ != 0) return;
    held = lockersOf(lock).holders.size() == 1;
    other = runTool(registry_, kActingCommand);
    second = std::async(std::launch::async, [&] {
      return tavrix("--extract-application", repository_ + "/other-1.0/APP-META.xml", "other-1.0", "/wiki/");
    });
    while (lockersOf(lock).waiters.empty() && second.wait_for(std::chrono::seconds(0)) != std::future_status::ready)
      std::this_thread::yield();
    waited = lockersOf(lock).waiters.size() == 1;
  });
  ASSERT_TRUE(gate.ok());
  ProcessResult r = runTool(registry_, {"--extract-application", "--application-full-name=demo-1.0",
                                        "--www-root=C:\\vhosts\\" + user_.name() + "\\httpdocs", "--user-name=alice",
                                        "--user-name=" + user_.name(), "--application-subdirectory=/blog/",
                                        "--metadata-file=" + packageMetadata(), "--internal-package-name=p"});
  gate.open();
  EXPECT_EQ(r.exitCode, 0) << r.out;
  ASSERT_GT(opens, 0);
  EXPECT_TRUE(held);
  EXPECT_TRUE(waited);
  EXPECT_EQ(other.exitCode, 1) << other.out;
  EXPECT_EQ(second.get().exitCode, 0);
}

// Commands that rewrite the site's metadata at the same time lose nothing of each other's: other
// applications of the domain have their permissions updated until an extraction ends.
TEST_F(Extract, UpdatesDuringAnExtractionLoseNoEntry) {
  writeFile(dir_.file("writable.xml"), uploadsRule("writable='true'"));
  for (int round = 0; round < 20; ++round) {
    const std::string n = std::to_string(round);
    ASSERT_EQ(asSiteUser({"/bin/mkdir", "-p", webRoot() + "/shop" + n + "/uploads",
                          webRoot() + "/wiki" + n + "/uploads"}).exitCode, 0);
    std::atomic<bool> extracted{false};
    ProcessResult extraction;
    std::thread extract([&] {
      extraction = tavrix("--extract-application", packageMetadata(), "demo-1.0", "/blog" + n + "/");
      extracted = true;
    });
    std::vector<ProcessResult> updates;
    do {
      for (const std::string& other : {"shop" + n, "wiki" + n})
        updates.push_back(tavrix("--update-application-permissions", dir_.file("writable.xml"), "demo-1.0",
                                 "/" + other + "/"));
    } while (!extracted);
    extract.join();
    ASSERT_EQ(extraction.exitCode, 0) << extraction.out;
    for (const ProcessResult& update : updates) ASSERT_EQ(update.exitCode, 0) << update.out;
    for (int earlier = 0; earlier <= round; ++earlier) {
      const std::string e = std::to_string(earlier);
      for (const std::string& directory : {"blog" + e + "\\uploads", "blog" + e + "\\cache", "blog" + e + "\\config",
                                           "shop" + e + "\\uploads", "wiki" + e + "\\uploads"})
        ASSERT_EQ(entriesFor(directory), 1u) << "round " << round << ": " << directory << "\n" << security();
    }
  }
}

} // namespace
