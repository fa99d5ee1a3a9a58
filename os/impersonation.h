// Acting as another account on the calling thread only.
//
// Linux keeps credentials per thread; the C library's setuid family changes every thread of the
// process, so impersonation sets the thread's file-system user and group and its supplementary
// groups with the raw system calls. While a thread impersonates, the files it creates belong to
// the account and its access checks are the account's: it also drops its effective
// capabilities (CAP_SYS_ADMIN, CAP_CHOWN ... — not only the file-system ones that the kernel
// drops with the file-system user), so that nothing it does on the account's behalf uses the
// process's privileges. The other threads are not affected.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "os/error.h"

namespace os {

struct ThreadIdentity {
  std::uint32_t uid = 0;
  std::uint32_t gid = 0;
  std::vector<std::uint32_t> groups;
};

// Makes the calling thread act as the identity, without effective capabilities. The identity
// and capabilities it had before are kept for revertToSelf (a second call keeps the first
// ones). Needs the rights to change ids (root); returns the Win32 code of a failure, after
// which the thread is as it was.
[[nodiscard]] std::uint32_t impersonateOnThread(const ThreadIdentity& identity);

// Gives the calling thread back the identity and effective capabilities it had before
// impersonateOnThread; does nothing when it is not impersonating. Returns the Win32 code.
[[nodiscard]] std::uint32_t revertToSelf();

// The calling thread's file-system user and group and supplementary groups.
ThreadIdentity currentThreadIdentity();

// The process's own rights for the lifetime of the object, on a thread that may be
// impersonating: what the tool writes for itself (its log) must not be written, or refused, as
// the account. The impersonation is taken up again when the object goes away; on a thread that
// does not impersonate nothing changes.
class [[nodiscard]] SelfScope {
public:
  SelfScope();
  ~SelfScope();
  SelfScope(const SelfScope&) = delete;
  SelfScope& operator=(const SelfScope&) = delete;

private:
  std::optional<ThreadIdentity> resumed_;
};

} // namespace os
