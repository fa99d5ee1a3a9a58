#include "runtime/security/model/sid.h"

#include <gtest/gtest.h>

#include "tests/runtime/security/model/security_testing.h"

using namespace security_testing;

namespace {

TEST(Sid, StringFormRoundTrips) {
  // The text given and the canonical text.
  const std::pair<const char*, const char*> cases[] = {
      {"s-1-1-0", "S-1-1-0"},
      {"S-1-5", "S-1-5"},
      {"S-1-22-1-4294967295", "S-1-22-1-4294967295"},
      {"S-1-0x123456789ABC-7", "S-1-0x123456789ABC-7"},
      {"S-1-0x10", "S-1-16"},
      {"S-1-5-1-2-3-4-5-6-7-8-9-10-11-12-13-14-15", "S-1-5-1-2-3-4-5-6-7-8-9-10-11-12-13-14-15"},
  };
  // The text is made from the binary form the SID keeps.
  for (const auto& [text, canonical] : cases) EXPECT_EQ(sidText(sid(text)), canonical);
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

} // namespace
