// Little-endian field access inside the binary security structures (SIDs, ACEs, ACLs and
// self-relative descriptors), whatever the byte order of the host.
#pragma once

#include <cstddef>
#include <cstdint>

namespace RunTime::bytes {

inline std::uint16_t load16(const std::uint8_t* p) {
  return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}

inline std::uint32_t load32(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
         (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

inline void store16(std::uint8_t* p, std::uint16_t value) {
  p[0] = static_cast<std::uint8_t>(value);
  p[1] = static_cast<std::uint8_t>(value >> 8);
}

inline void store32(std::uint8_t* p, std::uint32_t value) {
  for (std::size_t i = 0; i < 4; ++i) p[i] = static_cast<std::uint8_t>(value >> (8 * i));
}

} // namespace RunTime::bytes
