// Whole-process tests of the tracing hook: a copy of tavrix in a temporary directory, with or
// without the test provider beside it, and the tracing switch on or off.
#include <algorithm>

#include <gtest/gtest.h>

#include "tests/e2e/host.h"

using namespace testing_support;
namespace fs = std::filesystem;

namespace {

class Tracing : public Host {
protected:
  Tracing() { fs::copy_file(binary("tavrix"), exe_); }

  // Runs the copy with the switch set as given; returns the trace ("N" for the line numbers).
  std::string run(bool enabled, const std::vector<std::string>& args) {
    writeRegistry(enabled ? "\"opentracing_enabled\"=dword:00000001\n" : "");
    std::vector<std::string> argv{exe_};
    argv.insert(argv.end(), args.begin(), args.end());
    result_ = runProcess(argv, {{"TAVRIX_REGISTRY", registry_}, {"TAVRIX_TRACE_FILE", trace_}});
    const std::string trace = std::regex_replace(readFile(trace_), std::regex(" [0-9]+ \n"), " N\n");
    fs::remove(trace_);
    return trace;
  }

  std::string exe_ = dir_.file("tavrix");
  std::string trace_ = dir_.file("trace");
  ProcessResult result_;
};

TEST_F(Tracing, OnRecordsTheFrameSpansAndOffLoadsNothing) {
  fs::copy_file(TAVRIX_TEST_TRACING_PROVIDER, dir_.file("opentracingprovider.so"));
  // Off, the provider beside it is not loaded: the tool is the one Commands.UsageWithoutArgumentsAndForHelp runs.
  EXPECT_EQ(run(false, {"--help"}), "");
  EXPECT_EQ(run(true, {"--help"}), "tracer\nspan vconsoleapp::run N\nspan vconsoleapp::start N\nclose vconsoleapp::start\n"
                                   "tag vconsoleapp::run if_error=Unable to execute command: '" + exe_ + " --help'\n"
                                   "close vconsoleapp::run\n");
  EXPECT_EQ(result_.exitCode, 0);

  // A failure's exit code (1) is Commands.UnknownCommandsAndParametersAreNamed's: run() returns it
  // whatever the spans did.
  const std::string failed = run(true, {"--bogus"});
  for (const std::string& line : {std::string("failed vconsoleapp::start Unable to execute console command: '--bogus'\n"),
                                  "failed vconsoleapp::run Unable to execute command: '" + exe_ + " --bogus'\n",
                                  std::string("tag vconsoleapp::start vexception=command --bogus not supported. Possible")})
    EXPECT_NE(failed.find(line), std::string::npos) << line << "\n" << failed;
}

TEST_F(Tracing, OnWithoutProviderFailsTheFirstGuardedOperation) {
  EXPECT_EQ(run(true, {"--help"}), "");
  EXPECT_EQ(result_.exitCode, 1);
  std::string windowsDir = dir_.path();
  std::replace(windowsDir.begin(), windowsDir.end(), '/', '\\');
  EXPECT_EQ(withoutLineNumbers(result_.out),
            "No such file or directory (Error code 2) at Unable to load library (" + windowsDir +
                "\\opentracingprovider.so)\n   at (RunTime::LibraryPtr::LibraryPtr line N)"
                "\n   at Unable to execute command: '" + exe_ + " --help'(vconsoleapp::run line N)");
}

} // namespace
