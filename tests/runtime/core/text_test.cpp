#include <functional>

#include <gtest/gtest.h>

#include "runtime/core/command_line.h"
#include "runtime/core/exception.h"
#include "runtime/core/format.h"
#include "runtime/core/text.h"
#include "tests/support/failure.h"

using testing_support::u8;

namespace {

TEST(Format, WideConventions) {
  const std::pair<std::u16string, const char*> cases[] = {
      {formatString(u"%d %u %x %X %lu %lX", -5, 7u, 255, 255, 4000000000u, 0xABCu),
       "-5 7 ff FF 4000000000 ABC"},
      {formatString(u"%03d|%08X|%hx|%%", 7, 0xBEEFu, 0x12345), "007|0000BEEF|2345|%"},
      {formatString(u"[%-5s][%5s][%.2s]", u"ab", u"ab", u"abcdef"), "[ab   ][   ab][ab]"},
      {formatString(u"%d", std::int64_t(0x100000001)), "1"},
      {formatString(u"%lld %I64u", std::int64_t(-0x100000001), std::uint64_t(1) << 40),
       "-4294967297 1099511627776"},
      {formatString(u"%c%hc", u'\u00e9', 'x'), "\u00e9x"},
      {formatString(u"%.1f", 2.25), "2.2"},
      {formatString(u"no conversions"), "no conversions"},
  };
  for (const auto& [text, expected] : cases) EXPECT_EQ(u8(text), expected);
}

TEST(Format, MismatchIsAnArgumentException) {
  const std::function<void()> mismatches[] = {
      [] { formatString(u"%s", 5); },   [] { formatString(u"%d", u"text"); }, [] { formatString(u"%hs", u"wide"); },
      [] { formatString(u"%d %d", 1); }, [] { formatString(u"%d", 1, 2); },   [] { formatString(u"%n", 1); },
      [] { formatString(u"50%"); },      [] { formatString(u"%y", 1); }};
  for (const auto& mismatch : mismatches) {
    EXPECT_THROW(mismatch(), ArgumentException);
    const testing_support::Failure f = testing_support::failureOf(mismatch);
    EXPECT_EQ(f.message + " @" + f.context, "_scwprintf() failed: invalid arguments @formatString");
  }
}

TEST(Text, Conversions) {
  EXPECT_EQ(cstr(u"", 12345), "");
  EXPECT_EQ(wstr("", 12345), u"");
  EXPECT_EQ(cstr(u"gr\u00fc\u00dfe \U0001F600", CP_UTF8), "gr\xc3\xbc\xc3\x9f" "e \xf0\x9f\x98\x80");
  EXPECT_EQ(wstr("gr\xc3\xbc\xc3\x9f" "e", CP_UTF8), u"gr\u00fc\u00dfe");
  EXPECT_EQ(wstr("a\xff" "b", CP_UTF8), u"a\ufffdb");
  EXPECT_EQ(cstr(u"\u00e9\u4e00", 1252), "\xe9?");
  EXPECT_EQ(wstr("\xe9\x80", 1252), u"\u00e9\u20ac");
  EXPECT_EQ(cstr(std::u16string(u"a\0b", 3), CP_UTF8), std::string("a\0b", 3));
  // An unknown code page is an invalid argument.
  EXPECT_EQ(testing_support::failureOf([] { cstr(u"x", 4); }).code, 87u);
  const testing_support::Failure f = testing_support::failureOf([] { wstr("x", 4); });
  EXPECT_EQ(std::to_string(f.code) + " " + f.context, "87 wstr");
}

TEST(Text, Comparisons) {
  EXPECT_TRUE(RunTime::striequal(u"Hello \u00c9t\u00e9", u"hELLO \u00e9T\u00c9"));
  EXPECT_FALSE(RunTime::striequal(u"abc", u"abcd"));
  EXPECT_FALSE(RunTime::striequal(u"abc", u"abd"));
  EXPECT_EQ(compareStrings(u"abc", u"abc", false), 0);
  EXPECT_EQ(compareStrings(u"ABC", u"abc", false), -1);
  EXPECT_EQ(compareStrings(u"abc", u"ab", false), 1);
  EXPECT_EQ(compareStrings(u"ABC", u"abc", true), 0);
  EXPECT_LT(compareStrings(u"ab", u"ABC", true), 0);
  EXPECT_GT(compareStrings(u"b", u"A", true), 0);
}

// What needs no quotes stays as it is: C:\a\b here, the commands' names in the command lines that
// Commands.UnknownCommandsAndParametersAreNamed (tests/e2e) reads.
TEST(CommandLine, QuoteArgument) {
  const std::pair<std::u16string, std::u16string> cases[] = {
      {u"", u"\"\""},
      {u"a b", u"\"a b\""},
      {u"C:\\Program Files\\", u"\"C:\\Program Files\\\\\""},
      {u"a\\\"b", u"\"a\\\\\\\"b\""},
      {u"x&y", u"\"x&y\""},
      {u"C:\\a\\b", u"C:\\a\\b"},
  };
  for (const auto& [in, out] : cases) EXPECT_EQ(quoteArgument(in), out) << u8(in);
}

TEST(CommandLine, SplitRules) {
  using V = std::vector<std::u16string>;
  const V args = {u"C:\\Program Files\\tool.exe", u"plain", u"", u"with space", u"trailing\\",
                  u"a\\\"b", u"\\\\server\\share\\", u"--pwd=a=b", u"quote\"inside"};
  EXPECT_EQ(splitCommandLine(joinCommandLine(args)), args); // reads back what quoting wrote
  EXPECT_EQ(splitCommandLine(u""), V{});
  EXPECT_EQ(splitCommandLine(u"prog"), V{u"prog"});
  EXPECT_EQ(splitCommandLine(u"\"C:\\a b\\p.exe\" x"), (V{u"C:\\a b\\p.exe", u"x"}));
  EXPECT_EQ(splitCommandLine(u"C:\\dir\\p.exe a\\\\b \"c d\" e\\\"f   "),
            (V{u"C:\\dir\\p.exe", u"a\\\\b", u"c d", u"e\"f"}));
  EXPECT_EQ(splitCommandLine(u"p \"\" x"), (V{u"p", u"", u"x"}));
}

} // namespace
