#include "runtime/security/model/posix_projection.h"

#include <gtest/gtest.h>

#include <map>
#include <sstream>

#include "runtime/security/model/inheritance.h"
#include "tests/runtime/security/model/security_testing.h"

namespace os {
// An entry as posix() reads it ("u:1001:rw-", "m::rwx") when a comparison fails.
void PrintTo(const AclEntry& e, std::ostream* out) {
  const bool named = e.tag == AclTag::User || e.tag == AclTag::Group;
  *out << "uuggmo"[static_cast<int>(e.tag)] << ':' << (named ? std::to_string(e.id) : "") << ':'
       << (e.perms & 4 ? 'r' : '-') << (e.perms & 2 ? 'w' : '-') << (e.perms & 1 ? 'x' : '-');
}
} // namespace os

using namespace security_testing;
using namespace RunTime;

namespace {

// Group memberships given as a table, in place of the account database; a user the table does
// not list belongs to no group.
struct MembershipTable : GroupMemberships {
  std::map<std::uint32_t, std::vector<std::uint32_t>> groups;
  const std::vector<std::uint32_t>& groupsOf(std::uint32_t uid) const override {
    static const std::vector<std::uint32_t> none;
    auto found = groups.find(uid);
    return found == groups.end() ? none : found->second;
  }
};

using Entries = std::vector<std::string>;

// "u::rw-,u:1001:r--,g::r--,g:7:rwx,m::rwx,o::r--" <-> a sorted ACL.
os::PosixAcl posix(const std::string& text) {
  os::PosixAcl acl;
  std::stringstream in(text);
  for (std::string item; std::getline(in, item, ',');) {
    const std::size_t colon = item.find(':', 2);
    const bool named = colon > 2; // "u:1001:r--" names its account, "u::rw-" is the owner's
    os::AclEntry entry;
    // The tags in order: UserObj, User, GroupObj, Group, Mask, Other.
    entry.tag = static_cast<os::AclTag>(std::string("u.g.mo").find(item[0]) + named);
    entry.id = named ? static_cast<std::uint32_t>(std::stoul(item.substr(2, colon - 2))) : 0;
    for (char c : item.substr(colon + 1)) entry.perms |= c == 'r' ? 4 : c == 'w' ? 2 : c == 'x' ? 1 : 0;
    acl.push_back(entry);
  }
  std::sort(acl.begin(), acl.end());
  return acl;
}

const char* const kFile = "u::rw-,g::r--,o::r--";
const char* const kDirectory = "u::rwx,g::r-x,o::r-x";

PosixObject object(bool directory, const char* access, const char* defaults = "") {
  return PosixObject{directory, 1000, 1000, posix(access), posix(defaults)};
}

constexpr std::uint8_t OI = OBJECT_INHERIT_ACE, CI = CONTAINER_INHERIT_ACE, IO = INHERIT_ONLY_ACE,
                       INH = INHERITED_ACE;
const char* const G = "S-1-22-2-7";
const MembershipTable kNoGroups;

// POSIX lets the first matching class decide, so a named entry carries what the account's other
// SIDs are granted: a user its groups' and Everyone's, a group Everyone's.
TEST(PosixProjection, ProjectsEachAccountOfTheDacl) {
  const char* const U = "S-1-22-1-1001";
  const char* const Everyone = "S-1-1-0";
  MembershipTable members;
  members.groups = {{1001, {1001, 7}}, {1000, {1000, 7}}};
  // The DACL, whether the object is a directory, its access and default ACLs, the memberships.
  const std::tuple<Acl, bool, std::string, std::string, const MembershipTable*> cases[] = {
      {dacl({ace(0, 0, FILE_ALL_ACCESS, G)}), false, "u::rw-,g::r--,g:7:rwx,m::rwx,o::r--", "", &kNoGroups},
      {dacl({ace(1, 0, FILE_ALL_ACCESS, G)}), false, "u::rw-,g::r--,g:7:---,m::r--,o::r--", "", &kNoGroups},
      // The first entry that mentions a bit decides it.
      {dacl({ace(1, 0, FILE_GENERIC_WRITE, G), ace(0, 0, FILE_ALL_ACCESS, G)}), false,
       "u::rw-,g::r--,g:7:r-x,m::r-x,o::r--", "", &kNoGroups},
      {dacl({ace(0, 0, FILE_GENERIC_READ, G), ace(1, INH, FILE_ALL_ACCESS, G)}), false,
       "u::rw-,g::r--,g:7:r--,m::r--,o::r--", "", &kNoGroups},
      {dacl({ace(0, 0, GENERIC_READ | GENERIC_EXECUTE, G)}), false,
       "u::rw-,g::r--,g:7:r-x,m::r-x,o::r--", "", &kNoGroups},
      // The owner, the owning group and Everyone take the base entries.
      {dacl({ace(0, 0, 0x1200A9, "S-1-22-1-1000"), ace(0, 0, FILE_ALL_ACCESS, "S-1-22-2-1000"),
             ace(0, 0, 0x120089, Everyone)}),
       false, "u::r-x,g::rwx,o::r--", "", &kNoGroups},
      {dacl({ace(0, 0, FILE_ALL_ACCESS, "S-1-5-18"), ace(0, 0, FILE_GENERIC_READ, "S-1-22-1-5")}),
       false, "u::rw-,u:0:rwx,u:5:r--,g::r--,m::rwx,o::r--", "", &kNoGroups},
      // Unknown SIDs and inherit-only entries play no part; neither does a null DACL.
      {dacl({ace(0, 0, FILE_ALL_ACCESS, "S-1-5-11"), ace(0, OI | IO, FILE_ALL_ACCESS, G)}), false,
       kFile, "", &kNoGroups},
      {Acl::none(), false, kFile, "", &kNoGroups},
      // A directory passes on what its files inherit as its default ACL.
      {dacl({ace(0, OI | CI, FILE_ALL_ACCESS, G)}), true, "u::rwx,g::r-x,g:7:rwx,m::rwx,o::r-x",
       "u::rwx,g::r-x,g:7:rwx,m::rwx,o::r-x", &kNoGroups},
      {dacl({ace(0, CI, FILE_ALL_ACCESS, G)}), true, "u::rwx,g::r-x,g:7:rwx,m::rwx,o::r-x", "", &kNoGroups},
      {dacl({ace(0, OI | CI | IO, FILE_GENERIC_READ, "S-1-3-0"),
             ace(0, OI | CI | IO, 0, Everyone)}),
       true, kDirectory, "u::r--,g::r-x,o::---", &kNoGroups},
      // Named entries add up their groups and Everyone; without the membership a user keeps
      // only its own entry and Everyone's.
      {dacl({ace(0, 0, FILE_GENERIC_READ, Everyone), ace(0, 0, FILE_GENERIC_WRITE, G)}), false,
       "u::rw-,g::r--,g:7:rw-,m::rw-,o::r--", "", &members},
      {dacl({ace(0, 0, FILE_GENERIC_READ, G), ace(0, 0, FILE_GENERIC_WRITE, U)}), false,
       "u::rw-,u:1001:rw-,g::r--,g:7:r--,m::rw-,o::r--", "", &members},
      {dacl({ace(0, 0, FILE_GENERIC_READ, G), ace(0, 0, FILE_GENERIC_WRITE, U)}), false,
       "u::rw-,u:1001:-w-,g::r--,g:7:r--,m::rw-,o::r--", "", &kNoGroups},
      // A denial to a group or to Everyone reaches the members; the first entry decides a bit.
      {dacl({ace(1, 0, FILE_GENERIC_WRITE, G), ace(0, 0, FILE_ALL_ACCESS, U)}), false,
       "u::rw-,u:1001:r-x,g::r--,g:7:---,m::r-x,o::r--", "", &members},
      {dacl({ace(1, 0, FILE_GENERIC_WRITE, Everyone), ace(0, 0, FILE_ALL_ACCESS, G)}), false,
       "u::rw-,g::r--,g:7:r-x,m::r-x,o::---", "", &members},
      // The owner, once named, adds up as a user too.
      {dacl({ace(0, 0, FILE_GENERIC_EXECUTE, "S-1-22-1-1000"), ace(0, 0, FILE_GENERIC_WRITE, G)}),
       false, "u::-wx,g::r--,g:7:-w-,m::rw-,o::r--", "", &members},
      // The default ACL adds up the same way; the creator entries take Everyone's.
      {dacl({ace(0, OI | CI, FILE_GENERIC_READ, Everyone), ace(0, OI | CI, FILE_GENERIC_WRITE, U),
             ace(0, OI | CI | IO, FILE_GENERIC_EXECUTE, "S-1-3-0")}),
       true, "u::rwx,u:1001:rw-,g::r-x,m::rwx,o::r--", "u::r-x,u:1001:rw-,g::r-x,m::rwx,o::r--", &members},
  };
  for (const auto& [acl, directory, access, defaults, groups] : cases) {
    PosixProjection p = projectDacl(acl, object(directory, directory ? kDirectory : kFile), *groups);
    EXPECT_EQ(p.access, posix(access)) << ::testing::PrintToString(entriesOf(acl));
    EXPECT_EQ(p.defaults, posix(defaults)) << ::testing::PrintToString(entriesOf(acl));
  }
  // Unnamed base entries keep the bits of the current default ACL, named ones drop out.
  PosixProjection kept =
      projectDacl(dacl({ace(0, OI | CI, FILE_ALL_ACCESS, G)}),
                  object(true, "u::rwx,g::r-x,u:9:rwx,m::rwx,o::r-x", "u::rw-,g::---,o::---"),
                  kNoGroups);
  EXPECT_EQ(kept.access, posix("u::rwx,g::r-x,g:7:rwx,m::rwx,o::r-x"));
  EXPECT_EQ(kept.defaults, posix("u::rw-,g::---,g:7:rwx,m::rwx,o::---"));
}

TEST(PosixProjection, HoldsWhileTheMaskLetsTheEntriesAct) {
  const Acl grant = dacl({ace(0, OI | CI, FILE_ALL_ACCESS, G)});
  // Whether the object is a directory, its access and default ACLs, and whether the grant holds.
  const std::tuple<bool, const char*, const char*, bool> cases[] = {
      {false, "u::rw-,g::r--,g:7:rwx,m::rwx,o::r--", "", true},
      {false, "u::rw-,g::r--,g:7:rwx,m::r--,o::r--", "", false}, // chmod 644
      {false, "u::rw-,g::r--,g:7:rwx,m::rw-,o::r--", "", true},  // created with mode 0666
      {false, "u::rw-,g::r--,g:7:rwx,u:9:r--,m::rwx,o::r--", "", false},
      {false, kFile, "", false}, // setfacl -b
      {true, "u::rwx,g::r-x,g:7:rwx,m::rwx,o::r-x", "u::rwx,g::r-x,g:7:rwx,m::rwx,o::r-x", true},
      {true, "u::rwx,g::r-x,g:7:rwx,m::rw-,o::r-x", "u::rwx,g::r-x,g:7:rwx,m::rwx,o::r-x", false},
      {true, "u::rwx,g::r-x,g:7:rwx,m::rwx,o::r-x", "", false},
      {true, "u::rwx,g::r-x,g:7:rwx,m::rwx,o::r-x", "u::rwx,g::r-x,g:7:rwx,m::r--,o::r-x", false},
  };
  for (const auto& [directory, access, defaults, holds] : cases) {
    PosixObject o = object(directory, access, defaults);
    EXPECT_EQ(projectionHolds(projectDacl(grant, o, kNoGroups), o), holds) << access << " " << defaults;
  }
  // On a file only a missing x is let pass, not one the projection does not grant.
  PosixObject extra = object(false, "u::rw-,g::r--,g:7:r-x,m::r-x,o::r--");
  EXPECT_FALSE(projectionHolds(
      projectDacl(dacl({ace(0, 0, FILE_GENERIC_READ, G)}), extra, kNoGroups), extra));
}

TEST(PosixProjection, DaclFromPosixAcls) {
  // The object and the DACL its ACLs stand for.
  const std::pair<PosixObject, Entries> cases[] = {
      {object(false, "u::rwx,g::r-x,g:7:---,u:0:rwx,m::r-x,o::---"),
       {"1/0/1f01ff/S-1-22-2-7", "0/0/1f01ff/S-1-22-1-1000", "0/0/1200a9/S-1-5-18",
        "0/0/1200a9/S-1-22-2-1000"}},
      {object(true, "u::rwx,g::r-x,g:7:rwx,m::rwx,o::---", "u::rwx,g::---,g:7:rwx,m::rwx,o::---"),
       {"0/0/1f01ff/S-1-22-1-1000", "0/0/1200a9/S-1-22-2-1000", "0/3/1f01ff/S-1-22-2-7",
        "0/b/1f01ff/S-1-3-0"}},
      {object(true, "u::rwx,g::r-x,o::r-x", "u::rwx,g::r-x,g:7:r-x,m::r-x,o::r-x"),
       {"0/0/1f01ff/S-1-22-1-1000", "0/0/1200a9/S-1-22-2-1000", "0/3/1200a9/S-1-1-0",
        "0/b/1f01ff/S-1-3-0", "0/b/1200a9/S-1-3-1", "0/b/1200a9/S-1-22-2-7"}},
  };
  for (const auto& [posixObject, expected] : cases) {
    Acl derived = daclFromPosix(posixObject);
    EXPECT_EQ(entriesOf(derived), expected) << ::testing::PrintToString(posixObject.access);
    // What the ACLs stand for projects back onto them.
    EXPECT_TRUE(projectionHolds(projectDacl(derived, posixObject, kNoGroups), posixObject))
        << ::testing::PrintToString(posixObject.access);
  }
}

} // namespace
