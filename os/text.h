// Text facilities of the host: UTF-8 and code-page conversion, case mapping, white space.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "os/error.h"

namespace os {

inline constexpr std::uint32_t cpUtf8 = 65001;

// UTF-8 <-> UTF-16. Invalid input is replaced (U+FFFD when decoding, the UTF-8 encoding of
// U+FFFD for an unpaired surrogate when encoding), as the system's converters do with no flags.
std::u16string utf16FromUtf8(std::string_view bytes);
std::string utf8FromUtf16(std::u16string_view text);

// UTF-16 text as little-endian bytes (the registry's and the Windows code page's form) and
// back; an odd last byte decodes to U+FFFD.
std::string littleEndianFromUtf16(std::u16string_view text);
std::u16string utf16FromLittleEndian(std::string_view bytes);

// Conversion through a Windows code page number (65001 handled directly, others by iconv).
// Characters the code page cannot hold become '?' (encoding) or U+FFFD (decoding).
// Fails with invalidParameter for a code page the host does not know.
Result<std::u16string> utf16FromCodePage(std::string_view bytes, std::uint32_t codePage);
Result<std::string> codePageFromUtf16(std::u16string_view text, std::uint32_t codePage);

// Simple case mapping of one UTF-16 code unit by the Unicode tables; surrogates map to themselves.
char16_t toUpper(char16_t unit);
char16_t toLower(char16_t unit);

// Wide white-space test (iswspace of the C.UTF-8 locale).
bool isSpace(char16_t unit);

} // namespace os
