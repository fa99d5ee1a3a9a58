#include "os/path_grammar.h"

namespace os::grammar {

std::vector<std::u16string_view> components(std::u16string_view path) {
  std::vector<std::u16string_view> names;
  std::size_t start = 0;
  while (start < path.size()) {
    std::size_t end = start;
    while (end < path.size() && !isSeparator(path[end])) ++end;
    if (end > start) names.push_back(path.substr(start, end - start));
    start = end + 1;
  }
  return names;
}

std::vector<std::u16string_view> resolveDots(const std::vector<std::u16string_view>& names,
                                             Above above) {
  std::vector<std::u16string_view> kept;
  for (std::u16string_view name : names) {
    if (name == u".") continue;
    if (name != u"..") kept.push_back(name);
    else if (!kept.empty() && kept.back() != u"..") kept.pop_back();
    else if (above == Above::keep) kept.push_back(name);
  }
  return kept;
}

Result<std::vector<std::u16string_view>> componentsInside(std::u16string_view relative) {
  using Names = Result<std::vector<std::u16string_view>>;
  if (isUncOrDevice(relative) || relative.starts_with(kNativePrefix))
    return Names::failure(err::badPathName);
  std::vector<std::u16string_view> kept;
  for (std::u16string_view name : components(relative)) {
    if (name == u".") continue;
    if (name.find(u':') != name.npos) return Names::failure(err::badPathName);
    if (name != u"..") kept.push_back(name);
    else if (kept.empty()) return Names::failure(err::notSameDevice);
    else kept.pop_back();
  }
  return kept;
}

} // namespace os::grammar
