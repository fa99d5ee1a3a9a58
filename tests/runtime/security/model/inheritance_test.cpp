#include "runtime/security/model/inheritance.h"

#include <gtest/gtest.h>

#include "tests/runtime/security/model/security_testing.h"

using namespace security_testing;
using namespace RunTime;

namespace {

constexpr std::uint8_t OI = OBJECT_INHERIT_ACE;
constexpr std::uint8_t CI = CONTAINER_INHERIT_ACE;
constexpr std::uint8_t NP = NO_PROPAGATE_INHERIT_ACE;
constexpr std::uint8_t IO = INHERIT_ONLY_ACE;
constexpr std::uint8_t INH = INHERITED_ACE;

using Entries = std::vector<std::string>;

Entries received(const Ace& parentEntry, bool directory) {
  Acl parent;
  parent.add(std::span(&parentEntry, 1));
  InheritingObject child{directory, sid("S-1-22-1-1000"), sid("S-1-22-2-1000")};
  Entries out;
  for (const Ace& entry : inheritedAces(parent, child)) out.push_back(describe(entry));
  return out;
}

// OI|CI and OI entries reach files and directories in access_test.cpp.
TEST(Inheritance, WhatFilesAndDirectoriesReceive) {
  // The parent's entry, and what a file and a directory receive of it.
  const char* w = "S-1-22-2-7";
  const std::tuple<Ace, Entries, Entries> cases[] = {
      {ace(0, 0, 0x1F01FF, w), {}, {}},
      {ace(0, CI, 0x1F01FF, w), {}, {"0/12/1f01ff/S-1-22-2-7"}},
      {ace(0, OI | NP, 0x1F01FF, w), {"0/10/1f01ff/S-1-22-2-7"}, {}},
      {ace(0, CI | NP, 0x1F01FF, w), {}, {"0/10/1f01ff/S-1-22-2-7"}},
      {ace(1, OI | CI | IO, 0x1F01FF, w), {"1/10/1f01ff/S-1-22-2-7"}, {"1/13/1f01ff/S-1-22-2-7"}},
      {ace(0, OI | CI | INH, 0x1200A9, w), {"0/10/1200a9/S-1-22-2-7"}, {"0/13/1200a9/S-1-22-2-7"}},
      // Generic rights take effect mapped; a directory also passes the original on.
      {ace(0, OI | CI, GENERIC_ALL, w), {"0/10/1f01ff/S-1-22-2-7"},
       {"0/10/1f01ff/S-1-22-2-7", "0/1b/10000000/S-1-22-2-7"}},
      {ace(0, OI | CI | NP, GENERIC_READ | GENERIC_EXECUTE, w), {"0/10/1200a9/S-1-22-2-7"},
       {"0/10/1200a9/S-1-22-2-7"}},
      // Creator SIDs take effect as the child's owner and group.
      {ace(0, OI | CI | IO, 0x1F01FF, "S-1-3-0"), {"0/10/1f01ff/S-1-22-1-1000"},
       {"0/10/1f01ff/S-1-22-1-1000", "0/1b/1f01ff/S-1-3-0"}},
      {ace(0, CI | NP | IO, 0x1200A9, "S-1-3-1"), {}, {"0/10/1200a9/S-1-22-2-1000"}},
  };
  for (const auto& [parent, file, directory] : cases) {
    EXPECT_EQ(received(parent, false), file) << describe(parent);
    EXPECT_EQ(received(parent, true), directory) << describe(parent);
  }
  EXPECT_TRUE(inheritedAces(Acl::none(), InheritingObject{true, {}, {}}).empty());
}

TEST(Inheritance, EffectiveDaclOrdersExplicitThenInherited) {
  const Acl stored = dacl({ace(0, OI | CI, 1, "S-1-22-1-1"), ace(1, 0, 2, "S-1-22-1-2"),
                          ace(0, INH, 3, "S-1-22-1-3")}); // a stale inherited entry is dropped
  const std::vector<Ace> inherited = {ace(0, INH, 4, "S-1-22-1-4"), ace(1, INH, 5, "S-1-22-1-5"),
                                      ace(0, INH | OI, 6, "S-1-22-1-6")};
  EXPECT_EQ(entriesOf(effectiveDacl(stored, false, inherited)),
            (Entries{"1/0/2/S-1-22-1-2", "0/3/1/S-1-22-1-1", "1/10/5/S-1-22-1-5",
                     "0/10/4/S-1-22-1-4", "0/11/6/S-1-22-1-6"}));
  EXPECT_EQ(entriesOf(effectiveDacl(stored, true, inherited)),
            (Entries{"1/0/2/S-1-22-1-2", "0/3/1/S-1-22-1-1"}));
  EXPECT_FALSE(effectiveDacl(Acl::none(), false, inherited).hasBuffer());

  const Ace audit = ace(SYSTEM_AUDIT_ACE_TYPE, INH, 1, "S-1-1-0");
  expectFailures({{[&] { effectiveDacl(Acl(), false, std::span(&audit, 1)); }, 87, "Unsupported ACE type in ACL"}});
}

} // namespace
