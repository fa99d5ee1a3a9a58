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
  struct Case {
    const char* name;
    std::vector<Ace> existing;
    Ace added;
    std::uint32_t index;
  };
  const Case cases[] = {
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
  for (const Case& c : cases)
    EXPECT_EQ(dacl(c.existing).getInsertionIndex(c.added), c.index) << c.name;
}

TEST(Acl, InsertionRefusesOtherTypes) {
  const Ace audit = ace(SYSTEM_AUDIT_ACE_TYPE, 0, 1, "S-1-1-0");
  Failure f = failureOf([&] { Acl().getInsertionIndex(audit); });
  EXPECT_EQ(f.code, 87u);
  EXPECT_TRUE(endsWith(f.message, " at Invalid ACE type")) << f.message;

  // A compound entry (type 4) in the list: insertion and its SID both fail.
  const std::vector<std::uint8_t> compound = {2, 0, 20, 0, 1, 0, 0, 0,  // one entry
                                              4, 0, 12, 0, 1, 0, 0, 0, 0, 0, 0, 0};
  Acl acl;
  acl.copy(compound);
  Ace entry = ace(kAllow, 0, 1, "S-1-1-0");
  f = failureOf([&] { acl.add(std::span(&entry, 1)); });
  EXPECT_EQ(f.code, 87u);
  EXPECT_TRUE(endsWith(f.message, " at Unsupported ACE type in ACL")) << f.message;
  f = failureOf([&] { acl.getAce(0).sid(); });
  EXPECT_EQ(f.message, "Unsupported ACE type (4)");
}

TEST(Acl, AddSkipsEqualEntriesAndGrows) {
  Ace a = ace(kAllow, 3, 0x1200A9, "S-1-22-2-1000");
  Ace b = ace(kDeny, 0, 0x1F01FF, "S-1-22-2-1001");
  Ace aOtherMask = ace(kAllow, 3, 0x1301BF, "S-1-22-2-1000");
  Acl acl;
  const Ace batch[] = {a, b, a, aOtherMask};
  acl.add(batch);
  acl.add(std::span(&a, 1));
  EXPECT_EQ(entriesOf(acl), (std::vector<std::string>{"1/0/1f01ff/S-1-22-2-1001",
                                                      "0/3/1301bf/S-1-22-2-1000",
                                                      "0/3/1200a9/S-1-22-2-1000"}));

  std::vector<Ace> many;
  for (std::uint32_t uid = 1; uid <= 20; ++uid) {
    std::string who = "S-1-22-1-" + std::to_string(uid);
    many.push_back(ace(kAllow, 0, 1, who.c_str()));
  }
  std::uint32_t needed = acl.calculateSize(nullptr, many);
  acl.add(many);
  EXPECT_EQ(acl.aceCount(), 23u);
  EXPECT_EQ(acl.totalSize(), 2 * needed);

  // add(acl) takes every entry of the other list, each at its insertion index.
  Acl other;
  other.add(acl);
  EXPECT_EQ(other.aceCount(), 23u);
  EXPECT_EQ(other.getAce(0), b);
}

TEST(Acl, FindAndDelete) {
  Acl acl = dacl(
      {ace(kDeny, 0, 1, "S-1-1-0"), ace(kAllow, 0, 1, "S-1-5-18"), ace(kAllow, 0, 2, "S-1-1-0")});
  EXPECT_EQ(acl.findAce(ace(kAllow, 0, 2, "S-1-1-0")), 2u);
  EXPECT_EQ(acl.findAce(ace(kAllow, 1, 2, "S-1-1-0")), Acl::npos); // flags differ
  EXPECT_EQ(acl.findAce(ace(kDeny, 0, 2, "S-1-1-0")), Acl::npos);  // mask differs

  acl.deleteAce(1);
  EXPECT_EQ(entriesOf(acl), (std::vector<std::string>{"1/0/1/S-1-1-0", "0/0/2/S-1-1-0"}));
  EXPECT_EQ(acl.bytesInUse(), 8u + 2 * 20);

  Failure f = failureOf([&] { acl.deleteAce(2); });
  EXPECT_TRUE(endsWith(f.message, " at Unable to delete ACL ACE (2)")) << f.message;
  f = failureOf([&] { acl.getAce(5); });
  EXPECT_TRUE(endsWith(f.message, " at Unable to get ACL ACE (5)")) << f.message;
  f = failureOf([] { Acl::none().aceCount(); });
  EXPECT_TRUE(endsWith(f.message, " at Unable to get ACL size")) << f.message;
}

// The SID offsets show in the object entry's SID and in the compound entry refused above.
TEST(Ace, ObjectFields) {
  Ace object = objectAce(ACCESS_ALLOWED_OBJECT_ACE_TYPE, 2, "S-1-5-18");
  EXPECT_EQ(object.size(), 44 + 12);
  EXPECT_EQ(object.getAceHeaderObjectFlags(), ACE_OBJECT_TYPE_PRESENT);
  EXPECT_EQ(object.getAceHeaderObjectType(), (Guid{1, 2, 3}));
  EXPECT_EQ(object.getAceHeaderInheritedObjectType(), (Guid{9}));
  EXPECT_EQ(object.sid(), VSID::system());

  Ace basic = ace(kAllow, 0, 1, "S-1-1-0");
  EXPECT_EQ(failureOf([&] { basic.getAceHeaderObjectType(); }).message, "Not X_X_OBJECT_ACE_TYPE");
  EXPECT_EQ(failureOf([&] { basic.getAceHeaderObjectFlags(); }).message, "Not X_X_OBJECT_ACE_TYPE");
  EXPECT_EQ(failureOf([&] { Ace().init(kAllow, 0, 1, 0, Guid{}, Guid{}, VSID::system()); }).message,
            "Not object type ACE");
}

} // namespace
