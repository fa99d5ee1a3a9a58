// The management service's reading of one request, into plain values before anything acts on it.
#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace panel {

struct Request {
  enum class Method { GetString, ComponentInfo, IsGroupMemberUser };
  Method method = Method::GetString;
  std::u16string first;  // the setting, the component or the user
  std::u16string second; // the group (isGroupMemberUser)
  std::uint32_t kind = 0; // the information kind (componentInfo)
};

// Parses a request: the method identifier and exactly the method's arguments. Throws
// vserializer::invalidprotocol for a malformed request, vexception "Unknown method" for an
// identifier no method has, "Unexpected data after the arguments" for trailing bytes.
Request parseRequest(std::span<const std::uint8_t> bytes);

} // namespace panel
