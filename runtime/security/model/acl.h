// An access-control list in its binary layout (revision, size, entry count, then the entries)
// that keeps its entries in canonical order: explicit deny, explicit object deny, explicit allow,
// explicit object allow, then the same four groups of inherited entries.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "runtime/security/model/ace.h"

namespace RunTime {

inline constexpr std::uint8_t ACL_REVISION = 2;
inline constexpr std::uint8_t ACL_REVISION_DS = 4;

// The canonical group of an entry: 0 to 3 for explicit deny, object deny, allow and object
// allow, 4 more when the entry is inherited; -1 for any other type.
int canonicalGroup(const Ace& entry);

// The header size of the valid ACL at the start of `data`, or 0 when `data` holds none: revision
// 2 to 4, a DWORD-aligned size within the bytes, entries that fit, and a whole SID in every
// entry of a known layout.
std::uint32_t validAclSize(std::span<const std::uint8_t> data);

class Acl {
public:
  static constexpr std::uint32_t npos = 0xFFFFFFFF;
  static constexpr std::uint32_t kNewSize = 268;

  // A new empty ACL of 268 bytes, revision 2.
  Acl();
  // An ACL object without a buffer: what an absent (null) DACL reads as.
  static Acl none();

  bool hasBuffer() const { return !acl_.empty(); }
  // The whole buffer (header size bytes, free space included); empty without a buffer.
  std::span<const std::uint8_t> data() const { return acl_; }
  std::uint8_t revision() const;
  // Header, entries, free space.
  std::uint32_t totalSize() const;
  // Header and entries.
  std::uint32_t bytesInUse() const;

  // Replaces the buffer by a new empty ACL of 268 bytes.
  void clear();
  // Throws the OS error "Unable to get ACL size" without a buffer.
  std::uint32_t aceCount() const;
  // A copy of the entry; OS error 87 "Unable to get ACL ACE (%d)" past the end.
  Ace getAce(std::uint32_t index) const;
  std::uint32_t end() const { return aceCount(); }

  // Bytes in use of this ACL (when it has a buffer) and of the other ACL (when given), the
  // sizes of the entries, and 8.
  std::uint32_t calculateSize(const Acl* otherAcl, std::span<const Ace> entries) const;
  // When that size exceeds the total size: a buffer of twice the size (at most 65532 bytes)
  // holding the same entries. Throws the OS error "Unable to initialize ACL" when even 65532
  // bytes are too few.
  void expand(const Acl* otherAcl, std::span<const Ace> entries);
  // Becomes an owned copy of an ACL in its binary layout (header size bytes are taken). Throws
  // the OS error "Unable to copy ACL" when the bytes are not a valid ACL.
  void copy(std::span<const std::uint8_t> platformAcl);

  // Inserts every entry of the other ACL (none from an ACL without a buffer), in its order, each
  // at its insertion index.
  void add(const Acl& acl);
  // Inserts each entry that findAce does not already find, at its insertion index.
  void add(std::span<const Ace> entries);
  // Inserts one entry at an index without regard to the order (OS error "Unable to add ACE to
  // ACL": 87 past the end, 1344 when the buffer has no room).
  void insertAce(std::uint32_t index, const Ace& entry);

  // The index of the first entry whose group is not below the group of `entry`, or the count.
  // OS error 87: "Invalid ACE type" for an entry of no group, "Unsupported ACE type in ACL" when
  // such an entry is met in the list first.
  std::uint32_t getInsertionIndex(const Ace& entry) const;
  // The first index from `start` of an equal entry (Ace::operator==), or npos.
  std::uint32_t findAce(const Ace& entry, std::uint32_t start = 0) const;
  // OS error 87 "Unable to delete ACL ACE (%d)" past the end.
  void deleteAce(std::uint32_t index);

private:
  // Byte offset of the entry at an index (index == count gives the end of the entries).
  std::size_t aceOffset(std::uint32_t index) const;
  std::span<const std::uint8_t> aceBytes(std::uint32_t index) const;
  void setAceCount(std::uint16_t count);

  std::vector<std::uint8_t> acl_;
};

} // namespace RunTime
