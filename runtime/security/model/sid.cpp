#include "runtime/security/model/sid.h"
#include "os/error.h"

#include <algorithm>
#include <array>
#include <optional>

#include "runtime/security/model/bytes.h"
#include "runtime/security/model/failure.h"

namespace RunTime {
namespace {

constexpr std::uint8_t kMaxAllocatedSubAuthorities = 8;
constexpr std::uint64_t kMaxAuthority = 0xFFFFFFFFFFFFull;

std::vector<std::uint8_t> encodeSid(std::uint64_t authority,
                                    std::span<const std::uint32_t> subAuthorities) {
  std::vector<std::uint8_t> sid(8 + 4 * subAuthorities.size());
  sid[0] = 1;
  sid[1] = static_cast<std::uint8_t>(subAuthorities.size());
  for (int i = 0; i < 6; ++i) sid[2 + i] = static_cast<std::uint8_t>(authority >> (8 * (5 - i)));
  for (std::size_t i = 0; i < subAuthorities.size(); ++i)
    bytes::store32(&sid[8 + 4 * i], subAuthorities[i]);
  return sid;
}

// The platform's SID allocation: an authority and up to eight sub-authorities.
std::vector<std::uint8_t> allocateAndInitialize(std::uint64_t authority, std::uint8_t count,
                                                const std::array<std::uint32_t, 8>& subs,
                                                const char16_t* where, const char* function) {
  if (count > kMaxAllocatedSubAuthorities || authority > kMaxAuthority)
    raiseOsFailure(where, os::err::invalidSid,
                   ExceptionContext(std::u16string(), function, __LINE__));
  return encodeSid(authority, std::span(subs.data(), count));
}

// An unsigned number of the string form: decimal, or hexadecimal after "0x" when allowed.
std::optional<std::uint64_t> parseNumber(std::u16string_view text, bool allowHex,
                                         std::uint64_t max) {
  unsigned base = 10;
  if (allowHex && text.size() > 2 && text[0] == u'0' && (text[1] == u'x' || text[1] == u'X')) {
    base = 16;
    text.remove_prefix(2);
  }
  if (text.empty()) return std::nullopt;
  std::uint64_t value = 0;
  for (char16_t c : text) {
    unsigned digit;
    if (c >= u'0' && c <= u'9')
      digit = c - u'0';
    else if (base == 16 && c >= u'a' && c <= u'f')
      digit = c - u'a' + 10;
    else if (base == 16 && c >= u'A' && c <= u'F')
      digit = c - u'A' + 10;
    else
      return std::nullopt;
    value = value * base + digit;
    if (value > max) return std::nullopt;
  }
  return value;
}

// The binary SID of a string form, or nothing when the text is not one.
std::optional<std::vector<std::uint8_t>> parseSidString(std::u16string_view text) {
  std::vector<std::u16string_view> parts;
  for (std::size_t start = 0;;) {
    std::size_t dash = text.find(u'-', start);
    parts.push_back(text.substr(start, dash == std::u16string_view::npos ? dash : dash - start));
    if (dash == std::u16string_view::npos) break;
    start = dash + 1;
  }
  if (parts.size() < 3 || parts.size() > 3u + SID_MAX_SUB_AUTHORITIES) return std::nullopt;
  if ((parts[0] != u"S" && parts[0] != u"s") || parts[1] != u"1") return std::nullopt;
  std::optional<std::uint64_t> authority = parseNumber(parts[2], true, kMaxAuthority);
  if (!authority) return std::nullopt;
  std::vector<std::uint32_t> subs;
  for (std::size_t i = 3; i < parts.size(); ++i) {
    std::optional<std::uint64_t> sub = parseNumber(parts[i], false, 0xFFFFFFFFu);
    if (!sub) return std::nullopt;
    subs.push_back(static_cast<std::uint32_t>(*sub));
  }
  return encodeSid(*authority, subs);
}

} // namespace

std::uint32_t validSidLength(std::span<const std::uint8_t> data) {
  if (data.size() < 8 || data[0] != 1 || data[1] > SID_MAX_SUB_AUTHORITIES) return 0;
  std::uint32_t length = 8 + 4u * data[1];
  return data.size() >= length ? length : 0;
}

Sid::Sid(std::uint64_t authority, std::uint8_t count, std::uint32_t s0, std::uint32_t s1,
         std::uint32_t s2, std::uint32_t s3, std::uint32_t s4, std::uint32_t s5, std::uint32_t s6,
         std::uint32_t s7)
    : sid_(allocateAndInitialize(authority, count, {s0, s1, s2, s3, s4, s5, s6, s7},
                                 u"Unable to allocate and initialize sid", "RunTime::Sid::Sid")) {}

std::uint64_t Sid::authority() const {
  std::uint64_t value = 0;
  for (int i = 0; i < 6 && !sid_.empty(); ++i) value = (value << 8) | sid_[2 + i];
  return value;
}

std::uint8_t Sid::subAuthorityCount() const { return sid_.empty() ? 0 : sid_[1]; }

std::uint32_t Sid::subAuthority(std::uint8_t index) const {
  return bytes::load32(&sid_.at(8 + 4u * index));
}

void Sid::setSid(std::vector<std::uint8_t> sid) {
  sid_ = std::move(sid);
  name_.clear();
  domain_.clear();
  kind_ = SidTypeUnknown;
}

void Sid::setAccount(std::u16string name, std::u16string domain, std::uint32_t kind) {
  name_ = std::move(name);
  domain_ = std::move(domain);
  kind_ = kind;
}

void Sid::loadFromSidData(std::span<const std::uint8_t> data) {
  std::uint32_t length = validSidLength(data);
  if (length == 0)
    raiseOsFailure(u"Unable to allocate memory for SID", os::err::invalidSid,
                   VCONTEXT("RunTime::Sid::loadFromSidData"));
  setSid(std::vector<std::uint8_t>(data.begin(), data.begin() + length));
}

void Sid::loadFromSidString(std::u16string_view text) {
  std::optional<std::vector<std::uint8_t>> sid = parseSidString(text);
  if (!sid)
    raiseOsFailure(u"Unable to convert a string to SID", os::err::invalidSid,
                   VCONTEXT("RunTime::Sid::loadFromSidString"));
  setSid(std::move(*sid));
}

std::u16string Sid::toSidString() const {
  if (sid_.empty())
    raiseOsFailure(u"Unable to convert a SID to it's string form", os::err::invalidSid,
                   VCONTEXT("RunTime::Sid::toSidString"));
  std::u16string text = u"S-1-";
  std::uint64_t auth = authority();
  if (auth <= 0xFFFFFFFFu) {
    text += decimal(auth);
  } else {
    static const char kHex[] = "0123456789ABCDEF";
    text += u"0x";
    for (int shift = 44; shift >= 0; shift -= 4)
      text += static_cast<char16_t>(kHex[(auth >> shift) & 0xF]);
  }
  for (std::uint8_t i = 0; i < subAuthorityCount(); ++i)
    text += u"-" + decimal(subAuthority(i));
  return text;
}

bool Sid::operator<(const Sid& other) const {
  if (sid_.empty() || other.sid_.empty())
    raiseFailure(u"Invalid sid(s)", VCONTEXT("RunTime::Sid::operator <"));
  if (sid_.size() != other.sid_.size()) return sid_.size() < other.sid_.size();
  return std::lexicographical_compare(sid_.begin(), sid_.end(), other.sid_.begin(),
                                      other.sid_.end());
}

} // namespace RunTime

namespace {

RunTime::Sid wellKnown(std::uint64_t authority, std::uint8_t count,
                       const std::array<std::uint32_t, 8>& subs, const char* function) {
  RunTime::Sid sid;
  sid.loadFromSidData(RunTime::allocateAndInitialize(authority, count, subs,
                                                     u"AllocateAndInitializeSid", function));
  return sid;
}

} // namespace

RunTime::Sid VSID::admins() { return wellKnown(5, 2, {32, 544}, "VSID::admins"); }
RunTime::Sid VSID::everyone() { return wellKnown(1, 1, {0}, "VSID::everyone"); }
RunTime::Sid VSID::system() { return wellKnown(5, 1, {18}, "VSID::system"); }
