// What the tool and the management service say to each other: the method identifiers and the
// bound on a message.
//
// On the management pipe (a message pipe) each side sends a 32-bit byte count as one message and
// then, unless the count is 0, the request or reply as the next message. A request is a 16-byte
// block holding the method identifier (a GUID in its little-endian memory layout) followed by the
// method's argument blocks.
#pragma once

#include <array>
#include <cstdint>
#include <span>

#include "os/pipe.h"

namespace kelvosrv {

using MethodId = std::array<std::uint8_t, 16>;

// A GUID {d1-d2-d3-d4} in its memory layout: the first three fields little-endian.
constexpr MethodId guid(std::uint32_t d1, std::uint16_t d2, std::uint16_t d3, std::uint64_t d4) {
  MethodId id{};
  for (int i = 0; i < 4; ++i) id[i] = static_cast<std::uint8_t>(d1 >> (8 * i));
  for (int i = 0; i < 2; ++i) id[4 + i] = static_cast<std::uint8_t>(d2 >> (8 * i));
  for (int i = 0; i < 2; ++i) id[6 + i] = static_cast<std::uint8_t>(d3 >> (8 * i));
  for (int i = 0; i < 8; ++i) id[8 + i] = static_cast<std::uint8_t>(d4 >> (8 * (7 - i)));
  return id;
}

// {AD3EBC3C-E6B9-4FCF-ABB9-ED1B3D524F22}: string setting name -> string value.
inline constexpr MethodId getString = guid(0xAD3EBC3C, 0xE6B9, 0x4FCF, 0xABB9ED1B3D524F22);
// {943B58AA-49DE-47A5-AA59-0E010A48C341}: string component, 32-bit kind -> string.
inline constexpr MethodId componentInfo = guid(0x943B58AA, 0x49DE, 0x47A5, 0xAA590E010A48C341);
// {B07C2393-342B-4135-8158-48F33A485C42}: string user, string group -> 32-bit yes/no.
inline constexpr MethodId isGroupMemberUser = guid(0xB07C2393, 0x342B, 0x4135, 0x815848F33A485C42);

// The largest request or reply either side accepts: what one message of a pipe carries.
inline constexpr std::uint32_t maxMessage = os::pipe::maxMessage;

// The component information kind that is the install directory.
inline constexpr std::uint32_t installDirKind = 2;

} // namespace kelvosrv
