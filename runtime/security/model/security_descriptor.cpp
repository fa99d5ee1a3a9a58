#include "runtime/security/model/security_descriptor.h"
#include "os/error.h"

#include <algorithm>
#include <optional>

#include "runtime/security/model/bytes.h"
#include "runtime/security/model/failure.h"

namespace RunTime {
namespace {

constexpr std::size_t kHeaderSize = 20;
constexpr std::size_t kOwnerField = 4;
constexpr std::size_t kGroupField = 8;
constexpr std::size_t kDaclField = 16;

// Appends `part` and records its offset in the header field; nothing for an empty part.
void append(std::vector<std::uint8_t>& out, std::size_t field, std::span<const std::uint8_t> part) {
  if (part.empty()) return;
  bytes::store32(&out[field], static_cast<std::uint32_t>(out.size()));
  out.insert(out.end(), part.begin(), part.end());
}

// The part that a header field points at, sized by `validLength`; nullopt when malformed,
// an empty span when the offset is 0.
template <class Validate>
std::optional<std::span<const std::uint8_t>> partAt(std::span<const std::uint8_t> data,
                                                    std::size_t field, Validate validLength) {
  std::uint32_t offset = bytes::load32(&data[field]);
  if (offset == 0) return std::span<const std::uint8_t>();
  if (offset < kHeaderSize || offset >= data.size()) return std::nullopt;
  std::uint32_t length = validLength(data.subspan(offset));
  if (length == 0) return std::nullopt;
  return data.subspan(offset, length);
}

} // namespace

SecurityDescriptor::SecurityDescriptor(Sid owner, Sid group, Acl dacl, bool daclProtected)
    : owner_(std::move(owner)), group_(std::move(group)), dacl_(std::move(dacl)),
      daclProtected_(daclProtected) {}

std::uint16_t SecurityDescriptor::control() const {
  std::uint16_t control = SE_SELF_RELATIVE;
  if (dacl_.hasBuffer()) control |= SE_DACL_PRESENT;
  if (daclProtected_) control |= SE_DACL_PROTECTED;
  return control;
}

std::vector<std::uint8_t> SecurityDescriptor::toSelfRelative() const {
  std::vector<std::uint8_t> out(kHeaderSize, 0);
  out[0] = 1;
  bytes::store16(&out[2], control());
  append(out, kOwnerField, owner_.data());
  append(out, kGroupField, group_.data());
  if (dacl_.hasBuffer()) {
    std::vector<std::uint8_t> acl(dacl_.data().begin(), dacl_.data().begin() + dacl_.bytesInUse());
    bytes::store16(&acl[2], static_cast<std::uint16_t>(acl.size()));
    append(out, kDaclField, acl);
  }
  return out;
}

SecurityDescriptor SecurityDescriptor::fromSelfRelative(std::span<const std::uint8_t> data) {
  auto fail = [] {
    raiseOsFailure(u"Unable to read the self-relative security descriptor",
                   os::err::invalidSecurityDescriptor,
                   VCONTEXT("RunTime::SecurityDescriptor::fromSelfRelative"));
  };
  if (data.size() < kHeaderSize || data[0] != 1) fail();
  std::uint16_t control = bytes::load16(&data[2]);
  if (!(control & SE_SELF_RELATIVE)) fail();
  auto owner = partAt(data, kOwnerField, validSidLength);
  auto group = partAt(data, kGroupField, validSidLength);
  auto dacl = partAt(data, kDaclField, validAclSize);
  if (!owner || !group || !dacl) fail();
  Sid ownerSid, groupSid;
  if (!owner->empty()) ownerSid.loadFromSidData(*owner);
  if (!group->empty()) groupSid.loadFromSidData(*group);
  Acl acl = Acl::none();
  if ((control & SE_DACL_PRESENT) && !dacl->empty()) acl.copy(*dacl);
  return SecurityDescriptor(std::move(ownerSid), std::move(groupSid), std::move(acl),
                            (control & SE_DACL_PROTECTED) != 0);
}

} // namespace RunTime
