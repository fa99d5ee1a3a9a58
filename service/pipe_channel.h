// A request/response channel over a client message pipe, with one retry on a fresh connection.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <vector>

#include "runtime/pipe/pipe.h"
#include "service/protocol.h"
#include "service/serializer.h"

namespace vpipechannel {

// "\\.\pipe\" + the string value `valueName` of HKLM\`keyPath` (32-bit view), or + valueName
// itself when the key or value is missing.
std::u16string pipeNameOf(std::u16string_view keyPath, std::u16string_view valueName);

class client {
public:
  // The pipe is "\\.\pipe\" + the string value `valueName` of HKLM\`keyPath` (32-bit view), or
  // + valueName itself when the key or value is missing. Connects on first use.
  client(std::u16string keyPath, std::u16string valueName);

  // Sends the method and its arguments and returns the reply. Whole queries are serialised.
  // A failed exchange is logged at Info and tried once more on a fresh connection; that second
  // failure reaches the caller. A connection that the service closed for good fails with
  // vexception "Pipe is finished". A failed connect is the OS error "Unable to connect to pipe
  // <name>", whose contexts name the socket's host path and the service.
  std::vector<std::uint8_t> query(const kelvosrv::MethodId& method, const vserializer::buffer& arguments);

private:
  void connect();
  std::vector<std::uint8_t> exchange(const std::vector<std::uint8_t>& request);

  std::u16string keyPath_;
  std::u16string valueName_;
  std::mutex mutex_;
  std::unique_ptr<Con::ClientOverlappedPipe> pipe_;
};

} // namespace vpipechannel
