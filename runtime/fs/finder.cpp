#include "runtime/fs/finder.h"

#include "runtime/fs/operations.h"

#include "os/text.h"
#include "runtime/core/exception.h"
#include "runtime/fs/operations.h"
#include "runtime/fs/path/filename.h"

namespace {

// The pattern with the platform's search semantics spelled out per position.
enum class Token : char16_t {
  literal,
  star,    // any run of characters
  dosStar, // any run of characters that does not take the name's last dot
  dosQm,   // one character; nothing at a dot or at the end of the name
  dosDot,  // a dot, or the end of the name
};

struct Element {
  Token token;
  char16_t unit;
};

std::vector<Element> compile(std::u16string_view pattern) {
  std::vector<Element> out;
  for (std::size_t i = 0; i < pattern.size(); ++i) {
    const char16_t c = pattern[i];
    const char16_t next = i + 1 < pattern.size() ? pattern[i + 1] : u'\0';
    if (c == u'?') out.push_back({Token::dosQm, c});
    else if (c == u'*') out.push_back({next == u'.' ? Token::dosStar : Token::star, c});
    else if (c == u'.' && (next == u'?' || next == u'*' || next == u'\0'))
      out.push_back({Token::dosDot, c});
    else out.push_back({Token::literal, os::toUpper(c)});
  }
  return out;
}

bool hasWildcard(std::u16string_view text) { return text.find_first_of(u"*?") != text.npos; }

} // namespace

bool RunTime::File::matchesSearchPattern(std::u16string_view name, std::u16string_view pattern) {
  const std::vector<Element> p = compile(pattern);
  const std::size_t m = p.size(), n = name.size();
  const std::size_t lastDot = name.rfind(u'.');
  // matches[i][j]: the pattern from element i matches the name from unit j.
  std::vector<std::vector<bool>> matches(m + 1, std::vector<bool>(n + 1, false));
  matches[m][n] = true;
  for (std::size_t i = m; i-- > 0;) {
    for (std::size_t j = n + 1; j-- > 0;) {
      const bool more = j < n;
      const bool rest = more && matches[i + 1][j + 1]; // this element takes name[j]
      bool ok = false;
      switch (p[i].token) {
      case Token::star: ok = matches[i + 1][j] || (more && matches[i][j + 1]); break;
      case Token::dosStar:
        ok = matches[i + 1][j] || (more && j != lastDot && matches[i][j + 1]);
        break;
      case Token::dosQm: ok = (more && name[j] != u'.') ? rest : matches[i + 1][j]; break;
      case Token::dosDot: ok = more ? (name[j] == u'.' && rest) : matches[i + 1][j]; break;
      case Token::literal: ok = more && os::toUpper(name[j]) == p[i].unit && rest; break;
      }
      matches[i][j] = ok;
    }
  }
  return matches[0][0];
}

bool VFileFinder::first(const std::u16string& pattern) {
  close();
  const std::size_t separator = pattern.find_last_of(u"\\/");
  const std::u16string directory =
      separator == pattern.npos ? u"." : pattern.substr(0, separator == 0 ? 1 : separator);
  const std::u16string mask = separator == pattern.npos ? pattern : pattern.substr(separator + 1);
  if (mask.empty()) return false;
  using Listing = os::Result<std::vector<os::DirectoryEntry>>;
  Listing listed = hasWildcard(directory) ? Listing::failure(os::err::invalidName)
                                          : RunTime::File::detail::listFullPath(directory);
  if (!listed.ok()) {
    if (listed.code() == os::err::fileNotFound || listed.code() == os::err::pathNotFound)
      return false;
    throwOSError(u"FindFirstFile(" + pattern + u")", listed.code(),
                 VCONTEXT("VFileFinder::first"));
  }
  for (os::DirectoryEntry& entry : listed.value())
    if (RunTime::File::matchesSearchPattern(entry.name, mask)) matches_.push_back(std::move(entry));
  return !matches_.empty();
}

bool VFileFinder::next() {
  if (position_ + 1 >= matches_.size()) {
    close();
    return false;
  }
  ++position_;
  return true;
}

void VFileFinder::close() {
  matches_.clear();
  position_ = 0;
}

const os::DirectoryEntry& VFileFinder::current() const {
  static const os::DirectoryEntry none;
  return position_ < matches_.size() ? matches_[position_] : none;
}
