#include "runtime/security/model/posix_projection.h"

#include <algorithm>
#include <map>
#include <optional>

#include "runtime/security/model/account_sids.h"
#include "runtime/security/model/inheritance.h"

namespace RunTime {
namespace {

using os::AclEntry;
using os::AclTag;
using os::PosixAcl;

constexpr std::uint32_t FILE_READ_DATA = 0x1;
constexpr std::uint32_t FILE_WRITE_DATA = 0x2;
constexpr std::uint32_t FILE_EXECUTE = 0x20;
constexpr std::uint8_t kAllBits = os::permRead | os::permWrite | os::permExecute;
constexpr std::uint64_t kCreatorAuthority = 3;

using Key = std::pair<AclTag, std::uint32_t>;

// What the entries of a DACL decide for one account: the bits some entry mentioned, and of
// those the bits an allow entry mentioned first.
struct Decision {
  std::uint8_t decided = 0;
  std::uint8_t granted = 0;
};

bool isAllow(std::uint8_t type) {
  return type == ACCESS_ALLOWED_ACE_TYPE || type == ACCESS_ALLOWED_OBJECT_ACE_TYPE;
}

bool isDeny(std::uint8_t type) {
  return type == ACCESS_DENIED_ACE_TYPE || type == ACCESS_DENIED_OBJECT_ACE_TYPE;
}

const AclEntry* findEntry(const PosixAcl& acl, AclTag tag, std::uint32_t id = 0) {
  for (const AclEntry& entry : acl)
    if (entry.tag == tag && entry.id == id) return &entry;
  return nullptr;
}

std::uint8_t permsOf(const PosixAcl& acl, AclTag tag) {
  const AclEntry* entry = findEntry(acl, tag);
  return entry ? entry->perms : 0;
}

// Whom an entry names, in POSIX terms.
struct Trustee {
  enum class Kind { User, Group, Everyone, CreatorOwner, CreatorGroup };
  Kind kind;
  std::uint32_t id = 0; // uid or gid; 0 otherwise
  bool operator==(const Trustee&) const = default;
};

std::optional<Trustee> trusteeOf(const Sid& sid) {
  using Kind = Trustee::Kind;
  if (sid.authority() == kCreatorAuthority && sid.subAuthorityCount() == 1) {
    if (sid.subAuthority(0) == 0) return Trustee{Kind::CreatorOwner};
    if (sid.subAuthority(0) == 1) return Trustee{Kind::CreatorGroup};
    return std::nullopt;
  }
  std::optional<PosixPrincipal> principal = posixPrincipal(sid);
  if (!principal) return std::nullopt;
  switch (principal->kind) {
  case PosixPrincipal::Kind::User: return Trustee{Kind::User, principal->id};
  case PosixPrincipal::Kind::Group: return Trustee{Kind::Group, principal->id};
  case PosixPrincipal::Kind::Other: break;
  }
  return Trustee{Kind::Everyone};
}

// The entry of the access ACL that stands for a trustee; the creator SIDs have none (on the
// object itself inheritance has replaced them).
std::optional<Key> accessKey(const Trustee& trustee, const PosixObject& object) {
  switch (trustee.kind) {
  case Trustee::Kind::User:
    if (trustee.id == object.owner) return Key{AclTag::UserObj, 0};
    return Key{AclTag::User, trustee.id};
  case Trustee::Kind::Group:
    if (trustee.id == object.group) return Key{AclTag::GroupObj, 0};
    return Key{AclTag::Group, trustee.id};
  case Trustee::Kind::Everyone: return Key{AclTag::Other, 0};
  default: return std::nullopt;
  }
}

// In a default ACL the creator SIDs stand for the owner and group of the object to be created.
std::optional<Key> defaultKey(const Trustee& trustee) {
  switch (trustee.kind) {
  case Trustee::Kind::User: return Key{AclTag::User, trustee.id};
  case Trustee::Kind::Group: return Key{AclTag::Group, trustee.id};
  case Trustee::Kind::Everyone: return Key{AclTag::Other, 0};
  case Trustee::Kind::CreatorOwner: return Key{AclTag::UserObj, 0};
  case Trustee::Kind::CreatorGroup: return Key{AclTag::GroupObj, 0};
  }
  return std::nullopt;
}

// Whether an entry naming `named` acts on the access of `holder`, as a SID of its token: its own
// SID, Everyone, and for a user each of its groups.
bool actsOn(const Trustee& named, const Trustee& holder, const GroupMemberships& memberships) {
  if (named == holder || named.kind == Trustee::Kind::Everyone) return true;
  if (holder.kind != Trustee::Kind::User || named.kind != Trustee::Kind::Group) return false;
  const std::vector<std::uint32_t>& groups = memberships.groupsOf(holder.id);
  return std::find(groups.begin(), groups.end(), named.id) != groups.end();
}

// An allow or deny entry that acts on the object, with its trustee.
struct ActingEntry {
  Trustee trustee;
  bool allow;
  std::uint8_t bits;
};

std::vector<ActingEntry> actingEntries(std::span<const Ace> entries) {
  std::vector<ActingEntry> acting;
  for (const Ace& ace : entries) {
    if ((!isAllow(ace.type()) && !isDeny(ace.type())) || (ace.flags() & INHERIT_ONLY_ACE)) continue;
    if (std::optional<Trustee> trustee = trusteeOf(ace.sid()))
      acting.push_back(
          {*trustee, isAllow(ace.type()), posixPermissions(mapGenericFileMask(ace.mask()))});
  }
  return acting;
}

// The decision for each account the entries name: the entries that act on that account, taken
// in DACL order as an access check takes them.
template <class KeyOf>
std::map<Key, Decision> decide(std::span<const Ace> entries, KeyOf keyOf,
                               const GroupMemberships& memberships) {
  const std::vector<ActingEntry> acting = actingEntries(entries);
  std::map<Key, Trustee> holders;
  for (const ActingEntry& entry : acting)
    if (std::optional<Key> key = keyOf(entry.trustee)) holders.emplace(*key, entry.trustee);
  std::map<Key, Decision> decisions;
  for (const auto& [key, holder] : holders) {
    Decision& decision = decisions[key];
    for (const ActingEntry& entry : acting) {
      if (!actsOn(entry.trustee, holder, memberships)) continue;
      std::uint8_t bits = entry.bits & ~decision.decided;
      decision.decided |= bits;
      if (entry.allow) decision.granted |= bits;
    }
  }
  return decisions;
}

// An ACL of the decided entries; the base entries that no entry named keep the bits of `kept`.
// A mask (the union of the named entries and the owning group) comes with named entries.
PosixAcl buildAcl(const std::map<Key, Decision>& decisions, const PosixAcl& kept) {
  PosixAcl acl;
  for (AclTag base : {AclTag::UserObj, AclTag::GroupObj, AclTag::Other})
    if (!decisions.count(Key{base, 0})) acl.push_back({base, 0, permsOf(kept, base)});
  std::uint8_t mask = 0;
  bool named = false;
  for (const auto& [key, decision] : decisions) {
    acl.push_back({key.first, key.second, decision.granted});
    if (key.first == AclTag::User || key.first == AclTag::Group) named = true;
  }
  for (const AclEntry& entry : acl)
    if (entry.tag == AclTag::User || entry.tag == AclTag::Group || entry.tag == AclTag::GroupObj)
      mask |= entry.perms;
  if (named) acl.push_back({AclTag::Mask, 0, mask});
  std::sort(acl.begin(), acl.end());
  return acl;
}

std::vector<Ace> entriesOf(const Acl& acl) {
  std::vector<Ace> entries;
  for (std::uint32_t i = 0, count = acl.aceCount(); i < count; ++i)
    entries.push_back(acl.getAce(i));
  return entries;
}

// Each entry as the mask lets it act; the mask itself left out.
PosixAcl effectiveEntries(const PosixAcl& acl) {
  const AclEntry* mask = findEntry(acl, AclTag::Mask);
  PosixAcl out;
  for (AclEntry entry : acl) {
    if (entry.tag == AclTag::Mask) continue;
    bool masked =
        entry.tag == AclTag::User || entry.tag == AclTag::Group || entry.tag == AclTag::GroupObj;
    if (mask && masked) entry.perms &= mask->perms;
    out.push_back(entry);
  }
  return out;
}

Ace makeAce(std::uint8_t type, std::uint8_t flags, std::uint32_t mask, const Sid& sid) {
  Ace ace;
  ace.init(type, flags, mask, sid);
  return ace;
}

// The SID an entry of the access ACL (directory false) or default ACL (true) stands for.
Sid sidOf(const AclEntry& entry, const PosixObject& object, bool inDefault) {
  switch (entry.tag) {
  case AclTag::UserObj: return inDefault ? Sid(kCreatorAuthority, 1, 0) : userSid(object.owner);
  case AclTag::GroupObj: return inDefault ? Sid(kCreatorAuthority, 1, 1) : groupSid(object.group);
  case AclTag::User: return userSid(entry.id);
  case AclTag::Group: return groupSid(entry.id);
  default: return VSID::everyone();
  }
}

// Appends the entries that an access ACL (inDefault false) or a default ACL stands for, with
// `extraBits` added to every grant. A default entry whose twin (same type, rights and SID) acts
// on the directory makes that twin inheritable instead of being added.
void entriesFromAcl(const PosixAcl& acl, const PosixObject& object, bool inDefault,
                    std::uint8_t extraBits, std::vector<Ace>& out) {
  const std::uint8_t flags =
      inDefault ? (OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE | INHERIT_ONLY_ACE) : 0;
  for (const AclEntry& entry : effectiveEntries(acl)) {
    bool named = entry.tag == AclTag::User || entry.tag == AclTag::Group;
    Ace ace;
    if (entry.perms)
      ace = makeAce(ACCESS_ALLOWED_ACE_TYPE, flags, accessMask(entry.perms | extraBits),
                    sidOf(entry, object, inDefault));
    else if (named)
      ace =
          makeAce(ACCESS_DENIED_ACE_TYPE, flags, FILE_ALL_ACCESS, sidOf(entry, object, inDefault));
    else
      continue;
    auto twin = std::find_if(out.begin(), out.end(), [&](const Ace& other) {
      return other.flags() == 0 && other.type() == ace.type() && other.mask() == ace.mask() &&
             other.sid() == ace.sid();
    });
    if (inDefault && twin != out.end())
      twin->setFlags(OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE);
    else
      out.push_back(std::move(ace));
  }
}

} // namespace

std::uint8_t posixPermissions(std::uint32_t mask) {
  return static_cast<std::uint8_t>(((mask & FILE_READ_DATA) ? os::permRead : 0) |
                                   ((mask & FILE_WRITE_DATA) ? os::permWrite : 0) |
                                   ((mask & FILE_EXECUTE) ? os::permExecute : 0));
}

std::uint32_t accessMask(std::uint8_t perms) {
  if ((perms & kAllBits) == kAllBits) return FILE_ALL_ACCESS;
  return ((perms & os::permRead) ? FILE_GENERIC_READ : 0) |
         ((perms & os::permWrite) ? FILE_GENERIC_WRITE : 0) |
         ((perms & os::permExecute) ? FILE_GENERIC_EXECUTE : 0);
}

PosixProjection projectDacl(const Acl& effectiveDacl, const PosixObject& object,
                            const GroupMemberships& memberships) {
  PosixProjection projection;
  if (!effectiveDacl.hasBuffer()) {
    projection.access = buildAcl({}, object.access);
    return projection;
  }
  projection.access = buildAcl(
      decide(
          entriesOf(effectiveDacl),
          [&](const Trustee& trustee) { return accessKey(trustee, object); }, memberships),
      object.access);
  if (!object.directory) return projection;
  std::map<Key, Decision> inherited =
      decide(inheritedAces(effectiveDacl, InheritingObject{false, {}, {}}), defaultKey,
             memberships);
  if (!inherited.empty())
    projection.defaults =
        buildAcl(inherited, object.defaults.empty() ? object.access : object.defaults);
  return projection;
}

bool projectionHolds(const PosixProjection& projection, const PosixObject& object) {
  PosixAcl expected = effectiveEntries(projection.access);
  PosixAcl actual = effectiveEntries(object.access);
  if (!object.directory)
    for (std::size_t i = 0; i < expected.size() && i < actual.size(); ++i)
      if (actual[i].perms == (expected[i].perms & ~os::permExecute))
        actual[i].perms = expected[i].perms;
  return expected == actual &&
         effectiveEntries(projection.defaults) == effectiveEntries(object.defaults);
}

Acl daclFromPosix(const PosixObject& object) {
  // On a file a missing x is not compared (see projectionHolds): its entries read as if they
  // had it.
  const std::uint8_t extra = object.directory ? 0 : os::permExecute;
  std::vector<Ace> entries;
  entriesFromAcl(object.access, object, false, extra, entries);
  if (object.directory) entriesFromAcl(object.defaults, object, true, 0, entries);
  // The entries alone, in canonical order.
  return effectiveDacl(Acl(), false, entries);
}

} // namespace RunTime
