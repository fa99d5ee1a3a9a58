// The printf-compatible, type-checked formatter behind every message of the system.
//
// Wide-format conventions: %s and %ls/%ws take wide text, %hs and %S take 8-bit text (read as
// UTF-8), %c is a wide character and %hc/%C an 8-bit one; integer lengths follow the 64-bit
// Windows model (none and l = 32 bits, h = 16, hh = 8, ll/I64/I/z/j/t = 64). Floating types take
// a double, %p a pointer. A conversion whose argument has the wrong kind, a missing or surplus
// argument, %n, or an unknown conversion makes the whole format invalid.
#pragma once

#include <concepts>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>

class FormatArg {
public:
  enum class Kind { WideText, NarrowText, Signed, Unsigned, Floating, Pointer };

  FormatArg(const std::u16string& text) : kind_(Kind::WideText), wide_(text) {}
  FormatArg(std::u16string_view text) : kind_(Kind::WideText), wide_(text) {}
  FormatArg(const char16_t* text)
      : kind_(Kind::WideText), wide_(text ? std::u16string_view(text) : u"(null)") {}
  FormatArg(const std::string& text) : kind_(Kind::NarrowText), narrow_(text) {}
  FormatArg(std::string_view text) : kind_(Kind::NarrowText), narrow_(text) {}
  FormatArg(const char* text)
      : kind_(Kind::NarrowText), narrow_(text ? std::string_view(text) : "(null)") {}
  template <std::integral T>
    requires(!std::same_as<T, bool>)
  FormatArg(T value)
      : kind_(std::is_signed_v<T> ? Kind::Signed : Kind::Unsigned),
        bits_(static_cast<std::uint64_t>(value)) {}
  FormatArg(double value) : kind_(Kind::Floating), floating_(value) {}
  FormatArg(const void* pointer)
      : kind_(Kind::Pointer), bits_(reinterpret_cast<std::uintptr_t>(pointer)) {}

  Kind kind() const { return kind_; }
  std::u16string_view wide() const { return wide_; }
  std::string_view narrow() const { return narrow_; }
  std::uint64_t bits() const { return bits_; }
  double floating() const { return floating_; }

private:
  Kind kind_;
  std::u16string_view wide_;
  std::string_view narrow_;
  std::uint64_t bits_ = 0;
  double floating_ = 0;
};

// The formatted text, or nothing when the format and the arguments do not match.
std::optional<std::u16string> tryFormat(std::u16string_view format,
                                        std::initializer_list<FormatArg> args);

namespace format_detail {
std::u16string formatOrThrow(std::u16string_view format, std::initializer_list<FormatArg> args,
                             const char* function);
}

// The formatted text; throws ArgumentException "_scwprintf() failed: invalid arguments" for a
// format the arguments do not match.
template <class... Args>
std::u16string formatString(std::u16string_view format, const Args&... args) {
  return format_detail::formatOrThrow(format, {FormatArg(args)...}, "formatString");
}
