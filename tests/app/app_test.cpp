#include <gtest/gtest.h>

#include "app/console_app.h"
#include "app/params.h"
#include "tests/support/failure.h"

using testing_support::u8;

namespace {

Params parse(std::vector<std::u16string> args) { return Params(static_cast<int>(args.size()), args.data()); }

std::string failure(const std::function<void()>& call) {
  const testing_support::Failure f = testing_support::failureOf(call);
  return f.message + " @" + f.context;
}

TEST(Params, ParsingRules) {
  // A parameter without a value is there, empty: Commands.UnknownCommandsAndParametersAreNamed's bare
  // --metadata-file is refused as naming no file, not as missing.
  Params p = parse({u"--a=1", u"--b", u"--a=2=3", u"--b=x", u"--b", u"=empty"});
  EXPECT_EQ(p.get(u"--a", false, u"d"), u"2=3");
  EXPECT_EQ(p.get(u"--b", false, u"d"), u"x");
  EXPECT_EQ(p.get(u"", false, u"d"), u"empty");
  EXPECT_EQ(p.get(u"--missing", false, u"d"), u"d");
  EXPECT_EQ(failure([&] { p.getRequired(u"--missing"); }),
            "Missing required parameter --missing.  @Params::reportMissingParameter");
  // A file parameter's value is the file Operator.MessagesShowAPathInOneForm's warnings name; an
  // absent one is none (the "at load" row of Extract.RefusedFailedOrEmptyExtractionsLeaveNothingBehind);
  // one given empty names nothing, not the working directory: the refusal is
  // Commands.UnknownCommandsAndParametersAreNamed's (both forms, exact message and place).
  // The order of the checks and their messages are checked on the real binary
  // (tests/e2e/commands_test.cpp), the always-accepted internal package name by
  // Extract.TheUsersLockIsHeldThroughTheCopy; names are compared exactly.
  EXPECT_EQ(failure([&] { parse({u"--x", u"--X=1"}).check({u"--x"}, {u"--o"}); }),
            "Unexpected parameter --X. Possible parameters:\n    --x\n    [--o] @Params::check");
}

// A password parameter masked and the others quoted as they are, in the command line the tool
// prints: Commands.UnknownCommandsAndParametersAreNamed (tests/e2e).
TEST(ConsoleApp, MaskCommandLine) {
  const std::pair<std::u16string, std::string> cases[] = {
      {u"", ""},
      {u"tool --pwd=a=b", "tool \"--pwd=*=*\""},
      {u"tool \"--dir=C:\\My Sites\\\\\"", "tool \"--dir=C:\\My Sites\\\\\""},
      {u"tool --password", "tool --password"},
      {u"tool PWD=x", "tool \"PWD=x\""},
  };
  for (const auto& [line, logged] : cases) EXPECT_EQ(u8(maskCommandLine(line)), logged) << u8(line);
}

} // namespace
