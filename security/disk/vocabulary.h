// The access-entry vocabulary of metadata and configuration files: the names of ACE flags,
// access masks, entry flags, account types and well-known accounts, how attribute values are
// read (a number with automatic base, or a name) and how they are written.
//
// Name look-ups are exact (case-sensitive). Reading a name no table holds throws vexception
// "<what>: <value>, known names are:\n" followed by every name of the table and "\n", in
// ascending order of the names.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "runtime/security/model/sid.h"

namespace DiskSecurity {

struct VocabularyName {
  std::u16string_view name;
  std::uint32_t value;
};

// The tables, in the order their values are documented.
const std::vector<VocabularyName>& aceFlagNames();
const std::vector<VocabularyName>& accessMaskNames();
const std::vector<VocabularyName>& entryFlagNames();
const std::vector<VocabularyName>& accountTypeNames();

// The whole text as an unsigned 32-bit number with automatic base (decimal, "0x" hexadecimal,
// octal with a leading 0; leading blanks and a sign accepted, too large a value saturates);
// empty text is 0; nothing when the text is not wholly a number.
std::optional<std::uint32_t> parseNumber(std::u16string_view text);

// Attribute values read: a number, or one name (several joined by "|" for entry flags).
std::uint32_t readAceFlags(std::u16string_view text);
std::uint32_t readAccessMask(std::u16string_view text);
std::uint32_t readEntryFlags(std::u16string_view text);
std::uint32_t readAccountType(std::u16string_view text);

// Attribute values written: the name whose value is exactly this one, else "0x" and lower-case
// hexadecimal; entry flags always in hexadecimal.
std::u16string writeAceFlags(std::uint32_t flags);
std::u16string writeAccessMask(std::uint32_t mask);
std::u16string writeEntryFlags(std::uint32_t flags);

// Account types.
inline constexpr std::uint32_t ACCOUNT_BUILTIN = 0;
inline constexpr std::uint32_t ACCOUNT_CUSTOM = 1;

// The well-known account of a name (exact case); throws "Unknown account name: ..." otherwise.
RunTime::Sid wellKnownAccount(std::u16string_view name);
// The well-known name of a SID, or nothing when it is no well-known account.
std::optional<std::u16string> wellKnownName(const RunTime::Sid& sid);

} // namespace DiskSecurity
