#include "runtime/security/model/security_descriptor.h"

#include <gtest/gtest.h>

#include "tests/runtime/security/model/security_testing.h"

using namespace security_testing;
using namespace RunTime;

namespace {

TEST(SecurityDescriptor, SelfRelativeLayout) {
  Acl dacl;
  Ace entry = ace(ACCESS_ALLOWED_ACE_TYPE, 0, 0x1F01FF, "S-1-1-0");
  dacl.add(std::span(&entry, 1));
  SecurityDescriptor descriptor(VSID::system(), VSID::admins(), dacl, true);

  const std::vector<std::uint8_t> expected = {
      1, 0, 0x04, 0x90,                               // revision 1; self-relative, protected, DACL
      20, 0, 0, 0, 32, 0, 0, 0, 0, 0, 0, 0, 48, 0, 0, 0, // owner, group, no SACL, DACL
      1, 1, 0, 0, 0, 0, 0, 5, 18, 0, 0, 0,            // S-1-5-18
      1, 2, 0, 0, 0, 0, 0, 5, 32, 0, 0, 0, 0x20, 0x02, 0, 0, // S-1-5-32-544
      2, 0, 28, 0, 1, 0, 0, 0,                        // the DACL without its free space
      0, 0, 20, 0, 0xFF, 0x01, 0x1F, 0, 1, 1, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0};
  EXPECT_EQ(descriptor.toSelfRelative(), expected);

  // Read back, it writes the same bytes: owner, group, protection and DACL all survive.
  EXPECT_EQ(SecurityDescriptor::fromSelfRelative(expected).toSelfRelative(), expected);
}

TEST(SecurityDescriptor, OptionalParts) {
  SecurityDescriptor bare(Sid(), Sid(), Acl::none());
  const std::vector<std::uint8_t> header = {1, 0, 0, 0x80, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
  EXPECT_EQ(bare.toSelfRelative(), header);

  // An empty DACL is present (it grants nothing); a missing one is not.
  SecurityDescriptor empty(Sid(), VSID::everyone(), Acl());
  SecurityDescriptor read = SecurityDescriptor::fromSelfRelative(empty.toSelfRelative());
  EXPECT_EQ(read.control(), SE_SELF_RELATIVE | SE_DACL_PRESENT);
  EXPECT_EQ(read.dacl().aceCount(), 0u); // a missing DACL has no count: it throws
  EXPECT_TRUE(read.owner().empty());
  EXPECT_EQ(read.group(), VSID::everyone());
  EXPECT_FALSE(SecurityDescriptor::fromSelfRelative(header).dacl().hasBuffer());
}

TEST(SecurityDescriptor, MalformedBytesAreRefused) {
  const std::vector<std::uint8_t> good =
      SecurityDescriptor(VSID::system(), Sid(), Acl()).toSelfRelative();
  auto changed = [&](std::size_t at, std::uint8_t value) {
    std::vector<std::uint8_t> bytes = good;
    bytes[at] = value;
    return bytes;
  };
  std::vector<FailureCase> cases;
  for (const std::vector<std::uint8_t>& bytes : {
           std::vector<std::uint8_t>{},
           std::vector<std::uint8_t>(good.begin(), good.begin() + 19),
           changed(0, 2),    // revision
           changed(3, 0x00), // not self-relative
           changed(4, 200),  // owner offset past the end
           changed(4, 8),    // owner offset inside the header
           changed(21, 9),   // owner with more sub-authorities than bytes
           changed(32, 5),   // DACL revision
           std::vector<std::uint8_t>(good.begin(), good.end() - 1),
       })
    cases.push_back({[bytes] { SecurityDescriptor::fromSelfRelative(bytes); }, 1338,
                     "Unable to read the self-relative security descriptor"});
  expectFailures(cases);
}

} // namespace
