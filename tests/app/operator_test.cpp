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
  // The arguments, the exit code, and whether the version is printed.
  // Every command's parameters are checked, and an unknown command refused, before the one place
  // that opens the log, the store and the dump location (tavriximp::go): one usage error stands
  // for them all, and --help below for a run without arguments, which is --help.
  const std::tuple<std::vector<std::string>, int, bool> cases[] = {
      {{"--version"}, 0, true},
      {{"-V"}, 0, true},
      {{"--extract-application", "--application-full-name=a"}, 1, false},
  };
  for (const auto& [args, exitCode, printsVersion] : cases) {
    const auto before = changeTimes(dir_.path());
    ProcessResult r = runTool(registry_, args);
    EXPECT_EQ(r.exitCode, exitCode) << r.out;
    EXPECT_EQ(std::regex_match(r.out, version), printsVersion) << r.out;
    EXPECT_EQ(changeTimes(dir_.path()), before) << (args.empty() ? "" : args[0]);
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
// is UTF-16 with CR LF unless LogEncoding says UTF-8; another encoding fails the command. (Without
// LogEncoding it is UTF-16: LogFileSink.SwitchesDecideWhatReachesTheFile reads it so, exactly.)
TEST_F(Operator, TheLogDirectoryIsMadeAndTheEncodingChosen) {
  // The configuration, the log's first bytes and its line end, and the command's failure.
  const std::tuple<std::string, std::string, std::string, std::string> cases[] = {
      {"\"LogEncoding\"=\"UTF-16\"\n", "\xFF\xFE", std::string("\r\0\n\0", 4), "failed to load external entity"},
      {"\"LogEncoding\"=\"utf-8\"\n", "20", "'\n", "failed to load external entity"},
      {"\"LogEncoding\"=\"latin1\"\n", "", "", "LogEncoding is 'latin1': use UTF-8 or UTF-16"},
  };
  const group* adm = ::getgrnam("adm");
  for (const auto& [config, start, lineEnd, failure] : cases) {
    std::filesystem::remove_all(product_);
    setConfig(config);
    ProcessResult r = runTool(registry_, kActingCommand);
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.out.substr(0, failure.size()), failure) << config;
    struct stat st {};
    ASSERT_EQ(::stat(dir_.file("product/admin/logs").c_str(), &st), 0) << config;
    EXPECT_EQ(st.st_mode & 07777, 0750u);
    EXPECT_EQ(st.st_uid, ::geteuid());
    if (::geteuid() == 0 && adm) {
      EXPECT_EQ(st.st_gid, adm->gr_gid);
    }
    const std::string log = readFile(logPath());
    EXPECT_EQ(log.substr(0, start.size()), start) << config;
    EXPECT_NE(log.find(lineEnd), std::string::npos) << config;
    EXPECT_EQ(log.find('\r') != std::string::npos, lineEnd.starts_with('\r')) << config;
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
