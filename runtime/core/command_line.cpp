#include "runtime/core/command_line.h"

#include "os/text.h"

namespace {

constexpr std::u16string_view kSpecial = u"\"&<>()[]{}^=;!'+,`~|";

bool needsQuotes(std::u16string_view text) {
  if (text.empty()) return true;
  for (char16_t c : text)
    if (os::isSpace(c) || kSpecial.find(c) != std::u16string_view::npos) return true;
  return false;
}

bool isBlank(char16_t c) { return c == u' ' || c == u'\t'; }

} // namespace

std::u16string quoteArgument(std::u16string_view text) {
  if (!needsQuotes(text)) return std::u16string(text);
  // Built back to front: a backslash is doubled while it stands before a quote.
  std::u16string reversed;
  bool nextToQuote = true;
  for (auto it = text.rbegin(); it != text.rend(); ++it) {
    reversed += *it;
    if (*it == u'"' || (*it == u'\\' && nextToQuote)) {
      reversed += u'\\';
      nextToQuote = true;
    } else {
      nextToQuote = false;
    }
  }
  return u"\"" + std::u16string(reversed.rbegin(), reversed.rend()) + u"\"";
}

std::vector<std::u16string> splitCommandLine(std::u16string_view line) {
  std::vector<std::u16string> args;
  if (line.empty()) return args;
  std::size_t i = 0, n = line.size();

  std::u16string program;
  if (line[0] == u'"') {
    for (++i; i < n; ++i) {
      if (line[i] == u'"') {
        ++i;
        break;
      }
      program += line[i];
    }
  } else {
    while (i < n && !isBlank(line[i])) program += line[i++];
  }
  args.push_back(std::move(program));
  while (i < n && isBlank(line[i])) ++i;

  // Quote count: 1 inside quotes; three quotes in a row give one literal quote.
  while (i < n) {
    std::u16string arg;
    int quotes = 0;
    std::size_t backslashes = 0;
    while (i < n && !(isBlank(line[i]) && quotes == 0)) {
      char16_t c = line[i];
      if (c == u'\\') {
        arg += c;
        ++backslashes;
        ++i;
        continue;
      }
      if (c == u'"') {
        arg.resize(arg.size() - backslashes / 2);
        if (backslashes % 2 == 0) {
          ++quotes;
        } else {
          arg.back() = u'"';
        }
        backslashes = 0;
        for (++i; i < n && line[i] == u'"'; ++i) {
          if (++quotes == 3) {
            arg += u'"';
            quotes = 0;
          }
        }
        if (quotes == 2) quotes = 0;
        continue;
      }
      arg += c;
      backslashes = 0;
      ++i;
    }
    args.push_back(std::move(arg));
    while (i < n && isBlank(line[i])) ++i;
  }
  return args;
}

std::u16string joinCommandLine(const std::vector<std::u16string>& arguments) {
  std::u16string line;
  for (const std::u16string& a : arguments) {
    if (!line.empty()) line += u' ';
    line += quoteArgument(a);
  }
  return line;
}
