// A security descriptor: owner, group and discretionary ACL, each optional, and whether the
// DACL is protected from inheritance; with the standard self-relative binary layout.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "runtime/security/model/acl.h"
#include "runtime/security/model/sid.h"

namespace RunTime {

// Control flags.
inline constexpr std::uint16_t SE_DACL_PRESENT = 0x0004;
inline constexpr std::uint16_t SE_DACL_PROTECTED = 0x1000;
inline constexpr std::uint16_t SE_SELF_RELATIVE = 0x8000;

class SecurityDescriptor {
public:
  // An empty Sid means no owner or group; an Acl without a buffer means no DACL.
  SecurityDescriptor(Sid owner, Sid group, Acl dacl, bool daclProtected = false);

  const Sid& owner() const { return owner_; }
  const Sid& group() const { return group_; }
  const Acl& dacl() const { return dacl_; }
  bool daclProtected() const { return daclProtected_; }
  // SE_SELF_RELATIVE, SE_DACL_PRESENT with a DACL, SE_DACL_PROTECTED when protected.
  std::uint16_t control() const;

  // Revision 1, control, the offsets of owner, group, SACL (none) and DACL, then owner, group
  // and DACL in that order; the DACL is written with its free space dropped.
  std::vector<std::uint8_t> toSelfRelative() const;
  // Reads any valid self-relative descriptor (a SACL is ignored). Throws the OS error 1338
  // "Unable to read the self-relative security descriptor" for bytes that are not one.
  static SecurityDescriptor fromSelfRelative(std::span<const std::uint8_t> data);

private:
  Sid owner_;
  Sid group_;
  Acl dacl_;
  bool daclProtected_;
};

} // namespace RunTime
