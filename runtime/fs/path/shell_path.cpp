#include "runtime/fs/path/shell_path.h"

#include <algorithm>
#include <vector>

#include "os/path_grammar.h"

namespace shell_path {
namespace {

constexpr char16_t separator = u'\\';

std::u16string withBackslashes(std::u16string_view path) {
  std::u16string s(path);
  std::replace(s.begin(), s.end(), u'/', separator);
  return s;
}

bool isValidArgument(std::u16string_view path) {
  return path.size() <= maxLength && path.find(u'\0') == std::u16string_view::npos;
}

bool isDriveAt(std::u16string_view s, std::size_t i) {
  return s.size() > i && os::grammar::hasDrive(s.substr(i));
}

// The end of the component that starts at `from`.
std::size_t componentEnd(std::u16string_view s, std::size_t from) {
  return std::min(s.find(separator, from), s.size());
}

// "server\share" starting at `from`: the end of the share, or of the server when it has none.
std::size_t uncRootEnd(std::u16string_view s, std::size_t from) {
  std::size_t server = componentEnd(s, from);
  return server == s.size() ? server : componentEnd(s, server + 1);
}

bool startsWithUncMarker(std::u16string_view s) {
  return s.size() >= 4 && (s[0] == u'U' || s[0] == u'u') && (s[1] == u'N' || s[1] == u'n') &&
         (s[2] == u'C' || s[2] == u'c') && s[3] == separator;
}

// Length of the root of a path written with backslashes; 0 for a relative path.
std::size_t rootLength(std::u16string_view s) {
  if (s.starts_with(u"\\\\?\\") || s.starts_with(u"\\\\.\\")) {
    constexpr std::size_t prefix = 4;
    // "\\?\C:\" like "C:\", and "\\?\C:x" like the drive-relative "C:x".
    if (isDriveAt(s, prefix))
      return s.size() > prefix + 2 && s[prefix + 2] == separator ? prefix + 3 : prefix + 2;
    if (startsWithUncMarker(s.substr(prefix)))
      return uncRootEnd(s, prefix + 4);
    return componentEnd(s, prefix);
  }
  if (s.starts_with(u"\\\\"))
    return uncRootEnd(s, 2);
  if (isDriveAt(s, 0))
    return s.size() > 2 && s[2] == separator ? 3 : 2;
  return s.starts_with(separator) ? 1 : 0;
}

bool isFullyQualified(std::u16string_view s) {
  return (isDriveAt(s, 0) && s.size() > 2 && s[2] == separator) || s.starts_with(u"\\\\");
}

// The components after the root with "." and empty ones dropped and ".." resolved.
std::vector<std::u16string_view> resolvedComponents(std::u16string_view rest) {
  return os::grammar::resolveDots(os::grammar::components(rest), os::grammar::Above::clamp);
}

std::u16string canonicalText(std::u16string_view s) {
  std::size_t root = rootLength(s);
  std::vector<std::u16string_view> parts = resolvedComponents(s.substr(root));
  std::u16string out(s.substr(0, root));
  for (std::size_t i = 0; i < parts.size(); ++i) {
    if (i > 0 || (!out.empty() && out.back() != separator && out.back() != u':'))
      out += separator;
    out += parts[i];
  }
  bool driveOnly = out.size() == root && !out.empty() && out.back() == u':';
  bool trailing = s.size() > root && s.back() == separator;
  if (out.empty() || ((driveOnly || trailing) && out.back() != separator))
    out += separator;
  return out;
}

Outcome finished(std::u16string path) {
  if (path.size() > maxLength)
    return {resultTooLong, {}};
  return {S_OK, std::move(path)};
}

} // namespace

Outcome combine(std::u16string_view base, std::u16string_view more) {
  if (!isValidArgument(base) || !isValidArgument(more))
    return {invalidPath, {}};
  std::u16string b = withBackslashes(base);
  std::u16string m = withBackslashes(more);
  if (m.empty())
    return finished(canonicalText(b));
  if (b.empty() || isFullyQualified(m))
    return finished(canonicalText(m));
  // A base that ends in a separator ("\", "C:\") takes more as it is: a second separator
  // would turn "\" + "a" into the start of a network name.
  if (b.back() != separator) b += separator;
  return finished(canonicalText(b + m));
}

Outcome removeFileSpec(std::u16string_view path) {
  if (!isValidArgument(path))
    return {invalidPath, {}};
  std::u16string s = withBackslashes(path);
  std::size_t root = rootLength(s);
  if (root == s.size())
    return {S_FALSE, std::move(s)};
  std::size_t last = s.rfind(separator);
  s.resize(last == std::u16string::npos || last < root ? root : last);
  return {S_OK, std::move(s)};
}

} // namespace shell_path
