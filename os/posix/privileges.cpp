#include "os/privileges.h"

#include <linux/capability.h>
#include <sys/syscall.h>

#include <cerrno>
#include <optional>

#include "os/posix/capabilities.h"
#include "os/posix/errno_map.h"
#include "os/text.h"

namespace os {
namespace {

using posix::Capabilities;

// The capability that stands for each privilege; -1 for privileges every token holds here
// (traversal without checks, symbolic links and global objects need no capability on Linux).
constexpr struct {
  std::u16string_view name;
  int capability;
} kPrivileges[] = {
    {u"SeAssignPrimaryTokenPrivilege", CAP_SETUID},
    {u"SeAuditPrivilege", CAP_AUDIT_WRITE},
    {u"SeBackupPrivilege", CAP_DAC_READ_SEARCH},
    {u"SeChangeNotifyPrivilege", -1},
    {u"SeCreateGlobalPrivilege", -1},
    {u"SeCreateSymbolicLinkPrivilege", -1},
    {u"SeDebugPrivilege", CAP_SYS_PTRACE},
    {u"SeImpersonatePrivilege", CAP_SETUID},
    {u"SeIncreaseBasePriorityPrivilege", CAP_SYS_NICE},
    {u"SeIncreaseQuotaPrivilege", CAP_SYS_RESOURCE},
    {u"SeLoadDriverPrivilege", CAP_SYS_MODULE},
    {u"SeLockMemoryPrivilege", CAP_IPC_LOCK},
    {u"SeManageVolumePrivilege", CAP_SYS_ADMIN},
    {u"SeRestorePrivilege", CAP_DAC_OVERRIDE},
    {u"SeSecurityPrivilege", CAP_SYS_ADMIN},
    {u"SeShutdownPrivilege", CAP_SYS_BOOT},
    {u"SeSystemEnvironmentPrivilege", CAP_SYS_ADMIN},
    {u"SeSystemtimePrivilege", CAP_SYS_TIME},
    {u"SeTakeOwnershipPrivilege", CAP_CHOWN},
    {u"SeTcbPrivilege", CAP_SYS_ADMIN},
};

bool sameName(std::u16string_view a, std::u16string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (toLower(a[i]) != toLower(b[i])) return false;
  return true;
}

std::optional<int> capabilityOf(std::u16string_view name) {
  for (const auto& privilege : kPrivileges)
    if (sameName(privilege.name, name)) return privilege.capability;
  return std::nullopt;
}

// Whether the thread acts as an account other than its process's (its file-system user differs
// from its effective user).
bool impersonating() {
  auto fsuid = static_cast<std::uint32_t>(::syscall(SYS_setfsuid, -1));
  return fsuid != static_cast<std::uint32_t>(::syscall(SYS_geteuid));
}

// Held, not held, or the Win32 code of the failure to read the capabilities.
Result<bool> held(int capability, Capabilities& caps) {
  if (capability < 0) return true;
  if (impersonating()) return false;
  if (std::uint32_t rc = caps.read()) return Result<bool>::failure(rc);
  return caps.permitted(capability);
}

} // namespace

Result<bool> privilegeHeld(std::u16string_view name) {
  std::optional<int> capability = capabilityOf(name);
  if (!capability) return Result<bool>::failure(err::noSuchPrivilege);
  Capabilities caps;
  return held(*capability, caps);
}

std::uint32_t enablePrivilege(std::u16string_view name) {
  std::optional<int> capability = capabilityOf(name);
  if (!capability) return err::noSuchPrivilege;
  Capabilities caps;
  Result<bool> isHeld = held(*capability, caps);
  if (!isHeld.ok()) return isHeld.code();
  if (!isHeld.value()) return err::notAllAssigned;
  if (*capability < 0 || caps.effective(*capability)) return err::success;
  caps.data[*capability / 32].effective |= Capabilities::bit(*capability);
  return caps.write();
}

} // namespace os
