#include "runtime/security/stored_security.h"

#include <algorithm>
#include <memory>
#include <optional>

#include "runtime/core/log_sink.h"
#include "runtime/security/memberships.h"
#include "runtime/security/model_failures.h"
#include "runtime/security/model/account_sids.h"
#include "runtime/security/model/inheritance.h"
#include "runtime/security/model/security_descriptor.h"

namespace RunTime {
namespace {

std::optional<SecurityDescriptor> storedDescriptor(const os::SecurityState& state) {
  if (!state.hasDescriptor) return std::nullopt;
  return SecurityDescriptor::fromSelfRelative(state.descriptor);
}

// What the projection reads of the object's state.
PosixObject posixObject(const os::SecurityState& state) {
  return PosixObject{state.directory, state.owner, state.group, state.access, state.defaults};
}

bool storedProtected(const os::SecurityState& state) {
  std::optional<SecurityDescriptor> stored = storedDescriptor(state);
  return stored && stored->daclProtected();
}

// The governing DACL of the object read up its chain of ancestors; nothing when neither it nor
// an ancestor has a stored descriptor.
os::Result<std::optional<Acl>> chainDacl(const os::SecurityObject& object) {
  using Outcome = os::Result<std::optional<Acl>>;
  std::vector<os::SecurityState> chain{object.state()};
  os::Result<os::SecurityObject> parent = object.parent();
  while (!storedProtected(chain.back())) {
    if (!parent.ok()) {
      if (parent.code() == os::err::fileNotFound) break; // the top of the file system
      return Outcome::failure(parent.code());
    }
    chain.push_back(parent.value().state());
    parent = parent.value().parent();
  }
  std::size_t top = chain.size();
  for (std::size_t i = 0; i < chain.size(); ++i)
    if (chain[i].hasDescriptor) top = i;
  if (top == chain.size()) return std::optional<Acl>();
  Acl dacl = top + 1 < chain.size() ? daclFromPosix(posixObject(chain[top + 1])) : Acl::none();
  for (std::size_t i = top + 1; i-- > 0;) dacl = governingDacl(chain[i], dacl);
  return std::optional<Acl>(std::move(dacl));
}

// The projection of the DACL onto the object, applied.
std::uint32_t project(os::SecurityObject& object, const Acl& dacl,
                      const GroupMemberships& memberships) {
  PosixProjection projection = projectDacl(dacl, posixObject(object.state()), memberships);
  return object.applyAcl(projection.access, projection.defaults);
}

} // namespace

Acl governingDacl(const os::SecurityState& state, const Acl& parentDacl) {
  return withSystemErrors([&] {
    std::optional<SecurityDescriptor> stored = storedDescriptor(state);
    bool daclProtected = stored && stored->daclProtected();
    std::vector<Ace> inherited;
    if (!daclProtected)
      inherited = inheritedAces(
          parentDacl, InheritingObject{state.directory, userSid(state.owner), groupSid(state.group)});
    return effectiveDacl(stored ? stored->dacl() : Acl(), daclProtected, inherited);
  });
}

os::Result<Acl> readDacl(const os::SecurityObject& object) {
  return withSystemErrors([&]() -> os::Result<Acl> {
    os::Result<std::optional<Acl>> chain = chainDacl(object);
    if (!chain.ok()) return os::Result<Acl>::failure(chain.code());
    const PosixObject posix = posixObject(object.state());
    const std::optional<Acl>& dacl = chain.value();
    if (!dacl || !projectionHolds(projectDacl(*dacl, posix, AccountMemberships()), posix))
      return daclFromPosix(posix);
    return *dacl;
  });
}

Acl explicitEntries(const Acl& dacl, bool daclProtected) {
  return withSystemErrors([&] {
    if (!dacl.hasBuffer()) return Acl::none();
    if (!daclProtected) return effectiveDacl(dacl, false, {});
    std::vector<Ace> entries;
    for (std::uint32_t i = 0, count = dacl.aceCount(); i < count; ++i) {
      Ace ace = dacl.getAce(i);
      ace.setFlags(static_cast<std::uint8_t>(ace.flags() & ~INHERITED_ACE));
      entries.push_back(std::move(ace));
    }
    // The entries alone, in canonical order.
    return effectiveDacl(Acl(), false, entries);
  });
}

namespace {
// Projects, below an object (whose governing DACL is given), every object from the DACL that
// governs it; only ACLs that differ are written. A hard-linked file is passed over and listed.
// With `intoProtected` false a protected descendant and what lies below it are left alone (a
// write above them does not change them); with it they are projected from their own DACL.
// The subtrees of a large tree are projected on several threads, each part from the governing
// DACLs of the directories above it.
class Projection : public os::SecurityVisitor {
public:
  Projection(std::vector<Acl> governing, const GroupMemberships& memberships, bool intoProtected)
      : memberships_(memberships), intoProtected_(intoProtected), governing_(std::move(governing)) {}

  std::vector<std::u16string> skipped;

  std::uint32_t visit(os::SecurityObject& child, int depth, bool& descend) override {
    if (child.hardLinked()) {
      skipped.push_back(child.path());
      return os::err::success;
    }
    if (!intoProtected_ && storedProtected(child.state())) return os::err::success;
    const std::size_t level = static_cast<std::size_t>(depth);
    Acl dacl = governingDacl(child.state(), governing_[level - 1]);
    if (std::uint32_t failed = project(child, dacl, memberships_)) return failed;
    if (child.state().directory) {
      governing_.resize(level + 1);
      governing_[level] = std::move(dacl);
      descend = true;
    }
    return os::err::success;
  }

  std::unique_ptr<os::SecurityVisitor> fork(int depth) override {
    return std::make_unique<Projection>(
        std::vector<Acl>(governing_.begin(), governing_.begin() + depth + 1), memberships_,
        intoProtected_);
  }

  void join(os::SecurityVisitor& part) override {
    auto& projected = static_cast<Projection&>(part);
    skipped.insert(skipped.end(), projected.skipped.begin(), projected.skipped.end());
  }

private:
  const GroupMemberships& memberships_;
  const bool intoProtected_;
  std::vector<Acl> governing_; // the DACL governing each directory of the branch, by depth
};

std::uint32_t projectBelow(const os::SecurityObject& object, const Acl& objectDacl,
                           const GroupMemberships& memberships, bool intoProtected,
                           std::vector<std::u16string>& skipped) {
  Projection projection({objectDacl}, memberships, intoProtected);
  const std::uint32_t code = os::walkSecurityTree(object, projection);
  skipped.insert(skipped.end(), projection.skipped.begin(), projection.skipped.end());
  return code;
}

// Below an object with nothing stored on its chain: the POSIX ACLs of every object without a
// stored descriptor are the truth and stay; a descendant with one has its subtree projected from
// its DACL, which inherits from its parent's POSIX ACLs (as chainDacl reads it).
std::uint32_t repairStoredBelow(const os::SecurityObject& object, const GroupMemberships& memberships,
                                std::vector<std::u16string>& skipped) {
  std::vector<os::SecurityState> parents{object.state()};
  return os::walkSecurityTree(
      object, [&](os::SecurityObject& child, int depth, bool& descend) -> std::uint32_t {
        const std::size_t level = static_cast<std::size_t>(depth);
        if (!child.state().hasDescriptor) {
          if (child.state().directory) {
            parents.resize(level + 1);
            parents[level] = child.state();
            descend = true;
          }
          return os::err::success;
        }
        if (child.hardLinked()) {
          skipped.push_back(child.path());
          return os::err::success;
        }
        const Acl dacl = governingDacl(child.state(), daclFromPosix(posixObject(parents[level - 1])));
        if (std::uint32_t failed = project(child, dacl, memberships)) return failed;
        return child.state().directory ? projectBelow(child, dacl, memberships, true, skipped)
                                       : os::err::success;
      });
}

// A hard link the site user made may lead to a file outside the site: it is never changed, and
// the log says so, in the order of the paths (whichever thread of a walk met them first).
std::vector<std::u16string> warnedAbout(std::vector<std::u16string> skipped) {
  std::sort(skipped.begin(), skipped.end());
  for (const std::u16string& path : skipped)
    corelog::log(corelog::levelWarning,
                 u"Permissions of '%s' left unchanged: it has more than one hard link", path);
  return skipped;
}
} // namespace

os::Result<std::vector<std::u16string>> writeDacl(os::SecurityObject& object,
                                                  const Acl& explicitDacl, bool daclProtected) {
  return withSystemErrors([&]() -> os::Result<std::vector<std::u16string>> {
    using Outcome = os::Result<std::vector<std::u16string>>;
    std::vector<std::u16string> skipped;
    if (object.hardLinked()) {
      skipped.push_back(object.path());
      return warnedAbout(std::move(skipped));
    }
    Acl parentDacl = Acl::none();
    if (!daclProtected) {
      os::Result<os::SecurityObject> parent = object.parent();
      if (parent.ok()) {
        os::Result<std::optional<Acl>> chain = chainDacl(parent.value());
        if (!chain.ok()) return Outcome::failure(chain.code());
        parentDacl =
            chain.value() ? *chain.value() : daclFromPosix(posixObject(parent.value().state()));
      } else if (parent.code() != os::err::fileNotFound) {
        return Outcome::failure(parent.code());
      }
    }
    const std::vector<std::uint8_t> descriptor =
        SecurityDescriptor(Sid(), Sid(), explicitEntries(explicitDacl, daclProtected), daclProtected)
            .toSelfRelative();
    os::SecurityState written = object.state();
    written.hasDescriptor = true;
    written.descriptor = descriptor;
    // The tree below is projected from the DACL as it governs the object once written.
    const Acl governing = governingDacl(written, parentDacl);
    const AccountMemberships memberships;
    if (std::uint32_t code = project(object, governing, memberships))
      return Outcome::failure(code);
    if (std::uint32_t code = object.writeDescriptor(descriptor)) return Outcome::failure(code);
    if (std::uint32_t code = projectBelow(object, governing, memberships, false, skipped))
      return Outcome::failure(code);
    return warnedAbout(std::move(skipped));
  });
}

os::Result<std::vector<std::u16string>> repairProjection(os::SecurityObject& object) {
  return withSystemErrors([&]() -> os::Result<std::vector<std::u16string>> {
    using Outcome = os::Result<std::vector<std::u16string>>;
    std::vector<std::u16string> skipped;
    os::Result<std::optional<Acl>> chain = chainDacl(object);
    if (!chain.ok()) return Outcome::failure(chain.code());
    const AccountMemberships memberships;
    if (!chain.value()) {
      // Nothing stored here: only the subtrees of stored descendants have a DACL to hold to.
      if (object.state().directory)
        if (std::uint32_t code = repairStoredBelow(object, memberships, skipped)) return Outcome::failure(code);
      return warnedAbout(std::move(skipped));
    }
    if (object.hardLinked()) {
      skipped.push_back(object.path());
    } else if (std::uint32_t code = project(object, *chain.value(), memberships)) {
      return Outcome::failure(code);
    }
    if (object.state().directory)
      if (std::uint32_t code = projectBelow(object, *chain.value(), memberships, true, skipped))
        return Outcome::failure(code);
    return warnedAbout(std::move(skipped));
  });
}

} // namespace RunTime
