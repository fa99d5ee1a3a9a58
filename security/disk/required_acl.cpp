#include "security/disk/required_acl.h"

#include <algorithm>
#include <set>

#include "runtime/core/format.h"
#include "runtime/security/model/inheritance.h"
#include "runtime/security/model_failures.h"

namespace DiskSecurity {
namespace {

using RunTime::Ace;
using RunTime::Acl;

std::vector<Ace> acesOf(const Acl& acl) {
  std::vector<Ace> aces;
  if (!acl.hasBuffer()) return aces;
  for (std::uint32_t i = 0, count = acl.aceCount(); i < count; ++i) aces.push_back(acl.getAce(i));
  return aces;
}

// The ACE an entry gives on an object, or nothing.
std::optional<Ace> aceOf(const AccessEntry& entry, bool directory) {
  if (entry.entryFlags & RemoveAccess) return std::nullopt;
  if (directory && (entry.entryFlags & ThisFileOnly)) return std::nullopt;
  std::uint8_t flags = static_cast<std::uint8_t>(entry.aceFlags & RunTime::INHERITANCE_FLAGS);
  if (!directory) {
    if (flags & RunTime::INHERIT_ONLY_ACE) return std::nullopt;
    flags = 0;
  } else if ((entry.entryFlags & NoPropagate) && (flags & (RunTime::OBJECT_INHERIT_ACE |
                                                           RunTime::CONTAINER_INHERIT_ACE))) {
    flags |= RunTime::NO_PROPAGATE_INHERIT_ACE;
  }
  Ace ace;
  ace.init((entry.entryFlags & Deny) ? RunTime::ACCESS_DENIED_ACE_TYPE
                                     : RunTime::ACCESS_ALLOWED_ACE_TYPE,
           flags, RunTime::mapGenericFileMask(entry.accessMask), entry.account);
  return ace;
}

// The ACEs in canonical order, each once.
Acl canonical(const std::vector<Ace>& aces) {
  std::vector<Ace> unique;
  for (const Ace& ace : aces)
    if (std::find(unique.begin(), unique.end(), ace) == unique.end()) unique.push_back(ace);
  return RunTime::effectiveDacl(Acl(), false, unique);
}

bool sameAces(const Acl& a, const Acl& b) {
  const std::vector<Ace> first = acesOf(a), second = acesOf(b);
  if (first.size() != second.size()) return false;
  for (std::size_t i = 0; i < first.size(); ++i)
    if (!(first[i] == second[i])) return false;
  return true;
}

const char16_t* kindName(ItemKind kind) {
  switch (kind) {
  case ItemKind::Deny: return u"Deny";
  case ItemKind::ImplicitAllow: return u"ImplicitAllow";
  case ItemKind::Stop: return u"Stop";
  case ItemKind::Allow: return u"Allow";
  case ItemKind::Revoke: return u"Revoke";
  }
  return u"";
}

const char16_t* ontoName(ApplyOnto onto) {
  switch (onto) {
  case ApplyOnto::ThisObject: return u"ThisObject";
  case ApplyOnto::Files: return u"Files";
  case ApplyOnto::SubFolders: return u"SubFolders";
  }
  return u"";
}

} // namespace

RequiredAcl requiredAcl(const std::vector<const AccessEntry*>& entries, bool directory,
                        const ExistingAcl& existing, const Acl& inheritedNow) {
  RequiredAcl required;
  required.daclProtected = existing.daclProtected;
  std::set<RunTime::Sid> named;
  for (const AccessEntry* entry : entries) {
    named.insert(entry->account);
    if (entry->entryFlags & BreakInheritance) required.daclProtected = true;
    else if (entry->entryFlags & InheritFromParent) required.daclProtected = false;
  }
  required.breaksInheritance = required.daclProtected && !existing.daclProtected;

  std::vector<Ace> aces;
  // A DACL that starts protecting keeps what it inherited until now, as explicit entries.
  const Acl& kept = required.breaksInheritance ? inheritedNow : existing.explicitDacl;
  for (Ace ace : acesOf(kept)) {
    if (named.count(ace.sid())) continue;
    ace.setFlags(static_cast<std::uint8_t>(ace.flags() & ~RunTime::INHERITED_ACE));
    aces.push_back(std::move(ace));
  }
  for (const AccessEntry* entry : entries)
    if (std::optional<Ace> ace = aceOf(*entry, directory)) aces.push_back(std::move(*ace));
  required.explicitDacl = RunTime::withSystemErrors([&] { return canonical(aces); });
  return required;
}

bool matches(const ExistingAcl& existing, const RequiredAcl& required) {
  return existing.daclProtected == required.daclProtected &&
         sameAces(existing.explicitDacl, required.explicitDacl);
}

std::vector<AccessItem> accessItems(const Acl& dacl) {
  std::vector<AccessItem> items;
  for (const Ace& ace : acesOf(dacl)) {
    const ItemKind kind =
        ace.type() == RunTime::ACCESS_DENIED_ACE_TYPE ? ItemKind::Deny : ItemKind::Allow;
    auto add = [&](ApplyOnto onto) {
      items.push_back({kind, onto, ace.sid(), ace.mask(), ace.flags()});
    };
    if (!(ace.flags() & RunTime::INHERIT_ONLY_ACE)) add(ApplyOnto::ThisObject);
    if (ace.flags() & RunTime::OBJECT_INHERIT_ACE) add(ApplyOnto::Files);
    if (ace.flags() & RunTime::CONTAINER_INHERIT_ACE) add(ApplyOnto::SubFolders);
  }
  return items;
}

std::u16string dumpItems(const std::vector<AccessItem>& items) {
  std::u16string dump;
  int index = 0;
  for (const AccessItem& item : items) {
    const std::u16string account =
        item.account.name().empty() ? item.account.toSidString() : item.account.name();
    dump += formatString(u"Index %d, apply onto %s, type %s, account %s, access %X[%X], key %s\n",
                         index++, std::u16string(ontoName(item.applyOnto)),
                         std::u16string(kindName(item.kind)), account, item.accessMask,
                         item.aceFlags, item.account.toSidString());
  }
  return dump;
}

} // namespace DiskSecurity
