#include "panel/request.h"

#include <algorithm>

#include "service/protocol.h"
#include "service/serializer.h"

namespace panel {

Request parseRequest(std::span<const std::uint8_t> bytes) {
  vserializer::reader reader(bytes);
  std::span<const std::uint8_t> id = reader.readBlock(16);
  auto is = [&](const kelvosrv::MethodId& method) { return std::equal(id.begin(), id.end(), method.begin()); };
  Request request;
  if (is(kelvosrv::getString)) {
    request.method = Request::Method::GetString;
    request.first = reader.readString();
  } else if (is(kelvosrv::componentInfo)) {
    request.method = Request::Method::ComponentInfo;
    request.first = reader.readString();
    request.kind = reader.readDword();
  } else if (is(kelvosrv::isGroupMemberUser)) {
    request.method = Request::Method::IsGroupMemberUser;
    request.first = reader.readString();
    request.second = reader.readString();
  } else {
    throw vserializer::invalidprotocol(u"Unknown method");
  }
  if (!reader.atEnd()) throw vserializer::invalidprotocol(u"Unexpected data after the arguments");
  return request;
}

} // namespace panel
