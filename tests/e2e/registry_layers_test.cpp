// The operator's registry file across whole runs of the tool: read, never written.
#include <sys/stat.h>

#include <filesystem>

#include <gtest/gtest.h>

#include "tests/support/testing.h"

using namespace testing_support;

namespace {

std::string utf16le(std::string_view ascii) {
  std::string bytes = "\xFF\xFE";
  for (char c : ascii) bytes += {c, '\0'};
  return bytes;
}

TEST(RegistryLayersRun, TheOperatorsFileIsByteForByteUnchangedAfterEveryCommand) {
  TempDir dir;
  const std::string operatorFile = dir.file("etc/registry.reg");
  const std::string toolFile = dir.file("state/registry.reg");
  writeFile(operatorFile, utf16le("Windows Registry Editor Version 5.00\r\n\r\n"
                                  "; kept by the configuration tool\r\n"
                                  "[HKEY_LOCAL_MACHINE\\SYSTEM\\Tavrix]\r\n"
                                  "\"RunDirectory\"=\"" + dir.file("run") + "\"  ; locks and pipes\r\n"));
  const std::string before = readFile(operatorFile);
  const std::map<std::string, std::string> environment = {
      {"TAVRIX_REGISTRY", ""}, {"TAVRIX_OPERATOR_REGISTRY", operatorFile}, {"TAVRIX_TOOL_REGISTRY", toolFile}};
  const std::vector<std::vector<std::string>> commands = {
      {"--help"},
      {"--extract-application", "--application-full-name=a", "--www-root=/x", "--user-name=bob",
       "--application-subdirectory=s"},
  };
  ino_t firstRound = 0;
  for (int round = 0; round < 2; ++round) {
    for (std::vector<std::string> args : commands) {
      args.insert(args.begin(), binary("tavrix"));
      ProcessResult r = runProcess(args, environment);
      EXPECT_NE(r.exitCode, -1) << r.err;
      EXPECT_EQ(readFile(operatorFile), before) << args[1];
    }
    struct stat st {};
    ASSERT_EQ(::stat(toolFile.c_str(), &st), 0) << "the tool's own file holds its writes";
    // The second round finds its registrations in place and rewrites nothing.
    if (round == 0) firstRound = st.st_ino;
    else EXPECT_EQ(st.st_ino, firstRound);
  }
  // The run directory came from the operator's file.
  EXPECT_TRUE(std::filesystem::is_directory(dir.file("run/lock")));
}

} // namespace
