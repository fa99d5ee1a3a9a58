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

TEST(Sid, FailuresNameTheCall) {
  const std::vector<std::uint8_t> badRevision = {2, 1, 0, 0, 0, 0, 0, 5, 18, 0, 0, 0};
  const std::vector<std::uint8_t> truncated = {1, 2, 0, 0, 0, 0, 0, 5, 18, 0, 0, 0};
  std::vector<FailureCase> cases = {
      {[&] { RunTime::Sid().loadFromSidData(badRevision); }, 1337, "Unable to allocate memory for SID"},
      {[&] { RunTime::Sid().loadFromSidData(truncated); }, 1337, "Unable to allocate memory for SID"},
      {[] { RunTime::Sid().toSidString(); }, 1337, "Unable to convert a SID to it's string form"},
      {[] { RunTime::Sid(5, 9); }, 1337, "Unable to allocate and initialize sid"},
      {[] { (void)(RunTime::Sid() < VSID::system()); }, 0, "Invalid sid(s)"},
      {[] { (void)(VSID::system() < RunTime::Sid()); }, 0, "Invalid sid(s)"},
  };
  for (const char* text : {"", "S-1", "S-2-5-18", "X-1-5-18", "S-1-5-", "S-1--5", "S-1-5-1a", "S-1-5-4294967296",
                           "S-1-0x1000000000000", "S-1-5-1-2-3-4-5-6-7-8-9-10-11-12-13-14-15-16"})
    cases.push_back({[text] { sid(text); }, 1337, "Unable to convert a string to SID"});
  expectFailures(cases);
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
}

} // namespace
