// Where an application lies in the repository and in the site.
#include <gtest/gtest.h>

#include "siteapp/site_application_manager.h"
#include "tests/service/service_process.h"
#include "tests/support/testing.h"

using namespace testing_support;

namespace {

TEST(Locations, SiteDirectoryIsTheWebRootWithTheSubdirectoryBelowIt) {
  const struct {
    std::u16string subdirectory;
    std::u16string site;
  } cases[] = {
      {u"/blog/", u"C:\\vhosts\\site1\\httpdocs\\blog"},
      {u"\\blog\\", u"C:\\vhosts\\site1\\httpdocs\\blog"},
      {u"blog", u"C:\\vhosts\\site1\\httpdocs\\blog"},
      {u"./blog//./", u"C:\\vhosts\\site1\\httpdocs\\blog"},
      {u"apps/blog/../wiki", u"C:\\vhosts\\site1\\httpdocs\\apps\\wiki"},
      {u"", u"C:\\vhosts\\site1\\httpdocs"},
      {u"/", u"C:\\vhosts\\site1\\httpdocs"},
  };
  for (const auto& c : cases) {
    SiteApplicationManager manager(nullptr);
    manager.setWwwRoot(u"C:\\vhosts\\site1\\httpdocs");
    manager.setApplicationSubdirectory(c.subdirectory);
    EXPECT_EQ(manager.getSiteApplicationPath(), c.site) << u8(c.subdirectory);
  }
}

// The repository's own directory comes from the management service's product data directory.
TEST(Locations, RepositoryDirectoryFromTheFullName) {
  TempDir dir;
  ScopedRegistry registry("[HKEY_LOCAL_MACHINE\\SYSTEM\\Tavrix]\n\"RunDirectory\"=\"" + dir.file("run") +
                          "\"\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\WOW6432Node\\Kelvo\\ZRC Config\\Config]\n"
                          "\"PRODUCT_DATA_D\"=\"C:\\\\data\\\\.\\\\\"\n");
  ServiceProcess service(registry.path(), dir.file("run/pipe/zrcpipe"));
  EXPECT_EQ(getApplicationRepositoryRoot(), u"C:\\data\\var\\cgitory");
  const struct {
    std::u16string fullName;
    std::u16string repository;
  } cases[] = {
      {u"demo-1.0", u"C:\\data\\var\\cgitory\\demo-1.0"},
      {u"file:///D:/apps/demo", u"D:/apps/demo"},
      {u"file:///x", u"x"},
      // Exactly the prefix, or another letter case: a name in the repository, joined as text.
      {u"file:///", u"C:\\data\\var\\cgitory\\file:///"},
      {u"FILE:///D:/apps", u"C:\\data\\var\\cgitory\\FILE:///D:/apps"},
      {u"a/../b", u"C:\\data\\var\\cgitory\\a/../b"},
  };
  for (const auto& c : cases) {
    SiteApplicationManager manager(nullptr);
    manager.setApplicationFullName(c.fullName);
    EXPECT_EQ(manager.getApplicationRepositoryPath(), c.repository) << u8(c.fullName);
  }
}

} // namespace
