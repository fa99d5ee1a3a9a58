#include "runtime/security/model/acl.h"

#include <gtest/gtest.h>

#include "tests/runtime/security/model/security_testing.h"

using namespace security_testing;
using namespace RunTime;

namespace {

constexpr std::uint8_t kAllow = ACCESS_ALLOWED_ACE_TYPE;
constexpr std::uint8_t kDeny = ACCESS_DENIED_ACE_TYPE;
constexpr std::uint8_t kInherited = INHERITED_ACE;

Ace objectAce(std::uint8_t type, std::uint8_t flags, const char* who) {
  Ace entry;
  entry.init(type, flags, 0x10, ACE_OBJECT_TYPE_PRESENT, Guid{1, 2, 3}, Guid{9}, sid(who));
  return entry;
}

TEST(Acl, InsertionKeepsCanonicalGroups) {
  // The case, the list's entries, the entry added and the index it goes to.
  const std::tuple<const char*, std::vector<Ace>, Ace, std::uint32_t> cases[] = {
      {"inherited allow after inherited deny",
       {ace(kAllow, 0, 1, "S-1-5-18"), ace(kDeny, kInherited, 1, "S-1-1-0"),
        ace(kAllow, kInherited, 1, "S-1-1-0")},
       ace(kAllow, kInherited, 2, "S-1-5-18"), 2},
      {"explicit allow after explicit deny, before explicit allow",
       {ace(kDeny, 0, 1, "S-1-1-0"), ace(kAllow, 0, 1, "S-1-5-18"),
        ace(kDeny, kInherited, 1, "S-1-1-0")},
       ace(kAllow, 0, 2, "S-1-1-0"), 1},
      {"explicit allow before inherited entries",
       {ace(kDeny, kInherited, 1, "S-1-1-0"), ace(kAllow, kInherited, 1, "S-1-1-0")},
       ace(kAllow, 0, 2, "S-1-1-0"), 0},
      {"empty list", {}, ace(kDeny, kInherited, 1, "S-1-1-0"), 0},
      {"deny in front of its own group", {ace(kDeny, 0, 1, "S-1-1-0")},
       ace(kDeny, 0, 2, "S-1-5-18"), 0},
      {"inherited deny after every explicit entry",
       {ace(kDeny, 0, 1, "S-1-1-0"), ace(kAllow, 0, 1, "S-1-1-0")},
       ace(kDeny, kInherited, 1, "S-1-5-18"), 2},
      {"object deny after deny, before allow",
       {ace(kDeny, 0, 1, "S-1-1-0"), ace(kAllow, 0, 1, "S-1-1-0")},
       objectAce(ACCESS_DENIED_OBJECT_ACE_TYPE, 0, "S-1-5-18"), 1},
      {"object allow after allow",
       {ace(kAllow, 0, 1, "S-1-1-0"), ace(kDeny, kInherited, 1, "S-1-1-0")},
       objectAce(ACCESS_ALLOWED_OBJECT_ACE_TYPE, 0, "S-1-5-18"), 1},
  };
  for (const auto& [name, existing, added, index] : cases)
    EXPECT_EQ(dacl(existing).getInsertionIndex(added), index) << name;
}

TEST(Acl, AddSkipsEqualEntriesAndGrows) {
  Ace a = ace(kAllow, 3, 0x1200A9, "S-1-22-2-1000");
  Ace b = ace(kDeny, 0, 0x1F01FF, "S-1-22-2-1001");
  Ace aOtherMask = ace(kAllow, 3, 0x1301BF, "S-1-22-2-1000");
  Ace aOtherFlags = ace(kAllow, 0, 0x1200A9, "S-1-22-2-1000");
  Acl acl;
  const Ace batch[] = {a, b, a, aOtherMask, aOtherFlags};
  acl.add(batch);
  acl.add(std::span(&a, 1));
  EXPECT_EQ(entriesOf(acl), (std::vector<std::string>{"1/0/1f01ff/S-1-22-2-1001", "0/0/1200a9/S-1-22-2-1000",
                                                      "0/3/1301bf/S-1-22-2-1000", "0/3/1200a9/S-1-22-2-1000"}));

  std::vector<Ace> many;
  for (std::uint32_t uid = 1; uid <= 20; ++uid) {
    std::string who = "S-1-22-1-" + std::to_string(uid);
    many.push_back(ace(kAllow, 0, 1, who.c_str()));
  }
  std::uint32_t needed = acl.calculateSize(nullptr, many);
  acl.add(many);
  EXPECT_EQ(acl.aceCount(), 24u);
  EXPECT_EQ(acl.totalSize(), 2 * needed);

  // add(acl) takes every entry of the other list, each at its insertion index.
  Acl other;
  other.add(acl);
  EXPECT_EQ(other.aceCount(), 24u);
  EXPECT_EQ(other.getAce(0), b);
}

// The SID offsets show in the object entry's SID and in the compound entry refused below.
TEST(Ace, ObjectFields) {
  Ace object = objectAce(ACCESS_ALLOWED_OBJECT_ACE_TYPE, 2, "S-1-5-18");
  EXPECT_EQ(object.size(), 44 + 12);
  EXPECT_EQ(object.getAceHeaderObjectFlags(), ACE_OBJECT_TYPE_PRESENT);
  EXPECT_EQ(object.getAceHeaderObjectType(), (Guid{1, 2, 3}));
  EXPECT_EQ(object.getAceHeaderInheritedObjectType(), (Guid{9}));
  EXPECT_EQ(object.sid(), VSID::system());
}

TEST(Acl, FailuresNameTheCall) {
  Acl compound; // one entry, of the compound type 4
  compound.copy(std::vector<std::uint8_t>{2, 0, 20, 0, 1, 0, 0, 0, 4, 0, 12, 0, 1, 0, 0, 0, 0, 0, 0, 0});
  const Ace basic = ace(kAllow, 0, 1, "S-1-1-0");
  expectFailures({
      {[&] { Acl().getInsertionIndex(ace(SYSTEM_AUDIT_ACE_TYPE, 0, 1, "S-1-1-0")); }, 87, "Invalid ACE type"},
      {[&] { compound.add(std::span(&basic, 1)); }, 87, "Unsupported ACE type in ACL"},
      {[&] { compound.getAce(0).sid(); }, 0, "Unsupported ACE type (4)"},
      {[&] { compound.deleteAce(1); }, 87, "Unable to delete ACL ACE (1)"},
      {[&] { compound.getAce(5); }, 87, "Unable to get ACL ACE (5)"},
      {[] { Acl::none().aceCount(); }, 87, "Unable to get ACL size"},
      {[&] { basic.getAceHeaderObjectType(); }, 0, "Not X_X_OBJECT_ACE_TYPE"},
      {[&] { basic.getAceHeaderObjectFlags(); }, 0, "Not X_X_OBJECT_ACE_TYPE"},
      {[] { Ace().init(kAllow, 0, 1, 0, Guid{}, Guid{}, VSID::system()); }, 0, "Not object type ACE"},
  });
}

} // namespace
