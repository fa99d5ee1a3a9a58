#include "runtime/core/format.h"

#include <cstdio>
#include <span>

#include "os/text.h"
#include "runtime/core/exception.h"

namespace {

enum class Length { Default, Char, Short, Long, LongLong, Size, Wide, LongDouble };

struct Conversion {
  std::string flags;
  std::optional<int> width;
  std::optional<int> precision;
  Length length = Length::Default;
  char16_t type = 0;
};

class Formatter {
public:
  Formatter(std::u16string_view format, std::span<const FormatArg> args)
      : format_(format), args_(args) {}

  std::optional<std::u16string> run() {
    while (pos_ < format_.size()) {
      char16_t c = format_[pos_++];
      if (c != u'%') {
        out_ += c;
        continue;
      }
      if (pos_ < format_.size() && format_[pos_] == u'%') {
        out_ += u'%';
        ++pos_;
        continue;
      }
      Conversion conv;
      if (!parse(conv) || !emit(conv)) return std::nullopt;
    }
    if (next_ != args_.size()) return std::nullopt;
    return std::move(out_);
  }

private:
  bool atEnd() const { return pos_ >= format_.size(); }
  bool accept(std::u16string_view token) {
    if (format_.substr(pos_, token.size()) != token) return false;
    pos_ += token.size();
    return true;
  }

  const FormatArg* take() { return next_ < args_.size() ? &args_[next_++] : nullptr; }

  bool takeInt(int& value) {
    const FormatArg* arg = take();
    if (!arg || (arg->kind() != FormatArg::Kind::Signed && arg->kind() != FormatArg::Kind::Unsigned))
      return false;
    value = static_cast<int>(static_cast<std::int32_t>(arg->bits()));
    return true;
  }

  std::optional<int> number() {
    if (atEnd() || format_[pos_] < u'0' || format_[pos_] > u'9') return std::nullopt;
    int n = 0;
    while (!atEnd() && format_[pos_] >= u'0' && format_[pos_] <= u'9') {
      n = n * 10 + (format_[pos_++] - u'0');
      if (n > 100000) return std::nullopt;
    }
    return n;
  }

  bool parse(Conversion& conv) {
    while (!atEnd() && std::u16string_view(u"-+ #0").find(format_[pos_]) != std::u16string_view::npos)
      conv.flags += static_cast<char>(format_[pos_++]);
    if (accept(u"*")) {
      int w;
      if (!takeInt(w)) return false;
      if (w < 0) conv.flags += '-', w = -w;
      conv.width = w;
    } else {
      conv.width = number();
    }
    if (accept(u".")) {
      if (accept(u"*")) {
        int p;
        if (!takeInt(p)) return false;
        if (p >= 0) conv.precision = p;
      } else {
        conv.precision = number().value_or(0);
      }
    }
    if (accept(u"hh")) conv.length = Length::Char;
    else if (accept(u"h")) conv.length = Length::Short;
    else if (accept(u"ll") || accept(u"I64")) conv.length = Length::LongLong;
    else if (accept(u"I32")) conv.length = Length::Long;
    else if (accept(u"l")) conv.length = Length::Long;
    else if (accept(u"I") || accept(u"z") || accept(u"j") || accept(u"t")) conv.length = Length::Size;
    else if (accept(u"w")) conv.length = Length::Wide;
    else if (accept(u"L")) conv.length = Length::LongDouble;
    if (atEnd()) return false;
    conv.type = format_[pos_++];
    return true;
  }

  // The printf directive of the conversion for the narrow C formatter.
  static std::string narrowDirective(const Conversion& conv, const char* length, char type) {
    std::string directive = "%" + conv.flags;
    if (conv.width) directive += std::to_string(*conv.width);
    if (conv.precision) directive += "." + std::to_string(*conv.precision);
    return directive + length + type;
  }

  template <class T>
  void printNarrow(const std::string& directive, T value) {
    int n = std::snprintf(nullptr, 0, directive.c_str(), value);
    std::string text(static_cast<std::size_t>(n), '\0');
    std::snprintf(text.data(), text.size() + 1, directive.c_str(), value);
    for (char ch : text) out_ += static_cast<char16_t>(static_cast<unsigned char>(ch));
  }

  void pad(std::u16string_view text, const Conversion& conv) {
    std::size_t width = conv.width ? static_cast<std::size_t>(*conv.width) : 0;
    bool left = conv.flags.find('-') != std::string::npos;
    std::size_t fill = text.size() < width ? width - text.size() : 0;
    if (!left) out_.append(fill, u' ');
    out_ += text;
    if (left) out_.append(fill, u' ');
  }

  static bool isInteger(const FormatArg& arg) {
    return arg.kind() == FormatArg::Kind::Signed || arg.kind() == FormatArg::Kind::Unsigned;
  }

  bool emitInteger(const Conversion& conv, const FormatArg& arg) {
    if (!isInteger(arg)) return false;
    bool isSigned = conv.type == u'd' || conv.type == u'i';
    std::uint64_t bits = arg.bits();
    // Narrow the value to the width the length modifier names, as the C formatter would.
    switch (conv.length) {
    case Length::Char: bits = isSigned ? std::uint64_t(std::int64_t(std::int8_t(bits))) : std::uint8_t(bits); break;
    case Length::Short: bits = isSigned ? std::uint64_t(std::int64_t(std::int16_t(bits))) : std::uint16_t(bits); break;
    case Length::Default:
    case Length::Long: bits = isSigned ? std::uint64_t(std::int64_t(std::int32_t(bits))) : std::uint32_t(bits); break;
    case Length::LongLong:
    case Length::Size: break;
    default: return false;
    }
    std::string directive = narrowDirective(conv, "ll", static_cast<char>(conv.type == u'i' ? u'd' : conv.type));
    if (isSigned) printNarrow(directive, static_cast<long long>(bits));
    else printNarrow(directive, static_cast<unsigned long long>(bits));
    return true;
  }

  bool emitText(const Conversion& conv, const FormatArg& arg, bool wide) {
    std::u16string converted;
    std::u16string_view text;
    if (wide) {
      if (arg.kind() != FormatArg::Kind::WideText) return false;
      text = arg.wide();
    } else {
      if (arg.kind() != FormatArg::Kind::NarrowText) return false;
      converted = os::utf16FromUtf8(arg.narrow());
      text = converted;
    }
    if (conv.precision) text = text.substr(0, static_cast<std::size_t>(*conv.precision));
    pad(text, conv);
    return true;
  }

  bool emit(const Conversion& conv) {
    const FormatArg* arg = take();
    if (!arg) return false;
    switch (conv.type) {
    case u'd': case u'i': case u'u': case u'x': case u'X': case u'o':
      return emitInteger(conv, *arg);
    case u'c': case u'C': {
      if (!isInteger(*arg)) return false;
      bool narrow = conv.type == u'C' ? conv.length != Length::Long && conv.length != Length::Wide
                                      : conv.length == Length::Short;
      char16_t ch = narrow ? static_cast<char16_t>(static_cast<unsigned char>(arg->bits()))
                           : static_cast<char16_t>(arg->bits());
      pad(std::u16string_view(&ch, 1), conv);
      return true;
    }
    case u's':
      return emitText(conv, *arg, conv.length != Length::Short);
    case u'S':
      return emitText(conv, *arg, conv.length == Length::Long || conv.length == Length::Wide);
    case u'e': case u'E': case u'f': case u'F': case u'g': case u'G': case u'a': case u'A':
      if (arg->kind() != FormatArg::Kind::Floating) return false;
      printNarrow(narrowDirective(conv, "", static_cast<char>(conv.type)), arg->floating());
      return true;
    case u'p': {
      if (arg->kind() != FormatArg::Kind::Pointer) return false;
      char text[17];
      std::snprintf(text, sizeof text, "%016llX", static_cast<unsigned long long>(arg->bits()));
      std::u16string wide(text, text + 16);
      pad(wide, conv);
      return true;
    }
    default:
      return false;
    }
  }

  std::u16string_view format_;
  std::span<const FormatArg> args_;
  std::size_t pos_ = 0;
  std::size_t next_ = 0;
  std::u16string out_;
};

} // namespace

std::optional<std::u16string> tryFormat(std::u16string_view format,
                                        std::initializer_list<FormatArg> args) {
  return Formatter(format, std::span<const FormatArg>(args.begin(), args.size())).run();
}

namespace format_detail {

std::u16string formatOrThrow(std::u16string_view format, std::initializer_list<FormatArg> args,
                             const char* function) {
  std::optional<std::u16string> text = tryFormat(format, args);
  if (!text)
    throw ArgumentException(u"_scwprintf() failed: invalid arguments",
                            ExceptionContext(std::u16string(), function, __LINE__));
  return std::move(*text);
}

} // namespace format_detail
