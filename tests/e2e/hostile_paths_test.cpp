// Whole-process tests of what a hostile site user can put in a command's way on a real host:
// a link that root made, moved into the path the panel names, security metadata it planted, a
// directory it swaps for a link while root walks the site, a hard link to root's file, and
// entries of the site's metadata that climb out of it.
#include <algorithm>

#include <gtest/gtest.h>

#include "tests/e2e/extract_fixture.h"

using namespace testing_support;
namespace fs = std::filesystem;

namespace {

class HostilePaths : public Extract {
protected:
  void SetUp() override {
    Extract::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    // The second is where the site's metadata leads when it climbs out of the virtual hosts
    // directory: C:\decoy.
    for (const std::string& file : {decoy_ + "/f", drive_ + "/decoy/f"}) writeFile(file, "root's own\n");
    writeFile(decoy_ + "/sub/x", "deeper\n");
    // A link a panel makes for itself (statistics, logs): root's, pointing out of the site.
    fs::create_directory_symlink(decoy_, webRoot() + "/stats");
  }

  ProcessResult run(const std::string& command, const std::string& wwwRoot) {
    if (command != "--delete-application") return tavrix(command, packageMetadata(), "demo-1.0", "app", wwwRoot);
    writeFile(dir_.file("files.xml"), "<files><SECTION PREFIX=\"htdocs\"><FILE>f</FILE><FILE>sub</FILE></SECTION></files>");
    return runTool(registry_, {command, "--application-full-name=demo-1.0", "--www-root=" + wwwRoot,
                               "--user-name=" + user_.name(), "--application-subdirectory=/",
                               "--files=" + dir_.file("files.xml")});
  }

  // Root's directories outside the site, as their change times.
  std::map<std::string, std::string> decoys() const {
    std::map<std::string, std::string> both = changeTimes(dir_.file("decoy"));
    both.merge(changeTimes(drive_ + "/decoy"));
    return both;
  }

  // The site's trusted metadata (root's, written by the tool) with one more entry: the first
  // entry's grant to the worker group, at another SubPath below the virtual hosts directory.
  static std::string withEntry(const std::string& metadata, const std::string& subPath) {
    const std::size_t start = metadata.find("<Entry "), end = metadata.find("/>", start) + 2;
    std::string entry = metadata.substr(start, end - start);
    const std::size_t value = entry.find("SubPath=\"") + 9;
    entry.replace(value, entry.find('"', value) - value, subPath);
    std::string text = metadata;
    return text.insert(text.find("</Entries>"), entry);
  }

  std::string domain() const { return drive_ + "/vhosts/" + user_.name(); }

  std::string decoy_ = dir_.file("decoy/ddir");
};

// A site user may rename anything in its own directories, root's links included: the web root
// the panel names then ends in root's link. No command may follow it. (A hard link to root's link,
// where those are allowed, is the same link in the same place.)
TEST_F(HostilePaths, ARootLinkMovedIntoThePanelsPathIsNotFollowed) {
  const std::string moved = webRoot() + "/sub1";
  const std::string named = "C:\\vhosts\\" + user_.name() + "\\httpdocs\\sub1";
  const auto decoyBefore = changeTimes(dir_.file("decoy"));
  fs::rename(webRoot() + "/stats", moved);
  for (const char* command : {"--delete-application", "--update-application-permissions", "--extract-application"}) {
    ProcessResult r = run(command, named);
    EXPECT_EQ(r.exitCode, 1) << command << "\n" << r.out;
    EXPECT_NE(r.out.find(named), std::string::npos) << command << "\n" << r.out;
    EXPECT_NE(r.out.find("passes through a link or a directory that another user controls"), std::string::npos)
        << command << "\n" << r.out;
    EXPECT_EQ(changeTimes(dir_.file("decoy")), decoyBefore) << command;
  }
}

// The security metadata of a domain is root's: a ".kelvo" the site user made in its own domain
// directory is never read, whatever form the panel gives the web root in.
TEST_F(HostilePaths, PlantedSecurityMetadataIsNotApplied) {
  ASSERT_EQ(extract(packageMetadata()).exitCode, 0);
  const std::string kelvo = domain() + "/.kelvo";
  // The site user moves root's directory aside and writes its own, granting another group.
  std::string planted = readFile(kelvo + "/.Security");
  const std::string group = group_.name(), sid = "S-1-22-2-" + std::to_string(::getgrnam(group.c_str())->gr_gid);
  for (std::size_t at; (at = planted.find(group)) != std::string::npos;) planted.replace(at, group.size(), "nogroup");
  for (std::size_t at; (at = planted.find(sid)) != std::string::npos;) planted.replace(at, sid.size(), "S-1-22-2-65534");
  fs::rename(kelvo, domain() + "/.kelvo-aside");
  writeFile(kelvo + "/.Security", planted);
  ASSERT_EQ(runProcess({"/bin/chown", "-R", siteOwner(), kelvo}).exitCode, 0);
  takeLog();

  for (const std::string& root : {"C:\\vhosts\\" + user_.name() + "\\httpdocs", webRoot()}) {
    ProcessResult r = tavrix("--update-application-permissions", packageMetadata(), "demo-1.0", "/blog/", root);
    EXPECT_NE(r.out.find("is not root's, or another user may write it"), std::string::npos) << root << "\n" << r.out;
    for (const char* path : {"/uploads", "/cache", "/config"})
      for (const std::string& line : facl(app_ + path)) EXPECT_EQ(line.find("nogroup"), std::string::npos) << path;
    EXPECT_EQ(readFile(kelvo + "/.Security"), planted) << root;
  }
}

// While the update walks the site, as the user and then as root, the site user exchanges one of
// its directories with a link to root's decoy, over and over: the application directory where
// root's walk starts, a writable directory that the mapping names (its entry lands there), and a
// directory below that one with an entry of its own in the site's metadata. No walk follows the
// link; an update that meets it fails naming where, or warns that it passes the link over. The
// updates go on until some met it: an exchange landed inside a walk.
TEST_F(HostilePaths, ADirectorySwappedForALinkDuringAnUpdateIsNotFollowed) {
  ASSERT_EQ(extract(packageMetadata()).exitCode, 0);
  // The site user's files: one in inner, and files the walk below uploads visits after listing it
  // and before it enters inner: time in which inner becomes the link.
  const char* files = "cd \"$1\" && mkdir inner && echo own >inner/own.txt && "
                      "for i in $(seq 200); do echo >photo$i.jpg; done";
  ASSERT_EQ(asSiteUser({"/bin/sh", "-c", files, "sh", app_ + "/uploads"}).exitCode, 0);
  const std::string metadata = domain() + "/.kelvo/.Security";
  writeFile(metadata, withEntry(readFile(metadata), user_.name() + "\\httpdocs\\blog\\uploads\\inner"));
  // Updates alternate between granting and denying uploads: each one writes its list and what
  // lies below it.
  std::string denying = kPhpMetadata;
  denying.replace(denying.find("writable='true'"), 15, "readable='false'");
  writeFile(dir_.file("denying.xml"), denying);
  const auto before = decoys();
  for (const std::string swapped : {"blog", "blog/uploads", "blog/uploads/inner"}) {
    std::string named = "C:\\vhosts\\" + user_.name() + "\\httpdocs\\" + swapped;
    std::replace(named.begin(), named.end(), '/', '\\');
    Swapper swapper(user_.uid(), user_.gid(), webRoot() + "/" + swapped, decoy_);
    ASSERT_TRUE(swapper.started()) << swapped;
    int updates = 0, met = 0;
    for (; (updates < 10 || met == 0) && updates < 400; ++updates) {
      takeLog();
      ProcessResult r = update(updates % 2 ? dir_.file("denying.xml") : packageMetadata());
      ASSERT_TRUE(r.exitCode == 0 || r.exitCode == 1) << swapped << "\n" << r.out;
      if (r.exitCode != 0) {
        EXPECT_NE(r.out.find(named), std::string::npos) << swapped << "\n" << r.out;
      }
      met += r.exitCode != 0 || takeLog().find("Cannot apply security to path " + named + ",") != std::string::npos;
    }
    EXPECT_TRUE(swapper.stop()) << swapped << ": an exchange failed";
    EXPECT_GT(met, 0) << swapped << ": no update met the link in " << updates;
    EXPECT_EQ(decoys(), before) << swapped;
  }
}

// Entries of the site's trusted metadata whose SubPath climbs out of the application directory
// are passed over; an entry on a hard link to root's file, in a directory the site user may
// write, leaves the file as it is. The update succeeds either way.
TEST_F(HostilePaths, UpdateLeavesRootsFilesOutsideTheSiteAlone) {
  ASSERT_EQ(extract(packageMetadata()).exitCode, 0);
  // The checker logs the entries it passes over only when asked to.
  std::string store = readFile(registry_);
  writeFile(registry_, store.insert(store.find("\"Debug\""), "\"DebugSecuritySettings\"=dword:00000001\n"));
  const std::string metadata = domain() + "/.kelvo/.Security", trusted = readFile(metadata);
  const std::string inSite = user_.name() + "\\httpdocs\\blog\\", linked = app_ + "/uploads/linked";
  // Climbing stops at the drive's root: each of them names C:\decoy.
  const std::string skipped =
      "C:\\decoy is skipped, because it is out of scope C:\\vhosts\\" + user_.name() + "\\httpdocs\\blog";
  struct Case { std::string subPath; bool hardLink; std::string logged; } cases[] = {
      {"..\\decoy", false, skipped},
      {inSite + "uploads/../../../../../decoy", false, skipped},
      {"C:\\decoy", false, skipped},
      // Protected hard links (fs.protected_hardlinks) keep the user from linking root's file
      // itself: root makes the link in the user's directory, as one made before that was on.
      {inSite + "uploads\\linked", true,
       "Permissions of 'C:\\vhosts\\" + inSite + "uploads\\linked' left unchanged: it has more than one hard link"},
  };
  for (const Case& c : cases) {
    writeFile(metadata, withEntry(trusted, c.subPath));
    if (c.hardLink) {
      ASSERT_EQ(::link((decoy_ + "/f").c_str(), linked.c_str()), 0);
      // The user narrows uploads: the update writes its list again and what lies below it.
      ASSERT_EQ(asSiteUser({"/bin/chmod", "755", app_ + "/uploads"}).exitCode, 0);
    }
    const auto before = decoys(); // the link changed the file's link count
    takeLog();
    ProcessResult r = update(packageMetadata());
    EXPECT_EQ(r.exitCode, 0) << c.subPath << "\n" << r.out;
    const std::string log = takeLog();
    EXPECT_NE(log.find(c.logged), std::string::npos) << c.subPath << "\n" << log;
    // A hard link is no symbolic link: it is not reported as one.
    EXPECT_EQ(log.find("Cannot apply security to path C:\\vhosts\\" + inSite + "uploads\\linked"),
              std::string::npos)
        << log;
    EXPECT_EQ(decoys(), before) << c.subPath;
    fs::remove(linked);
  }
}

} // namespace
