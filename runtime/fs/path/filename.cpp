#include "runtime/fs/path/filename.h"

#include <algorithm>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "os/path.h"
#include "os/path_grammar.h"
#include "os/text.h"
#include "runtime/core/exception.h"
#include "runtime/core/format.h"
#include "runtime/fs/path/shell_path.h"

namespace {

using os::grammar::isSeparator;
using os::grammar::kDevicePrefix;
using os::grammar::kLongPrefix;

// What the path functions give back, without the "\\?\" or "\??\" prefix they work with.
std::u16string withoutLongPrefix(const std::u16string& path) {
  return std::u16string(os::grammar::withoutLongPrefix(path));
}

std::uint32_t statusBits(shell_path::HRESULT status) { return static_cast<std::uint32_t>(status); }

// The components of a "\"-separated path with empty and "." ones dropped and each ".." removing
// the component before it; a ".." with nothing (or only "..") before it stays. A drive is the
// root of its path: a ".." right after it is dropped.
std::vector<std::u16string_view> lexicalComponents(std::u16string_view text) {
  using os::grammar::Above;
  const bool drive = text.size() >= 2 && text[1] == u':' && (text.size() == 2 || text[2] == u'\\');
  std::vector<std::u16string_view> names = os::grammar::components(text);
  if (!drive) return os::grammar::resolveDots(names, Above::keep);
  std::vector<std::u16string_view> kept{names.front()};
  names.erase(names.begin());
  for (std::u16string_view name : os::grammar::resolveDots(names, Above::clamp))
    kept.push_back(name);
  return kept;
}

// Negative, zero or positive: components of different length order by length, others by their
// upper-case units (the ordinal case-insensitive order of file names).
int compareComponents(std::u16string_view a, std::u16string_view b) {
  if (a.size() != b.size())
    return a.size() < b.size() ? -1 : 1;
  for (std::size_t i = 0; i < a.size(); ++i) {
    char16_t ua = os::toUpper(a[i]);
    char16_t ub = os::toUpper(b[i]);
    if (ua != ub)
      return ua < ub ? -1 : 1;
  }
  return 0;
}

} // namespace

std::u16string VFileName::combine(const std::u16string& base, const std::u16string& more) {
  std::size_t skipped = 0;
  while (skipped < more.size() && isSeparator(more[skipped]))
    ++skipped;
  shell_path::Outcome out =
      shell_path::combine(longPath(base), std::u16string_view(more).substr(skipped));
  if (!out.succeeded())
    throw vexception(formatString(u"PathAllocCombine(%s, %s) failed: error code 0x%lx", base, more,
                                  statusBits(out.status)),
                     VCONTEXT("VFileName::combine"));
  return withoutLongPrefix(std::move(out.path));
}

std::u16string VFileName::normalize(const std::u16string& path) {
  std::u16string text = path;
  std::replace(text.begin(), text.end(), u'/', u'\\');
  std::u16string prefix;
  if (text.starts_with(kLongPrefix) || text.starts_with(kDevicePrefix)) {
    prefix = text.substr(0, kLongPrefix.size());
    text.erase(0, kLongPrefix.size());
  }
  bool leading = text.starts_with(u'\\');
  bool trailing = text.size() > 1 && text.ends_with(u'\\');

  std::vector<std::u16string_view> kept = lexicalComponents(text);
  std::u16string out = prefix;
  if (leading)
    out += u'\\';
  for (std::size_t i = 0; i < kept.size(); ++i) {
    if (i > 0)
      out += u'\\';
    out += kept[i];
  }
  // When everything between them went away, the leading "\" already ends the path; a second one
  // would turn it into the start of a network name.
  if (trailing && !out.ends_with(u'\\'))
    out += u'\\';
  return out;
}

std::u16string VFileName::longPath(const std::u16string& path) {
  if (path.size() < 2 || path[1] != u':')
    return path;
  return std::u16string(kLongPrefix) + (path.size() == 2 ? path + u'\\' : normalize(path));
}

std::u16string VFileName::trimTrailingSeparators(const std::u16string& path) {
  std::size_t end = path.size();
  while (end > 0 && isSeparator(path[end - 1]))
    --end;
  return path.substr(0, end);
}

std::u16string VFileName::removeFileSpec(const std::u16string& path) {
  shell_path::Outcome out = shell_path::removeFileSpec(longPath(normalize(path)));
  if (!out.succeeded())
    throw vexception(formatString(u"PathCchRemoveFileSpec(%s) failed: error code 0x%lx", path,
                                  statusBits(out.status)),
                     VCONTEXT("VFileName::removeFileSpec"));
  return withoutLongPrefix(std::move(out.path));
}

std::u16string VFileName::longPathName(const std::u16string& path) {
  os::Result<std::u16string> name = os::longPathName(path);
  if (!name.ok())
    throwOSError(formatString(u"GetLongPathName('%s')", path), name.code(),
                 VCONTEXT("VFileName::longPathName"));
  return std::move(name.value());
}

VFileName::Relation VFileName::compare(const std::u16string& a, const std::u16string& b) {
  const std::vector<std::u16string_view> namesA =
      os::grammar::components(os::grammar::withoutLongPrefix(a));
  const std::vector<std::u16string_view> namesB =
      os::grammar::components(os::grammar::withoutLongPrefix(b));
  for (std::size_t i = 0;; ++i) {
    if (i == namesA.size()) return i == namesB.size() ? same : secondBelow;
    if (i == namesB.size()) return firstBelow;
    if (int order = compareComponents(namesA[i], namesB[i]); order != 0)
      return order < 0 ? sortsBefore : sortsAfter;
  }
}
