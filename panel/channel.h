// One connection of a panel service: its messages, each waited for with a bound and with the
// service's stop request in view. Whatever ends the connection early is thrown as Drop.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "os/handle.h"

namespace panel {

struct ServerLimits {
  std::uint32_t idleMs = 60000;    // between requests
  std::uint32_t requestMs = 5000;  // inside a request, and for a peer to take a reply
  std::size_t maxConnections = 256;
  // Open connections of one peer account other than root's (root is the tool itself), so that
  // one permitted account cannot take every connection.
  std::size_t maxConnectionsPerPeer = 64;
};

// Why a connection ends early ("stopping" when the service stops).
struct Drop {
  const char* reason;
};

class Channel {
public:
  Channel(os::NativeHandle connection, os::NativeHandle stop, const ServerLimits& limits)
      : connection_(connection), stop_(stop), limits_(limits) {}

  // One whole message of at most `limit` bytes, waited for up to the idle bound (between
  // requests) or the request bound; an empty optional when the peer is gone. Descriptors that
  // travel with it are appended to `handles` when given, and closed otherwise. Throws vexception
  // "The service is out of descriptors: ..." when they could not be taken, for the handler to
  // answer with.
  std::optional<std::vector<std::uint8_t>> receive(std::size_t limit, bool betweenRequests = false,
                                                   std::vector<os::Handle>* handles = nullptr);
  // One message (with descriptors, when given), waited for up to the request bound.
  void send(std::span<const std::uint8_t> message, std::span<const os::NativeHandle> handles = {});

private:
  os::NativeHandle connection_;
  os::NativeHandle stop_;
  ServerLimits limits_;
};

// The bytes of a 32-bit value on the wire (little-endian), and back.
std::vector<std::uint8_t> littleEndian(std::uint32_t value);
std::uint32_t fromLittleEndian(const std::uint8_t* bytes);

} // namespace panel
