// The impersonation client against the real reference service over real sockets (as root, with
// created users and groups), and its reading of a reply a real one never gives.
#include "runtime/process/sid_client.h"

#include <unistd.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "runtime/log/log_manager.h"
#include "runtime/process/impersonation_wire.h"
#include "runtime/process/vprocess.h"
#include "runtime/security/model/account_sids.h"
#include "tests/support/service_process.h"
#include "tests/support/failure.h"
#include "tests/support/log_lines.h"
#include "tests/support/testing.h"

using namespace testing_support;
using RunTime::SIDClient;

namespace {

// A private registry and run directory, created accounts and the real service; the client's
// connection is dropped between tests, so each test meets its own service.
class RealService : public ::testing::Test {
protected:
  void SetUp() override {
    if (::geteuid() != 0) GTEST_SKIP() << "starting programs as other accounts needs root";
    ASSERT_TRUE(primary_.ok() && user_.ok()) << "cannot create the test accounts";
    registry_.write("[HKEY_LOCAL_MACHINE\\SYSTEM\\Tavrix]\n\"RunDirectory\"=\"" + dir_.file("run") + "\"\n");
    LogManager::instance().addListener(log_);
    service_ = std::make_unique<ServiceProcess>(registry_.path(), pipePath(), "tavrix-impersonation-service");
  }
  ~RealService() override { RunTime::PipeClient().disconnect(); }

  std::string pipePath() const { return dir_.file("run/pipe/ZRC_pipe {110D2F0F-F073-4021-AB73-C7886FB9BD1E}"); }
  std::size_t reconnects() {
    const auto reconnection = [](const std::string& line) { return line.starts_with("Info: Kelvo impersonation pipe"); };
    return std::ranges::count_if(log_->lines(), reconnection);
  }
  RunTime::Sid sid() const { return RunTime::userSid(user_.uid()); }

  TempDir dir_;
  ScopedRegistry registry_;
  std::shared_ptr<LogLines> log_ = std::make_shared<LogLines>();
  std::unique_ptr<ServiceProcess> service_;
  ScopedGroup primary_;
  ScopedUser user_{primary_};
};

// What a command line run as the account the way the script runner does (request 3)
// writes, and its exit code.
std::pair<std::string, std::uint32_t> runAs(const RunTime::Sid& sid, const std::u16string& commandLine,
                                            const std::u16string& environment = u"") {
  SIDClient client;
  os::Handle process = client.exRunAsUserEx(sid, false, u"", commandLine, u"", environment, true, true, true, false);
  std::string output = client.casyncReadTaskOutput();
  return {output, VProcess::getExitCode(process.get())};
}

// The environment block and a working directory reach the program in ScriptRunner.RunsAsTheSiteUser...
// A variable longer than one message of the socket's default buffer (as long as a program may be
// given) arrives whole, and no directory means the root. A service restarted at once (here in
// process groups, without control groups) is reached by a new connection as the request begins,
// without a retry (the retry for one back later is
// Extract.AServiceRestartedDuringAnExtractionIsReconnected's). What the program leaves behind is
// killed when it ends (with control groups this is Script.ARunEndsWithNothingLeftAtItsEndOrItsLimit's):
// the sleep holds the output pipe, and the exit code is the program's, not the killed sleep's.
TEST_F(RealService, ARunArrivesWholeAndARestartedServiceInProcessGroupsKillsWhatItLeaves) {
  EXPECT_EQ(runAs(sid(), u"/bin/sh -c \"echo ${#BIG}; pwd\"", u"BIG=" + std::u16string(131000, u'x')),
            std::make_pair(std::string("131000\n/\n"), 0u));
  service_->kill();
  {
    const ScopedEnv noGroups("TAVRIX_NO_CGROUPS", "1");
    service_ = std::make_unique<ServiceProcess>(registry_.path(), pipePath(), "tavrix-impersonation-service");
  }
  EXPECT_EQ(runAs(sid(), u"/bin/sh -c \"sleep 600 & echo started; exit 3\""),
            std::make_pair(std::string("started\n"), 3u));
  EXPECT_EQ(liveProcessesOf(user_.uid()), std::vector<std::string>{});
  EXPECT_EQ(reconnects(), 0u);
}

TEST_F(RealService, RefusedAccountsAndProgramsFailWithTheServiceMessage) {
  // The account, the command line, its environment, and what the failure's message holds.
  const std::tuple<RunTime::Sid, std::u16string, std::u16string, std::string> cases[] = {
      {VSID::system(), u"/usr/bin/id", u"", "Refusing to act as S-1-5-18"},
      {RunTime::groupSid(primary_.gid()), u"/usr/bin/id", u"", "is not a user account"},
      {RunTime::userSid(3999999999u), u"/usr/bin/id", u"", "Unknown account S-1-22-1-3999999999"},
      {sid(), u"/nonexistent/program", u"", "Unable to start /nonexistent/program"},
      // The request reaches the service whole; the system gives no program a variable this long.
      {sid(), u"/bin/sh -c \"echo ${#BIG}\"", u"BIG=" + std::u16string(500000, u'x'), "Argument list too long"},
  };
  for (const auto& [account, commandLine, environment, message] : cases) {
    const Failure f = failureOf([&] { runAs(account, commandLine, environment); });
    EXPECT_NE(f.message.find(message), std::string::npos) << f.message;
    EXPECT_NE(f.calls.find("Unable to call exRunAsUserEx()"), std::string::npos) << f.calls;
  }
  // A refusal during the request head counts as a communication error: tried once more.
  EXPECT_EQ(reconnects(), 3u);
  // The connection serves on after all of them.
  EXPECT_EQ(runAs(sid(), u"/bin/echo still here").first, "still here\n");
}

// A text where the eight bytes of a run's reply belong, shorter or longer: a reply a real service
// never gives. (How the client reads a reply of status text every run above shows.)
TEST(ImpersonationWire, ARunReplyOfAnotherSizeIsRefused) {
  for (const std::u16string text : {u"abc", u"abcdef"})
    EXPECT_EQ(failureOf([&] { RunTime::impersonation::processHandleValue(text); }).message,
              "Invalid answer from server: (" + u8(text) + ")");
}

} // namespace
