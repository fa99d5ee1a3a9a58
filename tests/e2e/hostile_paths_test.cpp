// Whole-process tests of what a hostile site user can put in a command's way on a real host:
// a link that root made, moved into the path the panel names, and security metadata it planted.
#include <fcntl.h>
#include <grp.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/e2e/extract_fixture.h"
#include "tests/e2e/snapshot.h"

using namespace testing_support;
namespace fs = std::filesystem;

namespace {

class HostilePaths : public Extract {
protected:
  void SetUp() override {
    Extract::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    writeFile(decoy_ + "/f", "root's own\n");
    writeFile(decoy_ + "/sub/x", "deeper\n");
    ASSERT_EQ(std::system(("setfacl -m u:nobody:r " + decoy_ + "/f").c_str()), 0);
    // Links a panel makes for itself (statistics, logs): root's, pointing out of the site.
    fs::create_directories(dir_.file("panel"));
    fs::create_directory_symlink(decoy_, dir_.file("panel/stats"));
    fs::create_directory_symlink(decoy_, webRoot(site_) + "/stats");
  }

  ProcessResult run(const std::string& command, const std::string& wwwRoot) {
    std::vector<std::string> argv = {binary("tavrix"), command, "--application-full-name=demo-1.0",
                                     "--www-root=" + wwwRoot, "--user-name=" + site_.user.name()};
    if (command == "--delete-application") {
      writeFile(dir_.file("files.xml"), "<files><SECTION PREFIX=\"htdocs\"><FILE>f</FILE><FILE>sub</FILE>"
                                        "</SECTION></files>");
      argv.insert(argv.end(), {"--application-subdirectory=/", "--files=" + dir_.file("files.xml")});
    } else {
      argv.insert(argv.end(), {"--application-subdirectory=app", "--metadata-file=" + packageMetadata()});
    }
    return runProcess(argv, {{"TAVRIX_REGISTRY", registry_}});
  }

  std::string domain() const { return drive_ + "/vhosts/" + site_.user.name(); }

  std::string decoy_ = dir_.file("decoy/ddir");
};

// A site user may rename anything in its own directories, root's links included, and where
// hard links to others' files are allowed it may link one in: the web root the panel names then
// ends in root's link. No command may follow it.
TEST_F(HostilePaths, ARootLinkMovedIntoThePanelsPathIsNotFollowed) {
  const std::string moved = webRoot(site_) + "/sub1";
  const std::string named = "C:\\vhosts\\" + site_.user.name() + "\\httpdocs\\sub1";
  const auto decoyBefore = snapshot(dir_.file("decoy"));
  for (const bool hardLinked : {false, true}) {
    for (const char* command : {"--delete-application", "--update-application-permissions", "--extract-application"}) {
      fs::remove(moved);
      if (hardLinked)
        ASSERT_EQ(::linkat(AT_FDCWD, dir_.file("panel/stats").c_str(), AT_FDCWD, moved.c_str(), 0), 0);
      else
        fs::rename(webRoot(site_) + "/stats", moved);
      ProcessResult r = run(command, named);
      EXPECT_EQ(r.exitCode, 1) << command << (hardLinked ? " hard-linked\n" : " renamed\n") << r.out;
      EXPECT_NE(r.out.find(named), std::string::npos) << command << "\n" << r.out;
      EXPECT_NE(r.out.find("passes through a link or a directory that another user controls"), std::string::npos)
          << command << "\n" << r.out;
      EXPECT_EQ(snapshot(dir_.file("decoy")), decoyBefore) << command;
      if (!hardLinked) fs::create_directory_symlink(decoy_, webRoot(site_) + "/stats");
    }
  }
}

// The security metadata of a domain is root's: a ".kelvo" the site user made in its own domain
// directory is never read, whatever form the panel gives the web root in.
TEST_F(HostilePaths, PlantedSecurityMetadataIsNotApplied) {
  ASSERT_EQ(extract(packageMetadata()).exitCode, 0);
  const std::string kelvo = domain() + "/.kelvo";
  // The site user moves root's directory aside and writes its own, granting another group.
  std::string planted = readFile(kelvo + "/.Security");
  const std::string group = site_.group.name(), sid = "S-1-22-2-" + std::to_string(::getgrnam(group.c_str())->gr_gid);
  for (std::size_t at; (at = planted.find(group)) != std::string::npos;) planted.replace(at, group.size(), "nogroup");
  for (std::size_t at; (at = planted.find(sid)) != std::string::npos;) planted.replace(at, sid.size(), "S-1-22-2-65534");
  fs::rename(kelvo, domain() + "/.kelvo-aside");
  writeFile(kelvo + "/.Security", planted);
  ASSERT_EQ(::chown(kelvo.c_str(), site_.user.uid(), site_.user.gid()), 0);
  ASSERT_EQ(::chown((kelvo + "/.Security").c_str(), site_.user.uid(), site_.user.gid()), 0);
  takeLog();

  for (const std::string& root : {"C:\\vhosts\\" + site_.user.name() + "\\httpdocs", webRoot(site_)}) {
    ProcessResult r = runProcess({binary("tavrix"), "--update-application-permissions", "--application-full-name=demo-1.0",
                                  "--www-root=" + root, "--user-name=" + site_.user.name(),
                                  "--application-subdirectory=/blog/", "--metadata-file=" + packageMetadata()},
                                 {{"TAVRIX_REGISTRY", registry_}});
    EXPECT_NE(r.out.find("is not root's, or another user may write it"), std::string::npos) << root << "\n" << r.out;
    for (const char* path : {"/uploads", "/cache", "/config"})
      for (const std::string& line : facl(app_ + path)) EXPECT_EQ(line.find("nogroup"), std::string::npos) << path;
    EXPECT_EQ(readFile(kelvo + "/.Security"), planted) << root;
  }
}

} // namespace
