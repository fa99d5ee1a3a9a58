#include "runtime/security/model/sid.h"

#include <gtest/gtest.h>

#include "tests/runtime/security/model/security_testing.h"

using namespace security_testing;

namespace {

TEST(Sid, StringFormRoundTrips) {
  struct Case {
    const char* text;
    const char* canonical;
  };
  const Case cases[] = {
      {"s-1-1-0", "S-1-1-0"},
      {"S-1-5", "S-1-5"},
      {"S-1-22-1-4294967295", "S-1-22-1-4294967295"},
      {"S-1-0x123456789ABC-7", "S-1-0x123456789ABC-7"},
      {"S-1-0x10", "S-1-16"},
      {"S-1-5-1-2-3-4-5-6-7-8-9-10-11-12-13-14-15", "S-1-5-1-2-3-4-5-6-7-8-9-10-11-12-13-14-15"},
  };
  // The text is made from the binary form the SID keeps.
  for (const Case& c : cases) EXPECT_EQ(sidText(sid(c.text)), c.canonical);
}

TEST(Sid, MalformedStringsAreRefused) {
  const char* cases[] = {"",         "S-1",         "S-2-5-18",   "X-1-5-18",     "S-1-5-",
                         "S-1--5",   "S-1-5-1a",    "S-1-5-4294967296", "S-1-0x1000000000000",
                         "S-1-5-1-2-3-4-5-6-7-8-9-10-11-12-13-14-15-16"};
  for (const char* text : cases) {
    Failure f = failureOf([&] { sid(text); });
    EXPECT_EQ(f.code, 1337u) << text;
    EXPECT_TRUE(endsWith(f.message, " at Unable to convert a string to SID")) << f.message;
  }
}

TEST(Sid, BinaryLayout) {
  const std::vector<std::uint8_t> admins = {1, 2, 0, 0, 0, 0, 0, 5, 32, 0, 0, 0, 0x20, 0x02, 0, 0};
  RunTime::Sid built(5, 2, 32, 544);
  EXPECT_EQ(std::vector<std::uint8_t>(built.data().begin(), built.data().end()), admins);
  EXPECT_EQ(built, VSID::admins());
  EXPECT_EQ(sidText(RunTime::Sid(0x123456789ABCull, 1, 9)), "S-1-0x123456789ABC-9");

  // A longer buffer holds the SID at its start.
  std::vector<std::uint8_t> padded = admins;
  padded.resize(40, 0xEE);
  RunTime::Sid fromData;
  fromData.loadFromSidData(padded);
  EXPECT_EQ(fromData, built);
}

TEST(Sid, LoaderFailures) {
  const std::vector<std::uint8_t> badRevision = {2, 1, 0, 0, 0, 0, 0, 5, 18, 0, 0, 0};
  const std::vector<std::uint8_t> truncated = {1, 2, 0, 0, 0, 0, 0, 5, 18, 0, 0, 0};
  struct Case {
    std::function<void()> call;
    const char* tail;
  };
  const Case cases[] = {
      {[&] { RunTime::Sid().loadFromSidData(badRevision); },
       " at Unable to allocate memory for SID"},
      {[&] { RunTime::Sid().loadFromSidData(truncated); },
       " at Unable to allocate memory for SID"},
      {[] { RunTime::Sid().toSidString(); }, " at Unable to convert a SID to it's string form"},
      {[] { RunTime::Sid(5, 9); }, " at Unable to allocate and initialize sid"},
  };
  for (const Case& c : cases) {
    Failure f = failureOf(c.call);
    EXPECT_TRUE(endsWith(f.message, c.tail)) << f.message;
    EXPECT_EQ(f.code, 1337u) << c.tail;
  }
}

TEST(Sid, OrderIsByLengthThenBytes) {
  struct Case {
    const char* a;
    const char* b;
    bool less;
  };
  const Case cases[] = {
      {"S-1-9-1", "S-1-5-1-1", true},     // shorter first although its bytes are greater
      {"S-1-5-1-1", "S-1-9-1", false},
      {"S-1-5-18", "S-1-5-19", true},
      {"S-1-5-256", "S-1-5-1", true},     // bytes, not numbers: 00 01 00 00 < 01 00 00 00
      {"S-1-5-18", "S-1-5-18", false},
  };
  for (const Case& c : cases) EXPECT_EQ(sid(c.a) < sid(c.b), c.less) << c.a << " < " << c.b;

  Failure f = failureOf([] { (void)(RunTime::Sid() < VSID::system()); });
  EXPECT_EQ(f.message, "Invalid sid(s)");
  f = failureOf([] { (void)(VSID::system() < RunTime::Sid()); });
  EXPECT_EQ(f.message, "Invalid sid(s)");
}

} // namespace
