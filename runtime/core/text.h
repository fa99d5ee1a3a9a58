// Conversions between wide (UTF-16) and 8-bit text, and the two comparisons of wide text.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

inline constexpr std::uint32_t CP_ACP = 0;
inline constexpr std::uint32_t CP_UTF8 = 65001;

// The system ANSI code page: the registry value "ACP" of
// HKLM\SYSTEM\CurrentControlSet\Control\Nls\CodePage; 65001 when it is absent, unreadable, not
// a number or a code page the host cannot convert. Never throws.
std::uint32_t ansiCodePage();

// Wide text to 8-bit text in a code page (0 = the ANSI code page). Throws the OS error
// "Maps a wide-character (Unicode) string to a character stringz" for an unknown code page.
std::string cstr(std::u16string_view text, std::uint32_t codePage);

// 8-bit text in a code page to wide text. Throws the OS error "Maps a character string to a
// wide-character (Unicode) string failed" for an unknown code page.
std::u16string wstr(std::string_view text, std::uint32_t codePage);

namespace RunTime {
// True when the two texts are equal without regard to letter case.
bool striequal(std::u16string_view a, std::u16string_view b);
} // namespace RunTime

// Compares two texts: code unit by code unit (-1, 0 or 1), or, with ignoreCase, by their
// lower-case forms (the difference of the first differing units).
int compareStrings(std::u16string_view a, std::u16string_view b, bool ignoreCase);
