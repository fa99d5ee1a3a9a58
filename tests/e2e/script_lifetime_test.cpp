// Whole-process test of a configuration script's lifetime: the real binary, the real
// impersonation service, a created site user (as root). A script's run is the script and
// everything it started.
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <memory>

#include <gtest/gtest.h>

#include "tests/service/service_process.h"
#include "tests/support/testing.h"

using namespace testing_support;

namespace {

TEST(ScriptLifetime, WhatTheScriptLeftBehindEndsWithIt) {
  if (::geteuid() != 0) GTEST_SKIP() << "running scripts as a site user needs root";
  TempDir dir;
  ScopedUser user;
  ASSERT_TRUE(user.ok()) << "cannot create the test account";
  ASSERT_EQ(::chmod(dir.path().c_str(), 0755), 0);
  const std::string registry = dir.file("registry.reg");
  writeFile(registry, "Windows Registry Editor Version 5.00\n\n"
                      "[HKEY_LOCAL_MACHINE\\SYSTEM\\Tavrix]\n\"RunDirectory\"=\"" + dir.file("run") + "\"\n"
                      "[HKEY_LOCAL_MACHINE\\SYSTEM\\Tavrix\\DosDevices]\n\"C:\"=\"" + dir.file("c") + "\"\n"
                      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\WOW6432Node\\Kelvo\\ZRC Config\\Config\\Packages]\n");
  ServiceProcess service(registry, dir.file("run/pipe/ZRC_pipe {110D2F0F-F073-4021-AB73-C7886FB9BD1E}"),
                         "tavrix-impersonation-service");
  writeFile(dir.file("request.xml"),
            "<fsa-run-application-script><script-processor>binary</script-processor></fsa-run-application-script>");
  // The background sleep holds the script's output pipe open.
  const std::string script = dir.file("c/repo/app/scripts/configure.sh");
  writeFile(script, "#!/bin/sh\nsleep 600 &\necho started\n");
  ASSERT_EQ(::chmod(script.c_str(), 0755), 0);

  ProcessResult ran = runProcess({binary("tavrix"), "--run-application-script",
                                  "--application-full-name=file:///C:\\repo\\app", "--script-filename=configure",
                                  "--script-name=configure", "--user-name=" + user.name(),
                                  "--fsa-xml-file=" + dir.file("request.xml")},
                                 {{"TAVRIX_REGISTRY", registry}});
  EXPECT_EQ(ran.exitCode, 0) << ran.out;
  EXPECT_EQ(liveProcessesOf(user.uid()), std::vector<std::string>{});
}

} // namespace
