// The DOS attribute bits that have no POSIX form (hidden, system, archive), kept in the extended
// attribute "user.tavrix.dosattrib" as text ("0x" and lower-case hexadecimal). A user
// namespace on purpose: copies made as the site user keep the bits, and they carry no security.
#pragma once

#include <cstdint>
#include <string_view>

#include "os/error.h"
#include "os/handle.h"

namespace os {

// The stored bits of the path itself (a link in the last component is not followed); 0 when
// none are stored.
Result<std::uint32_t> storedDosAttributes(std::u16string_view path);

// Adds the hidden bit to the stored bits of an open object.
[[nodiscard]] std::uint32_t addHiddenAttribute(NativeHandle object);

} // namespace os
