// The pure parts of a Root: the form of relative paths and of report paths.
#include "os/root.h"

#include <vector>

#include "os/path_grammar.h"
#include "os/text.h"

namespace os {

Result<std::string> relativeHostPath(std::u16string_view relative) {
  Result<std::vector<std::u16string_view>> names = grammar::componentsInside(relative);
  if (!names.ok()) return Result<std::string>::failure(names.code());
  std::string host;
  for (std::u16string_view name : names.value()) {
    if (!host.empty()) host += '/';
    host += utf8FromUtf16(name);
  }
  return host;
}

std::u16string Root::pathOf(std::u16string_view relative) const {
  std::u16string path = path_;
  std::size_t start = 0;
  while (start < relative.size() && grammar::isSeparator(relative[start])) ++start;
  if (start == relative.size() || relative.substr(start) == u".") return path;
  if (!path.empty() && !grammar::isSeparator(path.back())) path += u'\\';
  for (char16_t c : relative.substr(start)) path += c == u'/' ? u'\\' : c;
  return path;
}

} // namespace os
