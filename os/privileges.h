// Privileges of the calling thread. A privilege is held when the thread's permitted capabilities
// include the capability that stands for it (a root process holds them all); it is enabled when
// that capability is also effective. A thread that acts as another account (impersonation, see
// os/impersonation.h) holds what that account's process would hold: nothing, unless it is root.
#pragma once

#include <cstdint>
#include <string_view>

#include "os/error.h"

namespace os {

// Whether the thread holds the privilege ("SeTakeOwnershipPrivilege" ...; names compare without
// regard to case). Fails with err::noSuchPrivilege for a name this host does not know.
Result<bool> privilegeHeld(std::u16string_view name);

// Enables a held privilege for the calling thread. err::noSuchPrivilege for an unknown name,
// err::notAllAssigned when the thread does not hold it.
[[nodiscard]] std::uint32_t enablePrivilege(std::u16string_view name);

} // namespace os
