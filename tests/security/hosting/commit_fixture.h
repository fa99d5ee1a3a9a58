// A site under C:\vhosts (drive C: mapped to a temporary directory), the reference management
// service answering HTTPD_VHOSTS_D, and the log lines of the process. One service per test
// program: the service client is process-wide.
#pragma once

#include <filesystem>
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "os/text.h"
#include "runtime/log/log_manager.h"
#include "tests/security/disk/acl_lines.h"
#include "tests/support/service_process.h"
#include "tests/support/log_lines.h"
#include "tests/support/testing.h"

namespace testing_support {

// The process-wide part: drive C:, the registry, the service.
struct HostingEnvironment {
  TempDir base;
  ScopedRegistry registry{
      "[HKEY_LOCAL_MACHINE\\SYSTEM\\Tavrix]\n\"RunDirectory\"=\"" + base.file("run") + "\"\n"
      "[HKEY_LOCAL_MACHINE\\SYSTEM\\Tavrix\\DosDevices]\n\"C:\"=\"" + base.file("c") + "\"\n"
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\WOW6432Node\\Kelvo\\ZRC Config\\Config]\n"
      "\"HTTPD_VHOSTS_D\"=\"C:\\\\vhosts\"\n"
      "\"DebugSecuritySettings\"=dword:00000001\n"};
  ServiceProcess service{registry.path(), base.file("run/pipe/zrcpipe")};
  std::shared_ptr<LogLines> log = std::make_shared<LogLines>();

  HostingEnvironment() {
    std::filesystem::create_directories(base.file("c/vhosts"));
    // Site users reach their sites, as below a real virtual-hosts directory.
    for (const std::string& dir : {base.path(), base.file("c"), base.file("c/vhosts")})
      std::filesystem::permissions(dir, std::filesystem::perms(0755));
    LogManager::instance().addListener(log);
  }
  static HostingEnvironment& get() {
    static HostingEnvironment environment;
    return environment;
  }
  std::string host(const std::string& relative) { return base.file("c/" + relative); }
};

// A worker group named after the site user (as the tool names it), removed when destroyed;
// tests/e2e's extractions grant it.
class WorkerGroup {
public:
  explicit WorkerGroup(const std::string& user) : name_("IWPG_" + user) {
    ok_ = runProcess({"/usr/sbin/groupadd", name_}).exitCode == 0;
  }
  ~WorkerGroup() {
    if (ok_) runProcess({"/usr/sbin/groupdel", name_});
  }
  bool ok() const { return ok_; }
  const std::string& name() const { return name_; }

private:
  std::string name_;
  bool ok_ = false;
};

} // namespace testing_support
