// What the management service answers: settings from the product configuration, component
// install directories from the component table, group membership from the account database.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace panel {

// The reply to one request (without its byte count). Never throws: a request that cannot be
// parsed or answered gets an error block with the reason.
std::vector<std::uint8_t> answer(std::span<const std::uint8_t> request);

} // namespace panel
