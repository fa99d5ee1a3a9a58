// Security identifiers: the account record RunTime::Sid and the well-known identifiers of VSID.
// Looking accounts up in the host's database is runtime/security's (runtime/security/accounts.h).
//
// A SID is kept in its binary layout: revision 1, the number of sub-authorities, the 48-bit
// identifier authority (big-endian) and each 32-bit sub-authority (little-endian); 8 + 4 * count
// bytes, at most 15 sub-authorities.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace RunTime {

// The kind of account a lookup reports (the platform's SID name use).
enum SidNameUse : std::uint32_t {
  SidTypeUser = 1,
  SidTypeGroup = 2,
  SidTypeDomain = 3,
  SidTypeAlias = 4,
  SidTypeWellKnownGroup = 5,
  SidTypeDeletedAccount = 6,
  SidTypeInvalid = 7,
  SidTypeUnknown = 8,
};

inline constexpr std::uint8_t SID_MAX_SUB_AUTHORITIES = 15;
// The Win32 code of a malformed or missing SID.

class Sid {
public:
  // No SID; name and domain empty, kind unknown.
  Sid() = default;
  // A SID of an identifier authority and `count` sub-authorities taken in order from s0 to s7.
  // Throws the OS error "Unable to allocate and initialize sid" when count exceeds eight.
  Sid(std::uint64_t authority, std::uint8_t count, std::uint32_t s0 = 0, std::uint32_t s1 = 0,
      std::uint32_t s2 = 0, std::uint32_t s3 = 0, std::uint32_t s4 = 0, std::uint32_t s5 = 0,
      std::uint32_t s6 = 0, std::uint32_t s7 = 0);

  bool empty() const { return sid_.empty(); }
  // The SID bytes (empty when there is no SID).
  std::span<const std::uint8_t> data() const { return sid_; }
  std::uint32_t length() const { return static_cast<std::uint32_t>(sid_.size()); }
  std::uint64_t authority() const;
  std::uint8_t subAuthorityCount() const;
  // The sub-authority at an index below subAuthorityCount().
  std::uint32_t subAuthority(std::uint8_t index) const;

  const std::u16string& name() const { return name_; }
  const std::u16string& domain() const { return domain_; }
  std::uint32_t kind() const { return kind_; }
  // Records what a lookup found out about the account.
  void setAccount(std::u16string name, std::u16string domain, std::uint32_t kind);

  // Each loader replaces the SID and resets name, domain and kind; on failure the object is
  // unchanged.
  // Raw SID bytes; the buffer may be longer than the SID. Throws the OS error "Unable to
  // allocate memory for SID" when the bytes are not a valid SID.
  void loadFromSidData(std::span<const std::uint8_t> data);
  // "S-1-<authority>-<sub-authority>..." (authority in decimal, or "0x" and hexadecimal).
  // Throws the OS error "Unable to convert a string to SID".
  void loadFromSidString(std::u16string_view text);
  // The string form; throws the OS error "Unable to convert a SID to it's string form" when
  // there is no SID.
  std::u16string toSidString() const;

  // Shorter SIDs first, then byte by byte. Throws vexception "Invalid sid(s)" when either side
  // has no SID.
  bool operator<(const Sid& other) const;
  // Same SID bytes; names are not compared.
  bool operator==(const Sid& other) const { return sid_ == other.sid_; }

private:
  void setSid(std::vector<std::uint8_t> sid);

  std::vector<std::uint8_t> sid_;
  std::u16string name_;
  std::u16string domain_;
  std::uint32_t kind_ = SidTypeUnknown;
};

// The length of the valid SID at the start of `data`, or 0 when `data` holds none.
std::uint32_t validSidLength(std::span<const std::uint8_t> data);

} // namespace RunTime

// Well-known identifiers. Each throws the OS error "AllocateAndInitializeSid" on failure.
class VSID {
public:
  static RunTime::Sid admins();   // S-1-5-32-544, the local Administrators group
  static RunTime::Sid everyone(); // S-1-1-0
  static RunTime::Sid system();   // S-1-5-18, the local system account
};
