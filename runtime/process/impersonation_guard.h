// File work done as another user: for the lifetime of the guard the calling thread acts as the
// account (through the impersonation service's authorisation), and reverts when it ends.
#pragma once

#include "runtime/security/model/sid.h"

namespace RunTime {

class ImpersonationGuard {
public:
  // Impersonates the account of `sid` on the calling thread with a client of its own. Throws
  // what SIDClient::impersonateWithoutProfile throws; the thread is then unchanged.
  explicit ImpersonationGuard(const Sid& sid);
  // Reverts the thread to its own identity.
  ~ImpersonationGuard();
  ImpersonationGuard(const ImpersonationGuard&) = delete;
  ImpersonationGuard& operator=(const ImpersonationGuard&) = delete;
};

} // namespace RunTime
