#include "service/serializer.h"

#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/failure.h"

using namespace testing_support;

namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes le32(std::uint32_t v) {
  return {static_cast<std::uint8_t>(v), static_cast<std::uint8_t>(v >> 8), static_cast<std::uint8_t>(v >> 16),
          static_cast<std::uint8_t>(v >> 24)};
}

Bytes cat(std::initializer_list<Bytes> parts) {
  Bytes all;
  for (const Bytes& part : parts) all.insert(all.end(), part.begin(), part.end());
  return all;
}

// What reading the data gives: the value read, or "<class>: <message>".
std::string outcome(const Bytes& data, const std::function<std::string(vserializer::reader&)>& read) {
  vserializer::reader reader(data);
  try {
    return read(reader);
  } catch (const vserializer::invalidprotocol& e) {
    return "invalidprotocol: " + u8(e.message());
  } catch (const vexception& e) {
    return "vexception: " + u8(e.message());
  }
}

std::string readString(vserializer::reader& r) { return u8(r.readString()); }
std::string readDword(vserializer::reader& r) { return std::to_string(r.readDword()); }

TEST(Serializer, ReadingFollowsTheFormat) {
  struct Case {
    const char* what;
    Bytes data;
    std::function<std::string(vserializer::reader&)> read;
    std::string expected;
  };
  const std::string endOfData = "invalidprotocol: Unexpected end of data when read from serializer.";
  const Case cases[] = {
      {"UTF-16 string", cat({le32(5), {2, 'h', 0, 'i', 0}}), readString, "hi"},
      {"empty UTF-16 string", cat({le32(1), {2}}), readString, ""},
      {"string block of length 0", le32(0), readString,
       "invalidprotocol: Unexpected end of data when read C-string from serializer."},
      {"character size 3", cat({le32(3), {3, 'a', 'b'}}), readString,
       "invalidprotocol: Unsupported char size when read C-string from serializer."},
      {"half a UTF-16 character", cat({le32(4), {2, 'a', 0, 'b'}}), readString,
       "invalidprotocol: Unexpected end of data when read C-string from serializer."},
      {"string longer than the data", cat({le32(9), {2, 'a', 0}}), readString, endOfData},
      {"length cut short", {5, 0}, readString, endOfData},
      {"32-bit value", cat({le32(4), le32(0xDEADBEEF)}), readDword, "3735928559"},
      {"32-bit block of length 3", cat({le32(3), {1, 2, 3}}), readDword, "invalidprotocol: Invalid size of block"},
      {"32-bit block of length 8", cat({le32(8), le32(1), le32(2)}), readDword, "invalidprotocol: Invalid size of block"},
      {"32-bit value cut short", cat({le32(4), {1, 2}}), readDword, endOfData},
      {"error block instead of a string", cat({le32(0xFFFFFFFF), le32(7), {2, 'n', 0, 'o', 0, '!', 0}}), readString,
       "vexception: no!"},
      {"error block instead of a value", cat({le32(0xFFFFFFFF), le32(3), {2, 'x', 0}}), readDword, "vexception: x"},
      {"error block with a broken message", cat({le32(0xFFFFFFFF), le32(0)}), readDword,
       "invalidprotocol: Unexpected end of data when read C-string from serializer."},
  };
  for (const Case& c : cases) EXPECT_EQ(outcome(c.data, c.read), c.expected) << c.what;
}

TEST(Serializer, EightBitStringsUseTheAnsiCodePage) {
  ScopedRegistry registry; // UTF-8 by default
  EXPECT_EQ(outcome(cat({le32(4), {1, 'c', 0xC3, 0xA9}}), readString), "c\xC3\xA9");
  registry.write("[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Nls\\CodePage]\n\"ACP\"=\"1252\"\n");
  EXPECT_EQ(outcome(cat({le32(4), {1, 'c', 0xE9, 'z'}}), readString), "c\xC3\xA9z");
}

TEST(Serializer, WrittenBlocksReadBack) {
  vserializer::buffer buffer;
  buffer.writeString(u"\u00e9t\u00e9 \U0001F600");
  buffer.writeDword(42);
  buffer.writeString(u"");
  buffer.writeError(u"failed");
  vserializer::reader reader(buffer.data());
  EXPECT_EQ(reader.readString(), u"\u00e9t\u00e9 \U0001F600");
  EXPECT_EQ(reader.readDword(), 42u);
  EXPECT_EQ(reader.readString(), u"");
  EXPECT_FALSE(reader.atEnd());
  EXPECT_EQ(failureOf([&] { (void)reader.readDword(); }).message, "failed") << "the error block read as a value";
  EXPECT_TRUE(reader.atEnd());
}

} // namespace
