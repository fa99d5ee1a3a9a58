#include "runtime/security/model/inheritance.h"
#include "os/error.h"

#include <algorithm>

#include "runtime/security/model/failure.h"

namespace RunTime {
namespace {

constexpr std::uint32_t kGenericRights =
    GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL;
constexpr std::uint64_t kCreatorAuthority = 3;
constexpr std::uint32_t kCreatorOwnerRid = 0;
constexpr std::uint32_t kCreatorGroupRid = 1;

bool isCreator(const Sid& sid, std::uint32_t rid) {
  return sid.authority() == kCreatorAuthority && sid.subAuthorityCount() == 1 &&
         sid.subAuthority(0) == rid;
}

bool isCreator(const Sid& sid) {
  return isCreator(sid, kCreatorOwnerRid) || isCreator(sid, kCreatorGroupRid);
}

// The entry with its inheritance flags replaced and the inherited flag set.
Ace withInheritance(const Ace& ace, std::uint8_t inheritance) {
  Ace copy = ace;
  copy.setFlags(
      static_cast<std::uint8_t>((ace.flags() & ~INHERITANCE_FLAGS) | inheritance | INHERITED_ACE));
  return copy;
}

// The entry with another SID in place of its own.
Ace withSid(const Ace& ace, const Sid& sid) {
  Ace copy;
  if (ace.type() < ACCESS_ALLOWED_OBJECT_ACE_TYPE)
    copy.init(ace.type(), ace.flags(), ace.mask(), sid);
  else
    copy.init(ace.type(), ace.flags(), ace.mask(), ace.getAceHeaderObjectFlags(),
              ace.getAceHeaderObjectType(), ace.getAceHeaderInheritedObjectType(), sid);
  return copy;
}

// The entry as it takes effect on the child: no inheritance flags, generic rights mapped,
// creator SIDs replaced.
Ace effective(const Ace& ace, const InheritingObject& child) {
  Ace copy = withInheritance(ace, 0);
  copy.setMask(mapGenericFileMask(ace.mask()));
  Sid sid = ace.sid();
  if (isCreator(sid, kCreatorOwnerRid) && !child.owner.empty()) copy = withSid(copy, child.owner);
  if (isCreator(sid, kCreatorGroupRid) && !child.group.empty()) copy = withSid(copy, child.group);
  return copy;
}

void inheritByDirectory(const Ace& ace, const InheritingObject& child, std::vector<Ace>& out) {
  std::uint8_t flags = ace.flags();
  if (flags & CONTAINER_INHERIT_ACE) {
    if (flags & NO_PROPAGATE_INHERIT_ACE) {
      out.push_back(effective(ace, child));
      return;
    }
    std::uint8_t passOn = flags & (OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE);
    if ((ace.mask() & kGenericRights) || isCreator(ace.sid())) {
      out.push_back(effective(ace, child));
      out.push_back(withInheritance(ace, passOn | INHERIT_ONLY_ACE));
    } else {
      out.push_back(withInheritance(ace, passOn));
    }
  } else if ((flags & OBJECT_INHERIT_ACE) && !(flags & NO_PROPAGATE_INHERIT_ACE)) {
    out.push_back(withInheritance(ace, OBJECT_INHERIT_ACE | INHERIT_ONLY_ACE));
  }
}

} // namespace

std::uint32_t mapGenericFileMask(std::uint32_t mask) {
  std::uint32_t mapped = mask & ~kGenericRights;
  if (mask & GENERIC_READ) mapped |= FILE_GENERIC_READ;
  if (mask & GENERIC_WRITE) mapped |= FILE_GENERIC_WRITE;
  if (mask & GENERIC_EXECUTE) mapped |= FILE_GENERIC_EXECUTE;
  if (mask & GENERIC_ALL) mapped |= FILE_ALL_ACCESS;
  return mapped;
}

std::vector<Ace> inheritedAces(const Acl& parentDacl, const InheritingObject& child) {
  std::vector<Ace> out;
  if (!parentDacl.hasBuffer()) return out;
  for (std::uint32_t i = 0, count = parentDacl.aceCount(); i < count; ++i) {
    Ace ace = parentDacl.getAce(i);
    if (child.directory)
      inheritByDirectory(ace, child, out);
    else if (ace.flags() & OBJECT_INHERIT_ACE)
      out.push_back(effective(ace, child));
  }
  return out;
}

Acl effectiveDacl(const Acl& explicitDacl, bool daclProtected, std::span<const Ace> inherited) {
  if (!explicitDacl.hasBuffer()) return Acl::none();
  std::vector<Ace> entries;
  for (std::uint32_t i = 0, count = explicitDacl.aceCount(); i < count; ++i) {
    Ace ace = explicitDacl.getAce(i);
    if (!(ace.flags() & INHERITED_ACE)) entries.push_back(std::move(ace));
  }
  if (!daclProtected) entries.insert(entries.end(), inherited.begin(), inherited.end());
  for (const Ace& ace : entries)
    if (canonicalGroup(ace) < 0)
      raiseOsFailure(u"Unsupported ACE type in ACL", os::err::invalidParameter, VCONTEXT("RunTime::effectiveDacl"));
  std::stable_sort(entries.begin(), entries.end(), [](const Ace& a, const Ace& b) {
    return canonicalGroup(a) < canonicalGroup(b);
  });
  Acl dacl;
  dacl.expand(nullptr, entries);
  for (const Ace& ace : entries) dacl.insertAce(dacl.aceCount(), ace);
  return dacl;
}

} // namespace RunTime
