#include "runtime/security/model/acl.h"
#include "os/error.h"

#include <algorithm>

#include "runtime/security/model/bytes.h"
#include "runtime/security/model/failure.h"

namespace RunTime {
namespace {

constexpr std::size_t kHeaderSize = 8;
constexpr std::uint32_t kMaxSize = 0xFFFC; // the largest DWORD-aligned size the header holds

int groupOf(std::uint8_t type, std::uint8_t flags) {
  static constexpr std::uint8_t kOrder[] = {ACCESS_DENIED_ACE_TYPE, ACCESS_DENIED_OBJECT_ACE_TYPE,
                                            ACCESS_ALLOWED_ACE_TYPE,
                                            ACCESS_ALLOWED_OBJECT_ACE_TYPE};
  const std::uint8_t* found = std::find(std::begin(kOrder), std::end(kOrder), type);
  if (found == std::end(kOrder)) return -1;
  return static_cast<int>(found - std::begin(kOrder)) + ((flags & INHERITED_ACE) ? 4 : 0);
}

std::vector<std::uint8_t> initialized(std::uint32_t size, std::uint8_t revision) {
  if (size < kHeaderSize || size > kMaxSize || size % 4 != 0)
    raiseOsFailure(u"Unable to initialize ACL", os::err::invalidParameter, VCONTEXT("RunTime::Acl::clear"));
  std::vector<std::uint8_t> acl(size, 0);
  acl[0] = revision;
  bytes::store16(&acl[2], static_cast<std::uint16_t>(size));
  return acl;
}

// True when the entry bytes hold what their type needs: for the known layouts, a whole SID.
bool validAce(std::span<const std::uint8_t> ace) {
  std::uint8_t type = ace[0];
  if (type == ACCESS_ALLOWED_COMPOUND_ACE_TYPE || type > SYSTEM_ALARM_OBJECT_ACE_TYPE) return true;
  std::uint32_t offset = Ace::getSidOffset(type);
  return ace.size() > offset && validSidLength(ace.subspan(offset)) != 0;
}

} // namespace

std::uint32_t validAclSize(std::span<const std::uint8_t> data) {
  if (data.size() < kHeaderSize || data[0] < ACL_REVISION || data[0] > ACL_REVISION_DS) return 0;
  std::uint32_t size = bytes::load16(&data[2]);
  if (size < kHeaderSize || size > data.size() || size % 4 != 0) return 0;
  std::size_t offset = kHeaderSize;
  for (std::uint16_t i = 0, count = bytes::load16(&data[4]); i < count; ++i) {
    if (offset + 4 > size) return 0;
    std::uint16_t aceSize = bytes::load16(&data[offset + 2]);
    if (aceSize < 4 || aceSize % 4 != 0 || offset + aceSize > size) return 0;
    if (!validAce(data.subspan(offset, aceSize))) return 0;
    offset += aceSize;
  }
  return size;
}

int canonicalGroup(const Ace& entry) { return groupOf(entry.type(), entry.flags()); }

Acl::Acl() : acl_(initialized(kNewSize, ACL_REVISION)) {}

Acl Acl::none() {
  Acl acl;
  acl.acl_.clear();
  return acl;
}

std::uint8_t Acl::revision() const { return hasBuffer() ? acl_[0] : 0; }

std::uint32_t Acl::totalSize() const { return hasBuffer() ? bytes::load16(&acl_[2]) : 0; }

std::uint32_t Acl::bytesInUse() const {
  return hasBuffer() ? static_cast<std::uint32_t>(aceOffset(aceCount())) : 0;
}

void Acl::clear() { acl_ = initialized(kNewSize, ACL_REVISION); }

std::uint32_t Acl::aceCount() const {
  if (!hasBuffer())
    raiseOsFailure(u"Unable to get ACL size", os::err::invalidParameter,
                   VCONTEXT("RunTime::Acl::aceCount"));
  return bytes::load16(&acl_[4]);
}

void Acl::setAceCount(std::uint16_t count) { bytes::store16(&acl_[4], count); }

std::size_t Acl::aceOffset(std::uint32_t index) const {
  std::size_t offset = kHeaderSize;
  for (std::uint32_t i = 0; i < index; ++i) offset += bytes::load16(&acl_[offset + 2]);
  return offset;
}

std::span<const std::uint8_t> Acl::aceBytes(std::uint32_t index) const {
  std::size_t offset = aceOffset(index);
  return std::span(acl_).subspan(offset, bytes::load16(&acl_[offset + 2]));
}

Ace Acl::getAce(std::uint32_t index) const {
  if (index >= aceCount())
    raiseOsFailure(u"Unable to get ACL ACE (" + decimal(index) + u")", os::err::invalidParameter,
                   VCONTEXT("RunTime::Acl::getAce"));
  return Ace(aceBytes(index));
}

std::uint32_t Acl::calculateSize(const Acl* otherAcl, std::span<const Ace> entries) const {
  std::uint32_t size = bytesInUse() + (otherAcl ? otherAcl->bytesInUse() : 0) + 8;
  for (const Ace& entry : entries) size += entry.size();
  return size;
}

void Acl::expand(const Acl* otherAcl, std::span<const Ace> entries) {
  std::uint32_t needed = calculateSize(otherAcl, entries);
  if (needed <= totalSize()) return;
  std::uint32_t size = std::max(needed, std::min(2 * needed, kMaxSize));
  std::vector<std::uint8_t> acl = initialized(size, hasBuffer() ? revision() : ACL_REVISION);
  if (hasBuffer()) {
    std::copy(acl_.begin() + 4, acl_.begin() + bytesInUse(), acl.begin() + 4);
  }
  acl_ = std::move(acl);
}

void Acl::copy(std::span<const std::uint8_t> platformAcl) {
  std::uint32_t size = validAclSize(platformAcl);
  if (size == 0) raiseOsFailure(u"Unable to copy ACL", os::err::invalidAcl, VCONTEXT("RunTime::Acl::copy"));
  acl_.assign(platformAcl.begin(), platformAcl.begin() + size);
}

void Acl::insertAce(std::uint32_t index, const Ace& entry) {
  auto fail = [](std::uint32_t code) {
    raiseOsFailure(u"Unable to add ACE to ACL", code, VCONTEXT("RunTime::Acl::add"));
  };
  if (!hasBuffer() || entry.empty() || index > aceCount()) fail(os::err::invalidParameter);
  std::uint32_t inUse = bytesInUse();
  if (inUse + entry.size() > totalSize()) fail(os::err::allottedSpaceExceeded);
  std::size_t offset = aceOffset(index);
  std::copy_backward(acl_.begin() + offset, acl_.begin() + inUse,
                     acl_.begin() + inUse + entry.size());
  std::copy(entry.data().begin(), entry.data().end(), acl_.begin() + offset);
  setAceCount(static_cast<std::uint16_t>(aceCount() + 1));
  if (entry.type() >= ACCESS_ALLOWED_OBJECT_ACE_TYPE) acl_[0] = ACL_REVISION_DS;
}

void Acl::add(const Acl& acl) {
  if (!acl.hasBuffer()) return;
  const Acl source = acl; // the other ACL may be this one
  expand(&source, {});
  for (std::uint32_t i = 0, count = source.aceCount(); i < count; ++i) {
    Ace entry = source.getAce(i);
    insertAce(getInsertionIndex(entry), entry);
  }
}

void Acl::add(std::span<const Ace> entries) {
  expand(nullptr, entries);
  for (const Ace& entry : entries)
    if (findAce(entry) == npos) insertAce(getInsertionIndex(entry), entry);
}

std::uint32_t Acl::getInsertionIndex(const Ace& entry) const {
  int group = canonicalGroup(entry);
  if (group < 0)
    raiseOsFailure(u"Invalid ACE type", os::err::invalidParameter,
                   VCONTEXT("RunTime::Acl::getInsertionIndex"));
  std::uint32_t count = aceCount();
  for (std::uint32_t i = 0; i < count; ++i) {
    std::span<const std::uint8_t> ace = aceBytes(i);
    int existing = groupOf(ace[0], ace[1]);
    if (existing < 0)
      raiseOsFailure(u"Unsupported ACE type in ACL", os::err::invalidParameter,
                     VCONTEXT("RunTime::Acl::getInsertionIndex"));
    if (existing >= group) return i;
  }
  return count;
}

std::uint32_t Acl::findAce(const Ace& entry, std::uint32_t start) const {
  for (std::uint32_t i = start, count = aceCount(); i < count; ++i)
    if (Ace(aceBytes(i)) == entry) return i;
  return npos;
}

void Acl::deleteAce(std::uint32_t index) {
  if (index >= aceCount())
    raiseOsFailure(u"Unable to delete ACL ACE (" + decimal(index) + u")", os::err::invalidParameter,
                   VCONTEXT("RunTime::Acl::deleteAce"));
  std::uint32_t inUse = bytesInUse();
  std::size_t offset = aceOffset(index);
  std::size_t size = bytes::load16(&acl_[offset + 2]);
  std::copy(acl_.begin() + offset + size, acl_.begin() + inUse, acl_.begin() + offset);
  std::fill(acl_.begin() + inUse - size, acl_.begin() + inUse, 0);
  setAceCount(static_cast<std::uint16_t>(aceCount() - 1));
}

} // namespace RunTime
