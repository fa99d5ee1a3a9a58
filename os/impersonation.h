// Acting as another account on the calling thread only.
//
// Linux keeps credentials per thread; the C library's setuid family changes every thread of the
// process, so impersonation sets the thread's file-system user and group and its supplementary
// groups with the raw system calls. While a thread impersonates, the files it creates belong to
// the account and its access checks are the account's (a root thread loses its file-system
// capabilities while its file-system user is not root); the other threads are not affected.
#pragma once

#include <cstdint>
#include <vector>

namespace os {

struct ThreadIdentity {
  std::uint32_t uid = 0;
  std::uint32_t gid = 0;
  std::vector<std::uint32_t> groups;
};

// Makes the calling thread act as the identity. The identity it had before is kept for
// revertToSelf (a second call keeps the first one). Needs the rights to change ids (root);
// returns the Win32 code of a failure, after which the thread has its previous identity.
[[nodiscard]] std::uint32_t impersonateOnThread(const ThreadIdentity& identity);

// Gives the calling thread back the identity it had before impersonateOnThread; does nothing
// when it is not impersonating. Returns the Win32 code.
[[nodiscard]] std::uint32_t revertToSelf();

// The calling thread's file-system user and group and supplementary groups.
ThreadIdentity currentThreadIdentity();

} // namespace os
