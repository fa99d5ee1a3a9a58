// Whole-process test of --extract-application with a sparse file in the package: the real binary
// and both reference services, a created site user, the package below a temporary drive C:.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "os/posix/fd.h"
#include "tests/service/service_process.h"
#include "tests/support/testing.h"

using namespace testing_support;
namespace fs = std::filesystem;

namespace {

TEST(SparseExtract, ASparseFileTakesNoMoreRoomInTheSiteThanInThePackage) {
  if (::geteuid() != 0) GTEST_SKIP() << "extraction acts as a created site user and the services run as root";
  ScopedUser user;
  ASSERT_TRUE(user.ok()) << "cannot create the site user";
  TempDir dir;
  const std::string registry = dir.file("registry.reg"), drive = dir.file("c");
  writeFile(registry, "Windows Registry Editor Version 5.00\n\n"
                      "[HKEY_LOCAL_MACHINE\\SYSTEM\\Tavrix]\n\"RunDirectory\"=\"" + dir.file("run") + "\"\n"
                      "[HKEY_LOCAL_MACHINE\\SYSTEM\\Tavrix\\DosDevices]\n\"C:\"=\"" + drive + "\"\n"
                      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\WOW6432Node\\Kelvo\\ZRC Config\\Config]\n"
                      "\"PRODUCT_DATA_D\"=\"C:\\\\data\"\n\"HTTPD_VHOSTS_D\"=\"C:\\\\vhosts\"\n"
                      "\"PRODUCT_ROOT_D\"=\"" + dir.file("product") + "\"\n");
  fs::create_directories(dir.file("product/admin/logs"));
  const std::string package = drive + "/data/var/cgitory/sparse-1.0", site = drive + "/vhosts/" + user.name();
  writeFile(package + "/APP-META.xml",
            "<application xmlns='http://tavrix.dev/app-package/ns/1'><mapping url='/' path='htdocs'/></application>");
  fs::create_directories(site + "/httpdocs");
  for (std::string at = site + "/httpdocs"; at != drive + "/vhosts"; at = fs::path(at).parent_path())
    ASSERT_EQ(::chown(at.c_str(), user.uid(), user.gid()), 0);
  for (std::string at = drive + "/vhosts"; at != dir.path(); at = fs::path(at).parent_path())
    fs::permissions(at, fs::perms(0755));
  fs::permissions(dir.path(), fs::perms(0755));

  // A gigabyte with a little data at the start and in the middle, and a hole at the end.
  const std::string big = package + "/htdocs/big.bin";
  fs::create_directories(package + "/htdocs");
  {
    os::posix::Fd out(::open(big.c_str(), O_WRONLY | O_CREAT, 0644));
    ASSERT_EQ(::pwrite(out.get(), "start", 5, 0), 5);
    ASSERT_EQ(::pwrite(out.get(), "middle", 6, off_t{1} << 29), 6);
    ASSERT_EQ(::ftruncate(out.get(), off_t{1} << 30), 0);
  }

  ServiceProcess management(registry, dir.file("run/pipe/zrcpipe"));
  ServiceProcess impersonation(registry, dir.file("run/pipe/ZRC_pipe {110D2F0F-F073-4021-AB73-C7886FB9BD1E}"),
                               "tavrix-impersonation-service");
  ProcessResult r = runProcess({binary("tavrix"), "--extract-application", "--application-full-name=sparse-1.0",
                                "--www-root=C:\\vhosts\\" + user.name() + "\\httpdocs", "--user-name=" + user.name(),
                                "--application-subdirectory=/blog/", "--metadata-file=" + package + "/APP-META.xml"},
                               {{"TAVRIX_REGISTRY", registry}});
  ASSERT_EQ(r.exitCode, 0) << r.out;

  struct stat original {}, copied {};
  ASSERT_EQ(::stat(big.c_str(), &original), 0);
  ASSERT_EQ(::stat((site + "/httpdocs/blog/big.bin").c_str(), &copied), 0);
  EXPECT_EQ(copied.st_size, original.st_size);
  EXPECT_EQ(copied.st_uid, user.uid());
  char middle[6] = {};
  os::posix::Fd in(::open((site + "/httpdocs/blog/big.bin").c_str(), O_RDONLY));
  EXPECT_EQ(::pread(in.get(), middle, 6, off_t{1} << 29), 6);
  EXPECT_EQ(std::string(middle, 6), "middle");
  // A little slack for the file system's own bookkeeping.
  EXPECT_LE(copied.st_blocks, original.st_blocks + 64);
}

} // namespace
