// What the management service answers: settings from the product configuration, component
// install directories from the component table, group membership from the account database.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "panel/channel.h"

namespace panel {

// The reply to one request (without its byte count). Never throws: a request that cannot be
// parsed or answered gets an error block with the reason.
std::vector<std::uint8_t> answer(std::span<const std::uint8_t> request);

// Serves one connection's requests. Framing on the message pipe: a 4-byte message with the
// request's byte count, then the request as one message; the reply goes back the same way. A
// count over kelvosrv::maxMessage gets an error reply and the connection is closed; a count
// message of another size, or a request whose size differs from its count (after an error
// reply), ends it (Drop).
void serveManagement(Channel& channel);

} // namespace panel
