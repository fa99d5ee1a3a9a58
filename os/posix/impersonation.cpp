#include "os/impersonation.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <optional>

#include "os/posix/capabilities.h"
#include "os/posix/errno_map.h"

namespace os {
namespace {

using posix::Capabilities;

// What the thread was before it started to impersonate.
struct Saved {
  ThreadIdentity identity;
  Capabilities capabilities;
};

thread_local std::optional<Saved> t_saved;

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

Result<Capabilities> readCapabilities() {
  Capabilities caps;
  if (std::uint32_t rc = caps.read()) return Result<Capabilities>::failure(rc);
  return caps;
}

// Sets the thread's effective capabilities to those of `from` (the permitted set stays).
std::uint32_t setEffective(const Capabilities& from) {
  Result<Capabilities> caps = readCapabilities();
  if (!caps.ok()) return caps.code();
  for (std::size_t i = 0; i < std::size(caps.value().data); ++i)
    caps.value().data[i].effective = from.data[i].effective;
  return caps.value().write();
}

std::uint32_t dropEffective() { return setEffective(Capabilities()); }

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
  Result<Capabilities> now = readCapabilities();
  if (!now.ok()) return now.code();
  const Saved saved = t_saved ? *t_saved : Saved{currentThreadIdentity(), now.value()};
  // Changing ids needs the capabilities that an earlier impersonation dropped.
  if (t_saved)
    if (std::uint32_t rc = setEffective(saved.capabilities)) return rc;
  const ThreadIdentity before = currentThreadIdentity();
  std::uint32_t rc = apply(identity);
  if (rc == err::success) rc = dropEffective();
  if (rc != err::success) {
    (void)apply(before);
    (void)setEffective(now.value());
    return rc;
  }
  t_saved = saved;
  return err::success;
}

std::uint32_t revertToSelf() {
  if (!t_saved) return err::success;
  if (std::uint32_t rc = setEffective(t_saved->capabilities)) return rc;
  if (std::uint32_t rc = apply(t_saved->identity)) {
    (void)dropEffective();
    return rc;
  }
  t_saved.reset();
  return err::success;
}

SelfScope::SelfScope() {
  if (!t_saved) return;
  ThreadIdentity account = currentThreadIdentity();
  if (revertToSelf() == err::success) resumed_ = std::move(account);
}

SelfScope::~SelfScope() {
  // The thread went back to its own rights a moment ago, so taking the account up again cannot
  // fail for want of rights. Should it fail anyway, the thread would go on as the tool where its
  // caller counts on the account's narrower rights: the process must not go on.
  if (resumed_ && impersonateOnThread(*resumed_) != err::success) std::abort();
}

} // namespace os
