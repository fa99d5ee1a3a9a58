#include "panel/request.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "panel/management.h"
#include "service/protocol.h"
#include "service/serializer.h"
#include "tests/support/testing.h"

using namespace testing_support;

namespace {

using Bytes = std::vector<std::uint8_t>;

// The parse as text: "<method> <first> <second> <kind>" or the error message.
std::string parsed(const Bytes& bytes) {
  try {
    panel::Request r = panel::parseRequest(bytes);
    return std::to_string(static_cast<int>(r.method)) + " " + u8(r.first) + " " + u8(r.second) + " " +
           std::to_string(r.kind);
  } catch (const vexception& e) {
    return u8(e.message());
  }
}

Bytes request(const kelvosrv::MethodId& method, const std::function<void(vserializer::buffer&)>& arguments) {
  vserializer::buffer buffer;
  buffer.writeBlock(method);
  arguments(buffer);
  return buffer.data();
}

TEST(Request, ParsesExactlyTheMethodsArguments) {
  const kelvosrv::MethodId unknown = kelvosrv::guid(1, 2, 3, 4);
  struct Case {
    const char* what;
    Bytes bytes;
    std::string expected;
  };
  const Case cases[] = {
      {"getString", request(kelvosrv::getString, [](auto& b) { b.writeString(u"HTTPD_VHOSTS_D"); }), "0 HTTPD_VHOSTS_D  0"},
      {"componentInfo", request(kelvosrv::componentInfo, [](auto& b) { b.writeString(u"perl"), b.writeDword(2); }),
       "1 perl  2"},
      {"isGroupMemberUser",
       request(kelvosrv::isGroupMemberUser, [](auto& b) { b.writeString(u"u"), b.writeString(u"g"); }), "2 u g 0"},
      {"unknown method", request(unknown, [](auto& b) { b.writeString(u"x"); }), "Unknown method"},
      {"missing argument", request(kelvosrv::componentInfo, [](auto& b) { b.writeString(u"perl"); }),
       "Unexpected end of data when read from serializer."},
      {"argument of the wrong kind", request(kelvosrv::componentInfo, [](auto& b) { b.writeString(u"perl"), b.writeString(u"2"); }),
       "Invalid size of block"},
      {"trailing block", request(kelvosrv::getString, [](auto& b) { b.writeString(u"a"), b.writeDword(1); }),
       "Unexpected data after the arguments"},
      {"empty request", {}, "Unexpected end of data when read from serializer."},
      {"identifier of 15 bytes", {15, 0, 0, 0, 1, 2, 3}, "Invalid size of block"},
  };
  for (const Case& c : cases) EXPECT_EQ(parsed(c.bytes), c.expected) << c.what;
}

} // namespace
