// Whole-process tests of what the site's security metadata holds after several commands: the
// last rule for a directory wins, and commands that rewrite the file at the same time lose
// nothing of each other's.
#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "tests/e2e/extract_fixture.h"

using namespace testing_support;

namespace {

// The package's htdocs published at the application's directory, with one PHP rule on uploads.
std::string uploadsRule(const std::string& rule) {
  return "<application xmlns='http://tavrix.dev/app-package/ns/1' xmlns:php='http://tavrix.dev/app-package/ns/1/php'>"
         "<mapping url='/' path='htdocs'><mapping url='uploads'><php:permissions " +
         rule + "/></mapping></mapping></application>";
}

class Entries : public Extract {
protected:
  // A command for the package demo-1.0 published at the site's `subdirectory`.
  ProcessResult run(const std::string& command, const std::string& subdirectory, const std::string& metadata) {
    return runProcess({binary("tavrix"), command, "--application-full-name=demo-1.0",
                       "--www-root=C:\\vhosts\\" + site_.user.name() + "\\httpdocs",
                       "--user-name=" + site_.user.name(), "--application-subdirectory=" + subdirectory,
                       "--metadata-file=" + metadata},
                      {{"TAVRIX_REGISTRY", registry_}});
  }

  std::string security() { return readFile(drive_ + "/vhosts/" + site_.user.name() + "/.kelvo/.Security"); }
  // How many entries the site's metadata holds for a directory below the web root.
  // The directories of an application whose permissions are updated, the site user's.
  void makeApplication(const std::string& name) {
    const std::string top = webRoot(site_) + "/" + name;
    fs::create_directories(top + "/uploads");
    for (const std::string& dir : {top, top + "/uploads"})
      ASSERT_EQ(::chown(dir.c_str(), site_.user.uid(), site_.user.gid()), 0);
  }
  std::size_t entriesFor(const std::string& text, const std::string& directory) {
    const std::string subPath = "SubPath=\"" + site_.user.name() + "\\httpdocs\\" + directory + "\"";
    std::size_t count = 0;
    for (std::size_t at = 0; (at = text.find(subPath, at)) != std::string::npos; ++at) ++count;
    return count;
  }
};

TEST_F(Entries, TheLastUpdateDecidesTheGroupsAccess) {
  const std::string deny = dir_.file("deny.xml"), writable = dir_.file("writable.xml");
  writeFile(deny, uploadsRule("readable='false'"));
  writeFile(writable, uploadsRule("writable='true'"));
  makeApplication("blog");
  const std::pair<std::string, std::string> updates[] = {
      {deny, "---"}, {writable, "rwx"}, {deny, "---"}, {writable, "rwx"}};
  for (const auto& [metadata, access] : updates) {
    ProcessResult r = run("--update-application-permissions", "/blog/", metadata);
    ASSERT_EQ(r.exitCode, 0) << r.out;
    const std::vector<std::string> lines = facl(app_ + "/uploads");
    EXPECT_TRUE(has(lines, groupLine(access))) << metadata;
    EXPECT_FALSE(has(lines, groupLine(access == "rwx" ? "---" : "rwx"))) << metadata;
    const std::string text = security();
    EXPECT_EQ(entriesFor(text, "blog\\uploads"), 1u) << text;
  }
}

TEST_F(Entries, UpdatesDuringAnExtractionLoseNoEntry) {
  const std::string writable = dir_.file("writable.xml");
  writeFile(writable, uploadsRule("writable='true'"));
  for (int round = 0; round < 20; ++round) {
    const std::string blog = "blog" + std::to_string(round), shop = "shop" + std::to_string(round),
                      wiki = "wiki" + std::to_string(round);
    makeApplication(shop);
    makeApplication(wiki);
    std::atomic<bool> extracted{false};
    ProcessResult extraction;
    std::thread extract([&] {
      extraction = run("--extract-application", "/" + blog + "/", packageMetadata());
      extracted = true;
    });
    // Other applications of the domain have their permissions updated until the extraction ends.
    std::vector<ProcessResult> updates;
    do {
      for (const std::string& other : {shop, wiki})
        updates.push_back(run("--update-application-permissions", "/" + other + "/", writable));
    } while (!extracted);
    extract.join();
    ASSERT_EQ(extraction.exitCode, 0) << extraction.out;
    for (const ProcessResult& update : updates) ASSERT_EQ(update.exitCode, 0) << update.out;

    const std::string text = security();
    for (int earlier = 0; earlier <= round; ++earlier) {
      const std::string n = std::to_string(earlier);
      for (const std::string& directory : {"blog" + n + "\\uploads", "blog" + n + "\\cache", "blog" + n + "\\config",
                                           "shop" + n + "\\uploads", "wiki" + n + "\\uploads"})
        ASSERT_EQ(entriesFor(text, directory), 1u) << "round " << round << ": " << directory << "\n" << text;
    }
  }
}

} // namespace
