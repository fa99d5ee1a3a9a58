#include "runtime/core/text.h"

#include "os/text.h"
#include "runtime/core/cancelation.h"
#include "runtime/core/exception.h"
#include "runtime/core/registry.h"

std::uint32_t ansiCodePage() {
  // Text conversions must keep working whatever the registry holds: any failure is UTF-8.
  try {
    std::u16string text;
    if (registry::lookup(registry::HKEY_LOCAL_MACHINE,
                         u"SYSTEM\\CurrentControlSet\\Control\\Nls\\CodePage", u"ACP", text,
                         registry::VIEW_DEFAULT) != 0 ||
        text.empty() || text.size() > 5)
      return CP_UTF8;
    std::uint32_t codePage = 0;
    for (char16_t c : text) {
      if (c < u'0' || c > u'9') return CP_UTF8;
      codePage = codePage * 10 + (c - u'0');
    }
    return os::utf16FromCodePage("A", codePage).ok() ? codePage : CP_UTF8;
  } catch (const ThreadCancelation::ThreadCanceled&) {
    throw;
  } catch (...) {
    return CP_UTF8;
  }
}

std::string cstr(std::u16string_view text, std::uint32_t codePage) {
  if (text.empty()) return {};
  os::Result<std::string> r =
      os::codePageFromUtf16(text, codePage == CP_ACP ? ansiCodePage() : codePage);
  if (!r.ok())
    throwOSError(u"Maps a wide-character (Unicode) string to a character stringz", r.code(),
                 VCONTEXT("cstr"));
  return std::move(r.value());
}

std::u16string wstr(std::string_view text, std::uint32_t codePage) {
  if (text.empty()) return {};
  os::Result<std::u16string> r =
      os::utf16FromCodePage(text, codePage == CP_ACP ? ansiCodePage() : codePage);
  if (!r.ok())
    throwOSError(u"Maps a character string to a wide-character (Unicode) string failed", r.code(),
                 VCONTEXT("wstr"));
  return std::move(r.value());
}

bool RunTime::striequal(std::u16string_view a, std::u16string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (a[i] != b[i] && os::toUpper(a[i]) != os::toUpper(b[i])) return false;
  return true;
}

int compareStrings(std::u16string_view a, std::u16string_view b, bool ignoreCase) {
  std::size_t n = std::min(a.size(), b.size());
  for (std::size_t i = 0; i < n; ++i) {
    char16_t x = a[i], y = b[i];
    if (ignoreCase) x = os::toLower(x), y = os::toLower(y);
    if (x != y) return ignoreCase ? int(x) - int(y) : (x < y ? -1 : 1);
  }
  if (a.size() == b.size()) return 0;
  // The shorter text ends with its terminating NUL, which sorts first.
  if (ignoreCase) return a.size() < b.size() ? -int(os::toLower(b[n])) : int(os::toLower(a[n]));
  return a.size() < b.size() ? -1 : 1;
}
