#include "runtime/security/model/ace.h"
#include "os/error.h"

#include <algorithm>

#include "runtime/security/model/bytes.h"
#include "runtime/security/model/failure.h"

namespace RunTime {
namespace {

constexpr std::uint32_t kBasicSidOffset = 8;
constexpr std::uint32_t kObjectSidOffset = 44;
constexpr std::size_t kObjectFlagsOffset = 8;
constexpr std::size_t kObjectTypeOffset = 12;
constexpr std::size_t kInheritedObjectTypeOffset = 28;

} // namespace

std::uint32_t Ace::getSidOffset(std::uint8_t type) {
  if (type <= SYSTEM_ALARM_ACE_TYPE) return kBasicSidOffset;
  if (type >= ACCESS_ALLOWED_OBJECT_ACE_TYPE && type <= SYSTEM_ALARM_OBJECT_ACE_TYPE)
    return kObjectSidOffset;
  raiseFailure(u"Unsupported ACE type (" + decimal(type) + u")",
               VCONTEXT("RunTime::Ace::getSidOffset"));
}

void Ace::build(std::uint8_t type, std::uint8_t flags, std::uint32_t mask, std::uint32_t sidOffset,
                const Sid& sid) {
  if (sid.empty())
    raiseOsFailure(u"Unable to copy sid", os::err::invalidSid, VCONTEXT("RunTime::Ace::init"));
  std::vector<std::uint8_t> ace(sidOffset + sid.length(), 0);
  ace[0] = type;
  ace[1] = flags;
  bytes::store16(&ace[2], static_cast<std::uint16_t>(ace.size()));
  bytes::store32(&ace[4], mask);
  std::copy(sid.data().begin(), sid.data().end(), ace.begin() + sidOffset);
  ace_ = std::move(ace);
}

void Ace::init(std::uint8_t type, std::uint8_t flags, std::uint32_t mask, const Sid& sid) {
  build(type, flags, mask, getSidOffset(type), sid);
}

void Ace::init(std::uint8_t type, std::uint8_t flags, std::uint32_t mask, std::uint32_t objectFlags,
               const Guid& objectType, const Guid& inheritedObjectType, const Sid& sid) {
  if (getSidOffset(type) != kObjectSidOffset)
    raiseFailure(u"Not object type ACE", VCONTEXT("RunTime::Ace::init"));
  build(type, flags, mask, kObjectSidOffset, sid);
  bytes::store32(&ace_[kObjectFlagsOffset], objectFlags);
  std::copy(objectType.begin(), objectType.end(), ace_.begin() + kObjectTypeOffset);
  std::copy(inheritedObjectType.begin(), inheritedObjectType.end(),
            ace_.begin() + kInheritedObjectTypeOffset);
}

std::uint16_t Ace::size() const { return bytes::load16(&ace_.at(2)); }

std::uint32_t Ace::mask() const { return bytes::load32(&ace_.at(4)); }

void Ace::setMask(std::uint32_t mask) { bytes::store32(&ace_.at(4), mask); }

Sid Ace::sid() const {
  Sid sid;
  sid.loadFromSidData(std::span(ace_).subspan(std::min<std::size_t>(getSidOffset(), ace_.size())));
  return sid;
}

void Ace::requireObjectType(const char* function) const {
  if (type() < ACCESS_ALLOWED_OBJECT_ACE_TYPE || type() > SYSTEM_ALARM_OBJECT_ACE_TYPE)
    raiseFailure(u"Not X_X_OBJECT_ACE_TYPE",
                 ExceptionContext(std::u16string(), function, __LINE__));
}

Guid Ace::guidAt(std::size_t offset, const char* function) const {
  requireObjectType(function);
  Guid guid;
  std::copy_n(ace_.begin() + offset, guid.size(), guid.begin());
  return guid;
}

std::uint32_t Ace::getAceHeaderObjectFlags() const {
  requireObjectType("RunTime::Ace::getAceHeaderObjectFlags");
  return bytes::load32(&ace_[kObjectFlagsOffset]);
}

Guid Ace::getAceHeaderObjectType() const {
  return guidAt(kObjectTypeOffset, "RunTime::Ace::getAceHeaderObjectType");
}

Guid Ace::getAceHeaderInheritedObjectType() const {
  return guidAt(kInheritedObjectTypeOffset, "RunTime::Ace::getAceHeaderInheritedObjectType");
}

bool Ace::operator==(const Ace& other) const {
  if (empty() || other.empty()) return empty() && other.empty();
  if (type() != other.type()) return false;
  std::uint32_t offset = getSidOffset();
  if (ace_.size() < offset || other.ace_.size() < offset ||
      !std::equal(ace_.begin(), ace_.begin() + offset, other.ace_.begin()))
    return false;
  return sid() == other.sid();
}

} // namespace RunTime
