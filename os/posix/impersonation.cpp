#include "os/impersonation.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <optional>

#include "os/error.h"
#include "os/posix/errno_map.h"

namespace os {
namespace {

thread_local std::optional<ThreadIdentity> t_saved;

// setfsuid and setfsgid report no error: they return the previous id, and the id stays as it
// was when the change was refused. Asking again with an invalid id tells the current one.
std::uint32_t setFsId(long call, std::uint32_t id) {
  ::syscall(call, id);
  return static_cast<std::uint32_t>(::syscall(call, -1)) == id ? err::success : err::accessDenied;
}

std::uint32_t setGroups(const std::vector<std::uint32_t>& groups) {
  std::vector<gid_t> list(groups.begin(), groups.end());
  if (::syscall(SYS_setgroups, list.size(), list.data()) == 0) return err::success;
  return posix::win32FromErrno(errno);
}

// Changing the file-system user away from root drops only the file capabilities, not the
// ones that changing ids needs, so the order of the three changes does not matter.
std::uint32_t apply(const ThreadIdentity& identity) {
  if (std::uint32_t rc = setGroups(identity.groups)) return rc;
  if (std::uint32_t rc = setFsId(SYS_setfsgid, identity.gid)) return rc;
  return setFsId(SYS_setfsuid, identity.uid);
}

} // namespace

ThreadIdentity currentThreadIdentity() {
  ThreadIdentity identity;
  identity.uid = static_cast<std::uint32_t>(::syscall(SYS_setfsuid, -1));
  identity.gid = static_cast<std::uint32_t>(::syscall(SYS_setfsgid, -1));
  // getgroups reads the calling thread's own credentials.
  int count = ::getgroups(0, nullptr);
  std::vector<gid_t> groups(count > 0 ? static_cast<std::size_t>(count) : 0);
  count = ::getgroups(static_cast<int>(groups.size()), groups.data());
  identity.groups.assign(groups.begin(), groups.begin() + (count > 0 ? count : 0));
  return identity;
}

std::uint32_t impersonateOnThread(const ThreadIdentity& identity) {
  ThreadIdentity before = currentThreadIdentity();
  if (std::uint32_t rc = apply(identity)) {
    (void)apply(before);
    return rc;
  }
  if (!t_saved) t_saved = std::move(before);
  return err::success;
}

std::uint32_t revertToSelf() {
  if (!t_saved) return err::success;
  std::uint32_t rc = apply(*t_saved);
  if (rc == err::success) t_saved.reset();
  return rc;
}

} // namespace os
