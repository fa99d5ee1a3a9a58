#include "security/disk/component_resolver.h"

#include <filesystem>

#include <gtest/gtest.h>

#include "os/text.h"
#include "tests/security/disk/fake_system_helper.h"
#include "tests/support/failure.h"
#include "tests/support/testing.h"

using namespace testing_support;

namespace {

// Drive C: is a temporary directory holding the directories the components name.
class Resolver : public ::testing::Test {
protected:
  Resolver()
      : registry_("[HKEY_LOCAL_MACHINE\\SYSTEM\\Tavrix\\DosDevices]\n\"C:\"=\"" + dir_.path() +
                  "\"\n"
                  "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Tavrix\\Components\\perl]\n"
                  "\"InstallDir\"=\"C:\\\\perl\"\n"
                  "\"AdditionalPaths\"=hex(7):43,00,3a,00,5c,00,61,00,00,00,43,00,3a,00,5c,00,62,00,00,00,00,00\n"
                  "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Tavrix\\Components\\php]\n\"InstallDir\"=\"C:\\\\perl\"\n"
                  "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Tavrix\\Components\\nodir]\n") {
    for (const char* name : {"vhosts", "perl", "a", "b"})
      std::filesystem::create_directory(dir_.file(name));
    helper_->product[u"HTTPD_VHOSTS_D"] = u"C:\\vhosts";
    helper_->product[u"perl"] = u"C:\\vhosts";
  }

  // What resolving the name threw: its message and its contexts' ("\nat " before each).
  std::string failure(const std::u16string& name) {
    const Failure failed = failureOf([&] { resolver_.getPath(name); });
    return failed.message + failed.calls;
  }

  TempDir dir_;
  ScopedRegistry registry_;
  std::shared_ptr<FakeSystemHelper> helper_ = std::make_shared<FakeSystemHelper>();
  DiskSecurity::KelvoComponentResolver resolver_{helper_};
};

// The virtual hosts directory, a configured value without additional paths, is what every commit
// resolves (Commit.LogsItsSteps..., the whole-process extractions).
TEST_F(Resolver, ConfigurationValueFirstThenTableThenAdditionalPaths) {
  const std::tuple<std::u16string, bool, std::vector<std::u16string>> cases[] = { // name, configured, paths
      {u"PERL", false, {u"C:\\perl", u"C:\\a", u"C:\\b"}},
      {u"perl", true, {u"C:\\vhosts", u"C:\\a", u"C:\\b"}},
      {u"Php", false, {u"C:\\perl"}}, // no additional paths
  };
  for (const auto& [name, configured, paths] : cases) {
    if (!configured) helper_->product.erase(name);
    EXPECT_EQ(resolver_.getPath(name), paths) << u8(name);
  }
}

TEST_F(Resolver, FailuresNameTheComponentAndTheCause) {
  helper_->product[u"missing"] = u"C:\\absent";
  // The virtual hosts directory has no install directory of the table's: only a configured value.
  for (const auto& [name, message] : {std::pair{"unknown", " isn't supported"}, {"nodir", " has no install directory"},
                                      {"httpd_vhosts_d", " isn't supported"}}) {
    EXPECT_EQ(failure(os::utf16FromUtf8(name)), "Component " + std::string(name) + message +
                                                    "\nat Unable to obtain parameter: '" + name +
                                                    "'\nat Unable to call getPath(" + name + ")");
  }
  const std::string absent = failure(u"missing");
  EXPECT_NE(absent.find("\nat Unable to obtain long file path for: 'C:\\absent'\nat Unable to call getPath(missing)"),
            std::string::npos) << absent;
  // A configured value of a component the table does not know has no additional paths to give.
  helper_->product[u"other"] = u"C:\\vhosts";
  EXPECT_EQ(failure(u"other"),
            "Component other isn't supported\nat Unable to call getAdditionalPaths(other)\nat Unable to call getPath(other)");
}

} // namespace
