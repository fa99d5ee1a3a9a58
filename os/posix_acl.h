// POSIX access-control lists in plain terms: the entries an ACL holds, without the library's
// types, so that the security model above the boundary can compute them.
#pragma once

#include <compare>
#include <cstdint>
#include <vector>

namespace os {

// Entry tags, in the order in which an ACL lists its entries.
enum class AclTag : std::uint8_t { UserObj, User, GroupObj, Group, Mask, Other };

// Permission bits of an entry.
inline constexpr std::uint8_t permRead = 4;
inline constexpr std::uint8_t permWrite = 2;
inline constexpr std::uint8_t permExecute = 1;

struct AclEntry {
  AclTag tag = AclTag::UserObj;
  std::uint32_t id = 0; // uid for User, gid for Group, 0 otherwise
  std::uint8_t perms = 0;

  bool operator==(const AclEntry&) const = default;
  // By tag, then id: the order of a sorted ACL.
  auto operator<=>(const AclEntry& other) const {
    if (tag != other.tag) return tag <=> other.tag;
    return id <=> other.id;
  }
};

// An ACL sorted by tag and id, one entry per tag and id. An access ACL always holds the three
// base entries (UserObj, GroupObj, Other); an empty default ACL means the directory has none.
using PosixAcl = std::vector<AclEntry>;

} // namespace os
