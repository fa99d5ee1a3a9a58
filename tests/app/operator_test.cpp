// Whole-process tests of what an operator meets around the commands: --version, runs that leave
// the host as they found it, a misnamed registry store, the log's directory and encoding, and
// the one form in which messages show a path.
#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "tests/e2e/host.h"

using namespace testing_support;

namespace {

// A private host whose product root exists without its admin directory, debug logging on.
class Operator : public Host {
protected:
  Operator() { setConfig({}); }

  void setConfig(const std::string& config) {
    std::filesystem::create_directories(product_);
    writeRegistry("\"Debug\"=dword:00000001\n" + config);
  }
};

TEST_F(Operator, VersionHelpAndUsageErrorsWriteNothing) {
  const std::regex version(R"(tavrix [0-9][^ ]* \(([0-9a-f]{7,}|unknown)\)\n)");
  struct Case {
    std::vector<std::string> args;
    int exitCode;
    bool printsVersion;
  };
  const Case cases[] = {
      {{"--version"}, 0, true},
      {{"-V"}, 0, true},
      {{}, 0, false},
      {{"--Help"}, 1, false},
      {{"--extract-application", "--application-full-name=a"}, 1, false},
      {{"--delete-application", "--application-full-name=a", "--www-root=/x", "--user-name=u",
        "--application-subdirectory=s", "--files=f", "--bogus"},
       1, false},
  };
  for (const Case& c : cases) {
    const auto before = changeTimes(dir_.path());
    ProcessResult r = runTool(registry_, c.args);
    EXPECT_EQ(r.exitCode, c.exitCode) << r.out;
    EXPECT_EQ(std::regex_match(r.out, version), c.printsVersion) << r.out;
    EXPECT_EQ(changeTimes(dir_.path()), before) << (c.args.empty() ? "" : c.args[0]);
  }
  // --help makes nothing, also with the store in two files, the tool's in a directory yet to be made.
  writeFile(dir_.file("operator.reg"), hostRegistry(dir_.path(), ""));
  const auto before = changeTimes(dir_.path());
  ProcessResult r = runProcess({binary("tavrix"), "--help"},
                               {{"TAVRIX_REGISTRY", ""},
                                {"TAVRIX_OPERATOR_REGISTRY", dir_.file("operator.reg")},
                                {"TAVRIX_TOOL_REGISTRY", dir_.file("state/registry.reg")}});
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_EQ(changeTimes(dir_.path()), before);
}

TEST_F(Operator, AMissingStoreNamedByTheEnvironmentIsAnError) {
  const std::string missing = dir_.file("registry.rge");
  ProcessResult r = runTool(missing, kActingCommand);
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_EQ(r.out.substr(0, r.out.find('\n')),
            "Registry file " + missing + " named by TAVRIX_REGISTRY does not exist");
  EXPECT_FALSE(std::filesystem::exists(missing));
}

// The first command that acts makes admin/logs, root's and the log readers' alone; the daily log
// is UTF-16 with CR LF unless LogEncoding says UTF-8; another encoding fails the command.
TEST_F(Operator, TheLogDirectoryIsMadeAndTheEncodingChosen) {
  struct Case {
    std::string config;
    std::string start; // the log's first bytes
    std::string lineEnd;
    std::string failure;
  };
  const Case cases[] = {
      {"", "\xFF\xFE", std::string("\r\0\n\0", 4), "failed to load external entity"},
      {"\"LogEncoding\"=\"UTF-16\"\n", "\xFF\xFE", std::string("\r\0\n\0", 4), "failed to load external entity"},
      {"\"LogEncoding\"=\"utf-8\"\n", "20", "'\n", "failed to load external entity"},
      {"\"LogEncoding\"=\"latin1\"\n", "", "", "LogEncoding is 'latin1': use UTF-8 or UTF-16"},
  };
  const group* adm = ::getgrnam("adm");
  for (const Case& c : cases) {
    std::filesystem::remove_all(product_);
    setConfig(c.config);
    ProcessResult r = runTool(registry_, kActingCommand);
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.out.substr(0, c.failure.size()), c.failure) << c.config;
    struct stat st {};
    ASSERT_EQ(::stat(dir_.file("product/admin/logs").c_str(), &st), 0) << c.config;
    EXPECT_EQ(st.st_mode & 07777, 0750u);
    EXPECT_EQ(st.st_uid, ::geteuid());
    if (::geteuid() == 0 && adm) {
      EXPECT_EQ(st.st_gid, adm->gr_gid);
    }
    const std::string log = readFile(logPath());
    EXPECT_EQ(log.substr(0, c.start.size()), c.start) << c.config;
    EXPECT_NE(log.find(c.lineEnd), std::string::npos) << c.config;
    EXPECT_EQ(log.find('\r') != std::string::npos, c.lineEnd.starts_with('\r')) << c.config;
  }
}

// A path is shown in the panel's form when it lies on a mapped drive (C: is <dir>/c), however it
// was given, and in the host's form otherwise (given in the host's form too:
// Extract.UpdateWarnsAboutMissingFilesAndTakesTheLaterRule).
TEST_F(Operator, MessagesShowAPathInOneForm) {
  setConfig("\"LogEncoding\"=\"UTF-8\"\n");
  std::string offDrive = dir_.file("elsewhere/m.xml"), offDriveWindows = offDrive;
  std::replace(offDriveWindows.begin(), offDriveWindows.end(), '/', '\\');
  const std::pair<std::string, std::string> cases[] = {
      {"C:\\meta\\m.xml", "C:\\meta\\m.xml"},
      {dir_.file("c/meta/m.xml"), "C:\\meta\\m.xml"},
      {offDriveWindows, offDrive},
  };
  for (const auto& [given, shown] : cases) {
    std::filesystem::remove(logPath());
    ProcessResult r = runTool(registry_, {"--update-application-permissions", "--application-full-name=a",
                                          "--www-root=C:\\site", "--user-name=u", "--application-subdirectory=s",
                                          "--metadata-file=" + given});
    EXPECT_EQ(r.exitCode, 0) << r.out;
    const std::string log = readFile(logPath());
    EXPECT_NE(log.find("Warning: Unable to open metadata file: " + shown + "\n"), std::string::npos) << given;
  }
}

} // namespace
