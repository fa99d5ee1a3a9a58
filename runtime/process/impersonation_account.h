// The account an impersonation request names, as the identity to act as. Both sides ask it: the
// service before it starts a program or acknowledges an impersonation, the client before its
// thread takes the identity on.
#pragma once

#include <string_view>

#include "os/impersonation.h"

namespace RunTime {

// The user of the SID string (S-1-22-1-<uid>) with its primary group and every group the account
// database lists it in. Throws vexception: the SID is malformed (the OS error "Unable to convert
// a string to SID"), names System or uid 0 ("Refusing to act as <sid>: ..."), is not a user
// ("<sid> is not a user account"), or no user has it (the OS error 1332).
os::ThreadIdentity accountIdentity(std::u16string_view sidString);

} // namespace RunTime
