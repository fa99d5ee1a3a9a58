// The mapping walk on real package trees: targets, the permission map, confinement. (What a
// copy holds, and that a failed one leaves nothing, is tests/e2e/extract_test.cpp's.)
#include "siteapp/mapping_walk.h"

#include <unistd.h>

#include <filesystem>

#include <gtest/gtest.h>

#include "tests/support/failure.h"
#include "xml/app_metadata.h"

using namespace testing_support;
namespace fs = std::filesystem;

namespace {

std::u16string wide(const std::string& text) { return std::u16string(text.begin(), text.end()); }

// A package with htdocs and cgi-bin directories, and an empty site.
class Walk : public ::testing::Test {
protected:
  Walk() {
    writeFile(package_ + "/htdocs/index.php", "index");
    writeFile(package_ + "/htdocs/sub/a.txt", "a");
    writeFile(package_ + "/cgi-bin/run.cgi", "run");
    fs::create_directories(site_);
  }

  // Walks a metadata document whose application element holds `mappings`.
  PermissionMap walk(const std::string& mappings, bool copy = true) {
    const std::string base = "http://example.org/app-package/ns/1";
    writeFile(dir_.file("APP-META.xml"),
              "<application xmlns=\"" + base + "\" xmlns:p=\"" + base + "/php\" xmlns:a=\"" + base +
                  "/aspnet\">" + mappings + "</application>");
    SiteDirectory site(wide(site_), u"");
    RunTime::File::Root package(wide(package_));
    return MappingWalk(site, package, copy).walk(loadApplicationMetadata(wide(dir_.file("APP-META.xml"))));
  }

  TempDir dir_;
  ScopedRegistry registry_;
  std::string package_ = dir_.file("package");
  std::string site_ = dir_.file("site");
};

TEST_F(Walk, PermissionRules) {
  const std::pair<std::string, std::u16string> cases[] = { // rules, the entry's kind (empty: no entry)
      {"<a:permissions writable=\"TRUE\"/>", u"aspnet"},
      {"<p:permissions writable=\"True\"/>", u"php"},
      {"<p:permissions readable=\"FALSE\"/>", u"php-disabled"},
      {"<p:permissions writable=\"true\" readable=\"false\"/>", u"php-disabled"},
      {"<a:permissions writable=\"true\"/><p:permissions readable=\"false\"/>", u"php-disabled"},
      {"<p:permissions writable=\"true\"/><a:permissions writable=\"true\"/>", u"php"},
      {"<p:permissions readable=\"false\"/><p:permissions writable=\"true\"/>", u"php"},
      {"<p:permissions writable=\" true\" readable=\"false \"/>", u""},
      {"<a:permissions writable=\"yes\"/><p:permissions readable=\"true\"/>", u""},
      {"<permissions writable=\"true\"/>", u""}, // the base namespace is not a rule's
  };
  for (const auto& [rules, kind] : cases) {
    const PermissionMap expected = kind.empty() ? PermissionMap{} : PermissionMap{{u"data", kind}};
    EXPECT_EQ(walk("<mapping url=\"data\" virtual=\"\">" + rules + "</mapping>", false), expected) << rules;
  }
}

TEST_F(Walk, MappingsWithoutContentMakeNoDirectoryButKeepTheirRulesAndChildren) {
  PermissionMap map = walk(
      "<mapping url=\"v1\" path=\"htdocs\" virtual=\"false\"><a:permissions writable=\"true\"/>"
      "  <mapping url=\"in\" path=\"cgi-bin\"/></mapping>"
      "<mapping url=\"v2\"><p:permissions writable=\"true\"/></mapping>"
      "<mapping url=\"v3\" path=\"\"><mapping url=\"deep\"><p:permissions readable=\"false\"/></mapping></mapping>"
      // The same target again: one entry, the later rule's.
      "<mapping url=\"/v2/\"><a:permissions writable=\"true\"/></mapping>");
  EXPECT_EQ(map, (PermissionMap{{u"v1", u"aspnet"},
                                {u"v2", u"aspnet"},
                                {u"v3\\deep", u"php-disabled"}}));
  EXPECT_FALSE(fs::exists(site_ + "/v2"));
  EXPECT_FALSE(fs::exists(site_ + "/v3"));
  EXPECT_FALSE(fs::exists(site_ + "/v1/index.php"));
  EXPECT_EQ(readFile(site_ + "/v1/in/run.cgi"), "run"); // made with its missing parent
}

// Urls and paths that would leave the site or the package are refused before anything is made;
// a link in the middle of a url is not followed. Without copying (an update) the directories are
// made and nothing is copied (tests/e2e's DirectoriesMadeInASiteAreTheSiteUsers and
// UpdateRestoresTheGroupsAccessAndWritesNothingTwice), but the sources are read all the same: a
// missing one fails the walk. (That a failed walk removes what it made is the locked package's
// row of Extract.RefusedFailedOrEmptyExtractionsLeaveNothingBehind.)
TEST_F(Walk, ConfinedToTheSiteAndThePackageAndTheSourcesAreRead) {
  ASSERT_EQ(::symlink(dir_.file("decoy").c_str(), (site_ + "/lnk").c_str()), 0);
  const std::string outsideSite = ") is outside of (" + site_ + ")", outsidePackage = ") is outside of (" + package_ + ")";
  const std::tuple<std::string, bool, std::string> cases[] = { // mappings, whether to copy, message
      {"<mapping url=\"../decoy\" path=\"htdocs\"/>", true, "Path (..\\decoy" + outsideSite},
      {"<mapping url=\"a\"><mapping url=\"../../decoy\" path=\"htdocs\"/></mapping>", true,
       "Path (a\\..\\..\\decoy" + outsideSite},
      {"<mapping url=\"C:\\decoy\" path=\"htdocs\"/>", true, "Path (C:\\decoy" + outsideSite},
      {"<mapping url=\"x\" path=\"../decoy\"/>", true, "Path (..\\decoy" + outsidePackage},
      {"<mapping url=\"x/y\" path=\"missing\"/>", false,
       "No such file or directory (Error code 2) at Unable to read directory (" + package_ + "/missing)"},
  };
  for (const auto& [mappings, copy, message] : cases)
    EXPECT_EQ(failureOf([&] { walk(mappings, copy); }).message, message) << mappings;
  const std::string linked = failureOf([&] { walk("<mapping url=\"lnk/new\" path=\"htdocs\"/>"); }).message;
  EXPECT_NE(linked.find("(Error code 448)"), std::string::npos) << linked;
}

} // namespace
