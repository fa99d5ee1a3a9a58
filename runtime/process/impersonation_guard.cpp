#include "runtime/process/impersonation_guard.h"

#include "os/impersonation.h"
#include "runtime/process/sid_client.h"

namespace RunTime {

ImpersonationGuard::ImpersonationGuard(const Sid& sid) { SIDClient().impersonateWithoutProfile(sid); }

// A revert that fails leaves the thread as the account without capabilities: never more rights
// than either identity (os/impersonation.h), so there is nothing further to undo here.
ImpersonationGuard::~ImpersonationGuard() { (void)os::revertToSelf(); }

} // namespace RunTime
