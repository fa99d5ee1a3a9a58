#include "os/text.h"

#include <iconv.h>
#include <locale.h>
#include <wctype.h>

#include <cerrno>
#include <memory>

#include "os/handle.h"
#include "os/posix/errno_map.h"

namespace os {
namespace {

constexpr char16_t kReplacement = 0xFFFD;

bool isHighSurrogate(char16_t u) { return u >= 0xD800 && u <= 0xDBFF; }
bool isLowSurrogate(char16_t u) { return u >= 0xDC00 && u <= 0xDFFF; }

void appendUtf8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

void appendUtf16(std::u16string& out, char32_t cp) {
  if (cp < 0x10000) {
    out += static_cast<char16_t>(cp);
  } else {
    cp -= 0x10000;
    out += static_cast<char16_t>(0xD800 | (cp >> 10));
    out += static_cast<char16_t>(0xDC00 | (cp & 0x3FF));
  }
}

// Length of the well-formed UTF-8 sequence at s[i] and its code point; 0 when ill-formed.
std::size_t decodeUtf8(std::string_view s, std::size_t i, char32_t& cp) {
  auto byte = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
  unsigned char b0 = byte(i);
  if (b0 < 0x80) {
    cp = b0;
    return 1;
  }
  std::size_t len;
  char32_t min;
  if (b0 >= 0xC2 && b0 <= 0xDF) len = 2, cp = b0 & 0x1F, min = 0x80;
  else if (b0 >= 0xE0 && b0 <= 0xEF) len = 3, cp = b0 & 0x0F, min = 0x800;
  else if (b0 >= 0xF0 && b0 <= 0xF4) len = 4, cp = b0 & 0x07, min = 0x10000;
  else return 0;
  if (i + len > s.size()) return 0;
  for (std::size_t k = 1; k < len; ++k) {
    if ((byte(i + k) & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (byte(i + k) & 0x3F);
  }
  if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
  return len;
}

// The iconv name of a Windows code page, or null when we do not know it.
std::string iconvName(std::uint32_t cp) {
  switch (cp) {
  case 1200: return "UTF-16LE";
  case 1201: return "UTF-16BE";
  case 12000: return "UTF-32LE";
  case 12001: return "UTF-32BE";
  case 20127: return "ASCII";
  case 20866: return "KOI8-R";
  case 21866: return "KOI8-U";
  case 65000: return "UTF-7";
  case 932: return "CP932";
  case 936: return "GBK";
  case 949: return "CP949";
  case 950: return "BIG5";
  case 54936: return "GB18030";
  default: break;
  }
  if (cp >= 28591 && cp <= 28605) return "ISO-8859-" + std::to_string(cp - 28590);
  if ((cp >= 1250 && cp <= 1258) || cp == 437 || cp == 850 || cp == 852 || cp == 855 ||
      cp == 857 || cp == 858 || cp == 860 || cp == 861 || cp == 862 || cp == 863 || cp == 865 ||
      cp == 866 || cp == 869 || cp == 874)
    return "CP" + std::to_string(cp);
  return {};
}

struct IconvTraits {
  using value_type = iconv_t;
  static iconv_t invalid() noexcept { return reinterpret_cast<iconv_t>(-1); }
  static void close(iconv_t cd) noexcept { ::iconv_close(cd); }
};
using IconvHandle = UniqueHandle<IconvTraits>;

// A converter between two encodings the host names; none (invalid) when it has no such pair.
IconvHandle openIconv(const std::string& to, const std::string& from) {
  if (to.empty() || from.empty()) return IconvHandle();
  return IconvHandle(::iconv_open(to.c_str(), from.c_str()));
}

// Runs iconv over the whole input; on an unconvertible sequence writes `replacement` and
// skips `skip` input bytes.
std::string runIconv(iconv_t cd, std::string_view input, std::string_view replacement,
                     std::size_t skip) {
  std::string out;
  char buffer[4096];
  char* in = const_cast<char*>(input.data());
  std::size_t inLeft = input.size();
  while (inLeft > 0) {
    char* o = buffer;
    std::size_t oLeft = sizeof buffer;
    std::size_t rc = iconv(cd, &in, &inLeft, &o, &oLeft);
    out.append(buffer, o - buffer);
    if (rc != static_cast<std::size_t>(-1) || errno == E2BIG) continue;
    out.append(replacement);
    std::size_t n = std::min(skip, inLeft);
    in += n;
    inLeft -= n;
  }
  return out;
}

locale_t unicodeLocale() {
  static locale_t loc = newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(0));
  return loc;
}

} // namespace

std::u16string utf16FromUtf8(std::string_view bytes) {
  std::u16string out;
  out.reserve(bytes.size());
  for (std::size_t i = 0; i < bytes.size();) {
    char32_t cp;
    std::size_t len = decodeUtf8(bytes, i, cp);
    if (len == 0) {
      out += kReplacement;
      ++i;
    } else {
      appendUtf16(out, cp);
      i += len;
    }
  }
  return out;
}

std::string utf8FromUtf16(std::u16string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    char16_t u = text[i];
    if (isHighSurrogate(u) && i + 1 < text.size() && isLowSurrogate(text[i + 1])) {
      appendUtf8(out, 0x10000 + ((char32_t(u) - 0xD800) << 10) + (text[i + 1] - 0xDC00));
      ++i;
    } else if (isHighSurrogate(u) || isLowSurrogate(u)) {
      appendUtf8(out, kReplacement);
    } else {
      appendUtf8(out, u);
    }
  }
  return out;
}

std::string littleEndianFromUtf16(std::u16string_view text) {
  std::string bytes;
  bytes.reserve(text.size() * 2);
  for (char16_t u : text) bytes += {static_cast<char>(u & 0xFF), static_cast<char>(u >> 8)};
  return bytes;
}

std::u16string utf16FromLittleEndian(std::string_view bytes) {
  std::u16string text;
  text.reserve(bytes.size() / 2 + 1);
  for (std::size_t i = 0; i + 1 < bytes.size(); i += 2)
    text += static_cast<char16_t>(static_cast<unsigned char>(bytes[i]) |
                                  static_cast<unsigned char>(bytes[i + 1]) << 8);
  if (bytes.size() % 2 != 0) text += kReplacement;
  return text;
}

Result<std::u16string> utf16FromCodePage(std::string_view bytes, std::uint32_t codePage) {
  if (codePage == cpUtf8) return utf16FromUtf8(bytes);
  std::string name = iconvName(codePage);
  IconvHandle cd = openIconv("UTF-16LE", name);
  if (!cd) return Result<std::u16string>::failure(err::invalidParameter);
  const char replacement[] = {'\xFD', '\xFF'};
  return utf16FromLittleEndian(runIconv(cd.get(), bytes, std::string_view(replacement, 2), 1));
}

Result<std::string> codePageFromUtf16(std::u16string_view text, std::uint32_t codePage) {
  if (codePage == cpUtf8) return utf8FromUtf16(text);
  std::string name = iconvName(codePage);
  IconvHandle cd = openIconv(name, "UTF-16LE");
  if (!cd) return Result<std::string>::failure(err::invalidParameter);
  return runIconv(cd.get(), littleEndianFromUtf16(text), "?", 2);
}

char16_t toUpper(char16_t unit) {
  if (isHighSurrogate(unit) || isLowSurrogate(unit)) return unit;
  wint_t up = towupper_l(unit, unicodeLocale());
  return up <= 0xFFFF ? static_cast<char16_t>(up) : unit;
}

char16_t toLower(char16_t unit) {
  if (isHighSurrogate(unit) || isLowSurrogate(unit)) return unit;
  wint_t low = towlower_l(unit, unicodeLocale());
  return low <= 0xFFFF ? static_cast<char16_t>(low) : unit;
}

bool isSpace(char16_t unit) { return iswspace_l(unit, unicodeLocale()) != 0; }

} // namespace os
