// The pure parts of a Root: the form of relative paths and of report paths.
#include "os/root.h"

#include "os/text.h"

namespace os {
namespace {

bool isSeparator(char16_t c) { return c == u'\\' || c == u'/'; }

} // namespace

Result<std::string> relativeHostPath(std::u16string_view relative) {
  // "\\server\share", "\\?\C:\x" and "\??\x" name other places; one leading separator means
  // "from the root".
  if (relative.size() >= 2 && isSeparator(relative[0]) && isSeparator(relative[1]))
    return Result<std::string>::failure(err::badPathName);
  if (relative.starts_with(u"\\??\\")) return Result<std::string>::failure(err::badPathName);
  std::string host;
  std::size_t start = 0;
  while (start <= relative.size()) {
    std::size_t end = start;
    while (end < relative.size() && !isSeparator(relative[end])) ++end;
    std::u16string_view part = relative.substr(start, end - start);
    start = end + 1;
    if (part.empty() || part == u".") continue;
    if (part == u"..") return Result<std::string>::failure(err::notSameDevice);
    // A drive ("C:") or a stream ("a:b") has no place in a name below a root.
    if (part.find(u':') != part.npos) return Result<std::string>::failure(err::badPathName);
    if (!host.empty()) host += '/';
    host += utf8FromUtf16(part);
  }
  return host;
}

std::u16string Root::pathOf(std::u16string_view relative) const {
  std::u16string path = path_;
  std::size_t start = 0;
  while (start < relative.size() && isSeparator(relative[start])) ++start;
  if (start == relative.size()) return path;
  if (!path.empty() && !isSeparator(path.back())) path += u'\\';
  for (char16_t c : relative.substr(start)) path += c == u'/' ? u'\\' : c;
  return path;
}

} // namespace os
