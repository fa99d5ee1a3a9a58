// Whole-process tests of the tracing hook: a copy of tavrix in a temporary directory, with or
// without the test provider beside it, and the tracing switch on or off.
#include <algorithm>
#include <sstream>

#include <gtest/gtest.h>

#include "tests/e2e/host.h"

using namespace testing_support;
namespace fs = std::filesystem;

namespace {

class Tracing : public ::testing::Test {
protected:
  Tracing() { fs::copy_file(binary("tavrix"), exe_); }

  // Runs the copy with the switch set as given; returns the trace lines ("line N" for any line).
  std::vector<std::string> run(bool enabled, const std::vector<std::string>& args) {
    writeFile(dir_.file("registry.reg"), hostRegistry(dir_.path(), enabled ? "\"opentracing_enabled\"=dword:00000001\n" : ""));
    std::vector<std::string> argv{exe_};
    argv.insert(argv.end(), args.begin(), args.end());
    result_ = runProcess(argv, {{"TAVRIX_REGISTRY", dir_.file("registry.reg")}, {"TAVRIX_TRACE_FILE", trace_}});
    std::vector<std::string> lines;
    std::istringstream trace(fs::exists(trace_) ? readFile(trace_) : "");
    for (std::string line; std::getline(trace, line);) lines.push_back(std::regex_replace(line, std::regex(" [0-9]+ $"), " N"));
    fs::remove(trace_);
    return lines;
  }

  void addProvider() { fs::copy_file(TAVRIX_TEST_TRACING_PROVIDER, dir_.file("opentracingprovider.so")); }

  static bool has(const std::vector<std::string>& lines, const std::string& line) {
    return std::find(lines.begin(), lines.end(), line) != lines.end();
  }

  TempDir dir_;
  std::string exe_ = dir_.file("tavrix");
  std::string trace_ = dir_.file("trace");
  ProcessResult result_;
};

TEST_F(Tracing, OnRecordsTheFrameSpansAndOffLoadsNothing) {
  addProvider();
  EXPECT_TRUE(run(false, {"--help"}).empty());
  EXPECT_EQ(result_.exitCode, 0);
  EXPECT_EQ(run(true, {"--help"}),
            (std::vector<std::string>{"tracer", "span vconsoleapp::run N", "span vconsoleapp::start N",
                                      "close vconsoleapp::start",
                                      "tag vconsoleapp::run if_error=Unable to execute command: '" + exe_ + " --help'",
                                      "close vconsoleapp::run"}));
  EXPECT_EQ(result_.exitCode, 0);

  std::vector<std::string> failed = run(true, {"--bogus"});
  EXPECT_EQ(result_.exitCode, 1);
  EXPECT_TRUE(has(failed, "failed vconsoleapp::start Unable to execute console command: '--bogus'"));
  EXPECT_TRUE(has(failed, "failed vconsoleapp::run Unable to execute command: '" + exe_ + " --bogus'"));
  EXPECT_TRUE(has(failed, "tag vconsoleapp::start vexception=command --bogus not supported. Possible commands:"));
}

TEST_F(Tracing, OnWithoutProviderFailsTheFirstGuardedOperation) {
  EXPECT_TRUE(run(true, {"--help"}).empty());
  EXPECT_EQ(result_.exitCode, 1);
  std::string windowsDir = dir_.path();
  std::replace(windowsDir.begin(), windowsDir.end(), '/', '\\');
  EXPECT_EQ(withoutLineNumbers(result_.out),
            "No such file or directory (Error code 2) at Unable to load library (" + windowsDir +
                "\\opentracingprovider.so)\n   at (RunTime::LibraryPtr::LibraryPtr line N)"
                "\n   at Unable to execute command: '" + exe_ + " --help'(vconsoleapp::run line N)");
}

} // namespace
