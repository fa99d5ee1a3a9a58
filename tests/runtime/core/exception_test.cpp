#include "runtime/core/exception.h"

#include <gtest/gtest.h>

#include "runtime/core/guard.h"
#include "tests/support/failure.h"

using testing_support::failureOf;
using testing_support::u8;

namespace {

// The class of an OS error follows its code; its message is the system's text with the code.
TEST(Exception, OSErrorsByCode) {
  const std::pair<std::uint32_t, const char*> cases[] = {
      {2, "VFileNotFoundException"},       {3, "VPathNotFoundException"},  {5, "VAccessDeniedException"},
      {145, "VDirectoryNotEmptyException"}, {183, "VAlreadyExistsException"}, {1332, "VNoneMappedException"},
      {87, "vosexception"}};
  for (const auto& [code, type] : cases) {
    std::string thrown = "nothing thrown";
    try {
      throwOSError(u"doing", code, VCONTEXT("f"));
    } catch (const vosexception& e) {
      thrown = typeid(e).name();
      EXPECT_EQ(e.code(), code);
      EXPECT_TRUE(u8(e.message()).ends_with(" (Error code " + std::to_string(code) + ") at doing")) << u8(e.message());
    }
    EXPECT_NE(thrown.find(type), std::string::npos) << thrown << " for " << code;
  }
  // The whole text of a code is Registry.FailuresCarryTheirMessagesAndContexts's; of a code without
  // text of its own, Sync.ReleasingAnotherThreadsMutexFails's.
}

TEST(Exception, ComErrorMessages) {
  EXPECT_EQ(u8(_com_error(static_cast<com::HRESULT>(0x80040205)).ErrorMessage()), "IDispatch error #5");
  EXPECT_EQ(u8(_com_error(static_cast<com::HRESULT>(0x80040200)).ErrorMessage()),
            "Unknown error 0x80040200");
  EXPECT_EQ(u8(_com_error(com::hresultFromWin32(2)).ErrorMessage()), "No such file or directory");

  vexception e = vexceptionFromComError(_com_error(com::E_FAIL, u"bad xpath"), u"Unable to call x()",
                                        "x", 7);
  EXPECT_EQ(u8(e.fullText()),
            "Unspecified error (COM Error 80004005, Description: bad xpath)\n   at Unable to call "
            "x()\n   at (x line 7)");
}

// A guarded operation: throws what `thrower` throws, inside `depth` guards.
template <class Thrower>
void nested(int depth, Thrower thrower) {
  if (depth == 0) thrower();
  else
    guarded("level", depth, [&] { return u"Unable to call level(" + std::u16string(1, u'0' + depth) + u")"; },
            [&] { nested(depth - 1, thrower); });
}

// The text of several contexts, innermost first, each guard adding its own, is what the whole tool
// prints: Commands.UnknownCommandsAndParametersAreNamed and Tracing.OnWithoutProviderFailsTheFirstGuardedOperation
// (tests/e2e) compare it exactly; a context's line number is ComErrorMessages's above.
TEST(Guard, KeepsTheClassOfAnOSError) {
  EXPECT_THROW(nested(3, [] { throwOSError(u"open", 2, VCONTEXT("open")); }), VFileNotFoundException);
}

// A structured exception's conversion is FatalErrors.WriteOneDumpAndEndWithoutHanging's (tests/runtime/log):
// a real fault in a guarded operation, its exact text.
TEST(Guard, ConvertsForeignExceptions) {
  const std::pair<std::function<void()>, const char*> cases[] = {
      {[] { throw std::runtime_error("std text"); }, "std text"},
      {[] { throw 42; }, "Unexpected error"},
  };
  for (const auto& [thrower, message] : cases) {
    const testing_support::Failure f = failureOf([&] { nested(1, thrower); });
    EXPECT_EQ(f.message + " @" + f.context + f.calls, std::string(message) + " @level\nat Unable to call level(1)");
  }
}

} // namespace
