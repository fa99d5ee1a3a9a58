// Privileges of the calling thread. A privilege is held when the thread's permitted capabilities
// include the capability that stands for it (a root process holds them all); it is enabled when
// that capability is also effective. A thread that acts as another account (impersonation, see
// os/impersonation.h) holds what that account's process would hold: nothing, unless it is root.
#pragma once

#include <cstdint>
#include <string_view>

#include "os/error.h"

namespace os {

inline constexpr std::uint32_t ERROR_NOT_ALL_ASSIGNED = 1300;
inline constexpr std::uint32_t ERROR_NO_SUCH_PRIVILEGE = 1313;

// Whether the thread holds the privilege ("SeTakeOwnershipPrivilege" ...; names compare without
// regard to case). Fails with ERROR_NO_SUCH_PRIVILEGE for a name this host does not know.
Result<bool> privilegeHeld(std::u16string_view name);

// Enables a held privilege for the calling thread. ERROR_NO_SUCH_PRIVILEGE for an unknown name,
// ERROR_NOT_ALL_ASSIGNED when the thread does not hold it.
[[nodiscard]] std::uint32_t enablePrivilege(std::u16string_view name);

} // namespace os
