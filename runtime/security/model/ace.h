// One access-control entry in its binary layout: the header (type, flags, size), the access
// mask, for the object types the object flags and two GUIDs, then the SID.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <vector>

#include "runtime/security/model/sid.h"

namespace RunTime {

// ACE types.
inline constexpr std::uint8_t ACCESS_ALLOWED_ACE_TYPE = 0;
inline constexpr std::uint8_t ACCESS_DENIED_ACE_TYPE = 1;
inline constexpr std::uint8_t SYSTEM_AUDIT_ACE_TYPE = 2;
inline constexpr std::uint8_t SYSTEM_ALARM_ACE_TYPE = 3;
inline constexpr std::uint8_t ACCESS_ALLOWED_COMPOUND_ACE_TYPE = 4;
inline constexpr std::uint8_t ACCESS_ALLOWED_OBJECT_ACE_TYPE = 5;
inline constexpr std::uint8_t ACCESS_DENIED_OBJECT_ACE_TYPE = 6;
inline constexpr std::uint8_t SYSTEM_AUDIT_OBJECT_ACE_TYPE = 7;
inline constexpr std::uint8_t SYSTEM_ALARM_OBJECT_ACE_TYPE = 8;

// ACE flags.
inline constexpr std::uint8_t OBJECT_INHERIT_ACE = 0x01;
inline constexpr std::uint8_t CONTAINER_INHERIT_ACE = 0x02;
inline constexpr std::uint8_t NO_PROPAGATE_INHERIT_ACE = 0x04;
inline constexpr std::uint8_t INHERIT_ONLY_ACE = 0x08;
inline constexpr std::uint8_t INHERITED_ACE = 0x10;
inline constexpr std::uint8_t INHERITANCE_FLAGS = 0x0F;

// Object flags of the object types: which GUIDs are meaningful.
inline constexpr std::uint32_t ACE_OBJECT_TYPE_PRESENT = 0x1;
inline constexpr std::uint32_t ACE_INHERITED_OBJECT_TYPE_PRESENT = 0x2;

using Guid = std::array<std::uint8_t, 16>;

class Ace {
public:
  Ace() = default;
  // A copy of the ACE bytes as they lie in an ACL (header size bytes).
  explicit Ace(std::span<const std::uint8_t> bytes) : ace_(bytes.begin(), bytes.end()) {}

  // A basic ACE (SID at offset 8). Throws vexception "Unsupported ACE type (%d)" for types the
  // layout does not know, the OS error "Unable to copy sid" when the SID is missing.
  void init(std::uint8_t type, std::uint8_t flags, std::uint32_t mask, const Sid& sid);
  // An object ACE (types 5 to 8, SID at offset 44; vexception "Not object type ACE" otherwise).
  void init(std::uint8_t type, std::uint8_t flags, std::uint32_t mask, std::uint32_t objectFlags,
            const Guid& objectType, const Guid& inheritedObjectType, const Sid& sid);

  bool empty() const { return ace_.empty(); }
  std::span<const std::uint8_t> data() const { return ace_; }
  std::uint16_t size() const;
  std::uint8_t type() const { return ace_.at(0); }
  std::uint8_t flags() const { return ace_.at(1); }
  std::uint32_t mask() const;
  void setFlags(std::uint8_t flags) { ace_.at(1) = flags; }
  void setMask(std::uint32_t mask);

  // 8 for types 0 to 3, 44 for types 5 to 8; vexception "Unsupported ACE type (%d)" otherwise.
  static std::uint32_t getSidOffset(std::uint8_t type);
  std::uint32_t getSidOffset() const { return getSidOffset(type()); }
  Sid sid() const;

  // The object fields; vexception "Not X_X_OBJECT_ACE_TYPE" on a basic ACE.
  std::uint32_t getAceHeaderObjectFlags() const;
  Guid getAceHeaderObjectType() const;
  Guid getAceHeaderInheritedObjectType() const;

  // Same type, same bytes up to the SID (header, mask and object fields) and equal SIDs.
  bool operator==(const Ace& other) const;

private:
  void build(std::uint8_t type, std::uint8_t flags, std::uint32_t mask, std::uint32_t sidOffset,
             const Sid& sid);
  void requireObjectType(const char* function) const;
  Guid guidAt(std::size_t offset, const char* function) const;

  std::vector<std::uint8_t> ace_;
};

} // namespace RunTime
