#include "security/disk/required_acl.h"

#include <gtest/gtest.h>

#include <tuple>

#include "runtime/security/model/inheritance.h"
#include "tests/security/disk/fake_system_helper.h"

using namespace DiskSecurity;
using testing_support::sid;

namespace {

// One ACE as the tables write it: type, flags, mask, account.
using Line = std::tuple<std::uint8_t, std::uint8_t, std::uint32_t, std::u16string>;

std::vector<Line> lines(const RunTime::Acl& acl) {
  std::vector<Line> result;
  for (std::uint32_t i = 0; acl.hasBuffer() && i < acl.aceCount(); ++i) {
    RunTime::Ace ace = acl.getAce(i);
    result.push_back({ace.type(), ace.flags(), ace.mask(), ace.sid().toSidString()});
  }
  return result;
}

RunTime::Acl aclOf(const std::vector<Line>& entries) {
  std::vector<RunTime::Ace> aces;
  for (const auto& [type, flags, mask, account] : entries) {
    RunTime::Ace ace;
    ace.init(type, flags, mask, sid(account.c_str()));
    aces.push_back(ace);
  }
  return RunTime::effectiveDacl(RunTime::Acl(), false, aces);
}

constexpr char16_t G[] = u"S-1-22-2-5001";
constexpr char16_t U[] = u"S-1-22-1-5002";
constexpr std::uint8_t A = RunTime::ACCESS_ALLOWED_ACE_TYPE;
constexpr std::uint8_t D = RunTime::ACCESS_DENIED_ACE_TYPE;
constexpr std::uint32_t FULL = 0x1F01FF;
constexpr std::uint32_t READ = 0x1200A9;

AccessEntry entry(const char16_t* account, std::uint32_t aceFlags, std::uint32_t mask, std::int32_t entryFlags) {
  return {sid(account), u"C:\\x", u"", aceFlags, mask, entryFlags, u"", u"", nullptr};
}

TEST(RequiredAcl, EntriesBecomeTheRequiredList) {
  // Name, entries, whether a directory, the existing list and its protection, the required
  // list and its protection.
  const std::tuple<const char*, std::vector<AccessEntry>, bool, std::vector<Line>, bool, std::vector<Line>, bool>
      cases[] = {
      {"allow on a file has none", {entry(G, 3, FULL, Default)}, false, {}, false, {{A, 0, FULL, G}}, false},
      {"generic rights are mapped", {entry(G, 3, 0x10000000, Default)}, true, {}, false, {{A, 3, FULL, G}}, false},
      {"other accounts' entries stay, denials first", {entry(G, 3, FULL, Default)}, true,
       {{A, 0, READ, U}, {D, 0, READ, u"S-1-22-1-5003"}}, false,
       {{D, 0, READ, u"S-1-22-1-5003"}, {A, 0, READ, U}, {A, 3, FULL, G}}, false},
      {"the account's own entries are replaced", {entry(G, 3, FULL, Default)}, true,
       {{A, 3, READ, G}, {D, 0, READ, G}}, false, {{A, 3, FULL, G}}, false},
      {"a marker removes the account", {entry(G, 0, 0, RemoveAccess)}, true,
       {{A, 3, FULL, G}, {A, 0, READ, U}}, false, {{A, 0, READ, U}}, false},
      {"a marker beside a grant keeps the grant", {entry(G, 0, 0, RemoveAccess), entry(G, 3, READ, Default)}, true,
       {{A, 3, FULL, G}}, false, {{A, 3, READ, G}}, false},
      {"deny and allow of one account", {entry(G, 3, FULL, Default), entry(G, 3, 0x2, Deny)}, true, {}, false,
       {{D, 3, 0x2, G}, {A, 3, FULL, G}}, false},
      {"an inherit-only entry gives a file nothing", {entry(G, 0xB, FULL, Default)}, false, {}, false, {}, false},
      {"ThisFileOnly gives a directory nothing", {entry(G, 3, FULL, ThisFileOnly)}, true, {}, false, {}, false},
      {"ThisFileOnly on a file", {entry(G, 3, FULL, ThisFileOnly)}, false, {}, false, {{A, 0, FULL, G}}, false},
      {"NoPropagate", {entry(G, 3, FULL, NoPropagate)}, true, {}, false, {{A, 7, FULL, G}}, false},
      {"NoPropagate without inheritance adds nothing", {entry(G, 0, FULL, NoPropagate)}, true, {},
       false, {{A, 0, FULL, G}}, false},
      {"the same entry twice gives one ACE", {entry(G, 3, FULL, Default), entry(G, 3, FULL, Default)}, true, {},
       false, {{A, 3, FULL, G}}, false},
      {"protection stays without a flag", {entry(G, 3, FULL, Default)}, true, {{A, 0, READ, U}}, true,
       {{A, 0, READ, U}, {A, 3, FULL, G}}, true},
      {"InheritFromParent unprotects", {entry(G, 3, FULL, InheritFromParent)}, true, {}, true, {{A, 3, FULL, G}}, false},
  };
  for (const auto& [name, entries, directory, existingLines, existingProtected, requiredLines, requiredProtected] :
       cases) {
    std::vector<const AccessEntry*> pointers;
    for (const AccessEntry& e : entries) pointers.push_back(&e);
    ExistingAcl existing{existingLines.empty() && !existingProtected ? RunTime::Acl::none() : aclOf(existingLines),
                         existingProtected};
    RequiredAcl required = requiredAcl(pointers, directory, existing);
    EXPECT_EQ(lines(required.explicitDacl), requiredLines) << name;
    EXPECT_EQ(required.daclProtected, requiredProtected) << name;
    EXPECT_FALSE(required.breaksInheritance) << name;
    EXPECT_TRUE(matches(ExistingAcl{aclOf(requiredLines), requiredProtected}, required)) << name;
    EXPECT_EQ(matches(existing, required), existingLines == requiredLines && existingProtected == requiredProtected)
        << name;
  }
}

TEST(RequiredAcl, BreakingInheritanceKeepsWhatWasInherited) {
  const AccessEntry breaking = entry(G, 3, FULL, BreakInheritance);
  ExistingAcl existing{RunTime::Acl::none(), false};
  // What the object inherited until now: the account's own entry is replaced, the others kept.
  constexpr std::uint8_t inherited = RunTime::INHERITED_ACE;
  RequiredAcl required = requiredAcl({&breaking}, true, existing, aclOf({{A, inherited | 3, READ, U}, {A, inherited, READ, G}}));
  ASSERT_TRUE(required.breaksInheritance);
  EXPECT_TRUE(required.daclProtected);
  EXPECT_EQ(lines(required.explicitDacl), (std::vector<Line>{{A, 3, READ, U}, {A, 3, FULL, G}}));
  EXPECT_FALSE(matches(ExistingAcl{required.explicitDacl, false}, required));
}

} // namespace
