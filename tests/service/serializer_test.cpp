#include "service/serializer.h"

#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/panel/raw_peer.h"
#include "tests/support/failure.h"

using namespace testing_support;

namespace {

Bytes cat(std::initializer_list<Bytes> parts) {
  Bytes all;
  for (const Bytes& part : parts) all.insert(all.end(), part.begin(), part.end());
  return all;
}

// What reading the data gives: the value read, or "error: " and the message of what the read threw.
std::string outcome(const Bytes& data, const std::function<std::string(vserializer::reader&)>& read) {
  vserializer::reader reader(data);
  std::string value;
  const std::string fault = failureOf([&] { value = read(reader); }).message;
  return fault.empty() ? value : "error: " + fault;
}

std::string readString(vserializer::reader& r) { return u8(r.readString()); }
std::string readDword(vserializer::reader& r) { return std::to_string(r.readDword()); }

// What the writer makes is read by the other side of every exchange with the management service
// (tests/service/client_test.cpp, tests/panel/service_test.cpp): strings, values and error blocks.
// Those exchanges also read a plain string and an error block in place of a string
// (Client.MethodsAnswerWhatTheStoreHolds) and of a value
// (GroupMembership.FailuresNameTheCallAndTheSource) exactly; the table holds what they never send.
TEST(Serializer, ReadingFollowsTheFormat) {
  const std::string endOfData = "error: Unexpected end of data when read from serializer.";
  const std::string endOfString = "error: Unexpected end of data when read C-string from serializer.";
  // The case, the data, how it is read and what the read gives.
  const std::tuple<const char*, Bytes, std::function<std::string(vserializer::reader&)>, std::string> cases[] = {
      {"empty UTF-16 string", cat({le32(1), {2}}), readString, ""},
      {"string block of length 0", le32(0), readString, endOfString},
      {"character size 3", cat({le32(3), {3, 'a', 'b'}}), readString,
       "error: Unsupported char size when read C-string from serializer."},
      {"half a UTF-16 character", cat({le32(4), {2, 'a', 0, 'b'}}), readString, endOfString},
      {"string longer than the data", cat({le32(9), {2, 'a', 0}}), readString, endOfData},
      {"length cut short", {5, 0}, readString, endOfData},
      {"32-bit value", cat({le32(4), le32(0xDEADBEEF)}), readDword, "3735928559"},
      {"32-bit block of length 3", cat({le32(3), {1, 2, 3}}), readDword, "error: Invalid size of block"},
      {"32-bit block of length 8", cat({le32(8), le32(1), le32(2)}), readDword, "error: Invalid size of block"},
      {"32-bit value cut short", cat({le32(4), {1, 2}}), readDword, endOfData},
      {"error block with a broken message", cat({le32(0xFFFFFFFF), le32(0)}), readDword, endOfString},
  };
  for (const auto& [what, data, read, expected] : cases) EXPECT_EQ(outcome(data, read), expected) << what;
}

TEST(Serializer, EightBitStringsUseTheAnsiCodePage) {
  ScopedRegistry registry; // UTF-8 by default
  EXPECT_EQ(outcome(cat({le32(4), {1, 'c', 0xC3, 0xA9}}), readString), "c\xC3\xA9");
  registry.write("[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Nls\\CodePage]\n\"ACP\"=\"1252\"\n");
  EXPECT_EQ(outcome(cat({le32(4), {1, 'c', 0xE9, 'z'}}), readString), "c\xC3\xA9z");
}

} // namespace
