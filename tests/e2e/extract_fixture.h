// The private panel host of the whole-process extraction tests: a registry store, a temporary
// drive C: with the application repository and the sites, both reference services, and a created
// site user with its worker group whose web root is its own, as a panel makes it.
#pragma once

#include <chrono>
#include <memory>

#include <gtest/gtest.h>

#include "tests/e2e/host.h"
#include "tests/security/hosting/commit_fixture.h"
#include "tests/support/service_process.h"

namespace testing_support {

namespace fs = std::filesystem;

// A package's metadata: the mappings `body` below the root element. (Another host than this one
// in the namespaces: tests/xml and tests/siteapp.)
inline std::string metadataOf(const std::string& body) {
  return "<application xmlns='http://tavrix.dev/app-package/ns/1' xmlns:php='http://tavrix.dev/app-package/ns/1/php'>" +
         body + "</application>";
}

// The whole of htdocs published at the site directory, with two writable directories and one PHP
// may not read; a nested mapping publishes the package's lib below it.
inline const std::string kPhpMetadata =
    metadataOf("<mapping url='/' path='htdocs'>"
               "<mapping url='uploads'><php:permissions writable='true'/></mapping>"
               "<mapping url='cache'><php:permissions writable='true'/></mapping>"
               "<mapping url='config'><php:permissions readable='false'/></mapping>"
               "<mapping url='vendor/lib' path='lib'/></mapping>");

inline std::string ownerOf(const std::string& path) {
  struct stat st {};
  ::lstat(path.c_str(), &st);
  return std::to_string(st.st_uid) + ":" + std::to_string(st.st_gid);
}

class Extract : public Host {
protected:
  void SetUp() override {
    if (::geteuid() != 0) GTEST_SKIP() << "extraction acts as a created site user and the services run as root";
    ASSERT_TRUE(user_.ok() && group_.ok()) << "cannot create the site user and its worker group";
    writeRegistry("\"PRODUCT_DATA_D\"=\"C:\\\\data\"\n\"HTTPD_VHOSTS_D\"=\"C:\\\\vhosts\"\n\"Debug\"=dword:00000001\n");
    for (const std::string& dir : {dir_.path(), drive_, drive_ + "/vhosts", drive_ + "/data"}) {
      fs::create_directories(dir);
      fs::permissions(dir, fs::perms(0755));
    }
    management_ = std::make_unique<ServiceProcess>(registry_, dir_.file("run/pipe/zrcpipe"));
    impersonation_ = std::make_unique<ServiceProcess>(registry_, dir_.file(kImpersonationPipe),
                                                      "tavrix-impersonation-service");
    // The web root of the site, the user's own as the panel makes it.
    fs::create_directories(webRoot());
    for (std::string dir = webRoot(); dir != drive_ + "/vhosts"; dir = fs::path(dir).parent_path())
      ASSERT_EQ(::chown(dir.c_str(), user_.uid(), user_.gid()), 0);
    writePackage(repository_ + "/demo-1.0", kPhpMetadata);
  }

  std::string webRoot() const { return drive_ + "/vhosts/" + user_.name() + "/httpdocs"; }

  // A small PHP application: files at several depths, modes other than the umask's, old times.
  // The repository is readable by everyone, as the copy reads it as the site user.
  void writePackage(const std::string& package, const std::string& metadata) {
    writeFile(package + "/APP-META.xml", metadata);
    for (const char* file : {"htdocs/index.php", "htdocs/uploads/.keep", "htdocs/cache/.keep",
                             "htdocs/config/settings.php", "htdocs/admin/tools/run.php", "lib/util.php",
                             "lib/deep/er/most.php"})
      writeFile(package + "/" + file, std::string("<?php // ") + file + "\n");
    ::chmod((package + "/htdocs/admin/tools/run.php").c_str(), 0755);
    ::chmod((package + "/htdocs/config/settings.php").c_str(), 0664);
    for (const auto& entry : fs::recursive_directory_iterator(package))
      fs::last_write_time(entry.path(), fs::file_time_type::clock::now() - std::chrono::hours(240));
  }

  // The command for the site (the panel's form of its web root unless given).
  ProcessResult tavrix(const std::string& command, const std::string& metadata,
                       const std::string& fullName = "demo-1.0", const std::string& subdirectory = "/blog/",
                       std::string wwwRoot = {}) {
    if (wwwRoot.empty()) wwwRoot = "C:\\vhosts\\" + user_.name() + "\\httpdocs";
    std::vector<std::string> args = {command, "--application-full-name=" + fullName, "--www-root=" + wwwRoot,
                                     "--user-name=" + user_.name(), "--application-subdirectory=" + subdirectory};
    if (!metadata.empty()) args.push_back("--metadata-file=" + metadata);
    return runTool(registry_, args);
  }
  ProcessResult extract(const std::string& metadata) { return tavrix("--extract-application", metadata); }
  ProcessResult update(const std::string& metadata) { return tavrix("--update-application-permissions", metadata); }

  std::string packageMetadata() const { return repository_ + "/demo-1.0/APP-META.xml"; }
  std::string groupLine(const std::string& permissions) const { return "group:" + group_.name() + ":" + permissions; }
  std::string siteOwner() const { return std::to_string(user_.uid()) + ":" + std::to_string(user_.gid()); }
  std::string security() const { return readFile(drive_ + "/vhosts/" + user_.name() + "/.kelvo/.Security"); }
  // How many entries the site's metadata holds for a directory below the web root.
  std::size_t entriesFor(const std::string& directory) const {
    return occurrences(security(), "SubPath=\"" + user_.name() + "\\httpdocs\\" + directory + "\"");
  }

  // A program run as the site user, with its groups.
  ProcessResult asSiteUser(std::vector<std::string> argv) {
    argv.insert(argv.begin(), {"/usr/bin/setpriv", "--reuid=" + std::to_string(user_.uid()),
                               "--regid=" + std::to_string(user_.gid()), "--init-groups"});
    return runProcess(argv);
  }
  // What the site user cannot do below the directory: read and write each file, create and remove
  // in each directory. Empty when it can do everything.
  std::string deniedToUser(const std::string& top) {
    const std::string script =
        "find \"$1\" -type d ! -exec sh -c 'touch \"$1/.probe\" && rm \"$1/.probe\"' _ {} \\; -print 2>&1;"
        "find \"$1\" -type f ! -exec sh -c 'cat \"$1\" >/dev/null && test -w \"$1\"' _ {} \\; -print 2>&1";
    return asSiteUser({"/bin/sh", "-c", script, "sh", top}).out;
  }

  std::string drive_ = dir_.file("c");
  std::string repository_ = drive_ + "/data/var/cgitory";
  ScopedUser user_;                // the site user
  WorkerGroup group_{user_.name()}; // its worker group IWPG_<user>
  std::string app_ = webRoot() + "/blog";
  std::unique_ptr<ServiceProcess> management_;
  std::unique_ptr<ServiceProcess> impersonation_;
};

} // namespace testing_support
