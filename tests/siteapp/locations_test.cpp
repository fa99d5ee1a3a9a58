// Where an application lies in the site and in the repository (whose own directory comes from the
// management service's product data directory).
#include <gtest/gtest.h>

#include "siteapp/site_application_manager.h"
#include "tests/support/service_process.h"
#include "tests/support/testing.h"

using namespace testing_support;

namespace {

TEST(Locations, SiteAndRepositoryDirectories) {
  TempDir dir;
  ScopedRegistry registry("[HKEY_LOCAL_MACHINE\\SYSTEM\\Tavrix]\n\"RunDirectory\"=\"" + dir.file("run") +
                          "\"\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\WOW6432Node\\Kelvo\\ZRC Config\\Config]\n"
                          "\"PRODUCT_DATA_D\"=\"C:\\\\data\\\\.\\\\\"\n");
  ServiceProcess service(registry.path(), dir.file("run/pipe/zrcpipe"));
  EXPECT_EQ(getApplicationRepositoryRoot(), u"C:\\data\\var\\cgitory");
  // Whether the name is the subdirectory below the web root (else the application's full name),
  // the name, the path.
  const std::tuple<bool, std::u16string, std::u16string> cases[] = {
      // "/blog/" and "demo-1.0" are what every extraction of tests/e2e uses.
      {true, u"./blog//./", u"C:\\vhosts\\site1\\httpdocs\\blog"},
      {true, u"apps/blog/../wiki", u"C:\\vhosts\\site1\\httpdocs\\apps\\wiki"},
      {true, u"", u"C:\\vhosts\\site1\\httpdocs"},
      {false, u"file:///D:/apps/demo", u"D:/apps/demo"},
      // Exactly the prefix, or another letter case: a name in the repository, joined as text.
      {false, u"file:///", u"C:\\data\\var\\cgitory\\file:///"},
      {false, u"FILE:///D:/apps", u"C:\\data\\var\\cgitory\\FILE:///D:/apps"},
      {false, u"a/../b", u"C:\\data\\var\\cgitory\\a/../b"},
  };
  for (const auto& [site, name, path] : cases) {
    SiteApplicationManager manager(nullptr);
    manager.setWwwRoot(u"C:\\vhosts\\site1\\httpdocs");
    if (site) manager.setApplicationSubdirectory(name);
    else manager.setApplicationFullName(name);
    EXPECT_EQ(site ? manager.getSiteApplicationPath() : manager.getApplicationRepositoryPath(), path) << u8(name);
  }
}

} // namespace
