#include "os/registry_store.h"

#include <algorithm>

#include "os/text.h"

namespace os::registry {
namespace {

constexpr std::u16string_view kHeader = u"Windows Registry Editor Version 5.00";
// Bytes of hex data per line when a value is written.
constexpr std::size_t kHexBytesPerLine = 25;

struct RootName {
  Root root;
  std::u16string_view name;
};

constexpr RootName kRoots[] = {{Root::ClassesRoot, u"HKEY_CLASSES_ROOT"},
                               {Root::CurrentUser, u"HKEY_CURRENT_USER"},
                               {Root::LocalMachine, u"HKEY_LOCAL_MACHINE"},
                               {Root::Users, u"HKEY_USERS"}};

bool isBlank(char16_t c) { return c == u' ' || c == u'\t'; }

std::u16string_view trim(std::u16string_view s) {
  while (!s.empty() && isBlank(s.front())) s.remove_prefix(1);
  while (!s.empty() && isBlank(s.back())) s.remove_suffix(1);
  return s;
}

// The text before a ';' comment, trimmed.
std::u16string_view withoutComment(std::u16string_view s) {
  return trim(s.substr(0, s.find(u';')));
}

bool hasPrefix(const KeyPath& path, const KeyPath& prefix) {
  return path.size() >= prefix.size() && std::equal(prefix.begin(), prefix.end(), path.begin());
}

bool startsWithNoCase(std::u16string_view s, std::u16string_view prefix) {
  return s.size() >= prefix.size() && foldCase(s.substr(0, prefix.size())) == foldCase(prefix);
}

int hexDigit(char16_t c) {
  if (c >= u'0' && c <= u'9') return c - u'0';
  if (c >= u'a' && c <= u'f') return c - u'a' + 10;
  if (c >= u'A' && c <= u'F') return c - u'A' + 10;
  return -1;
}

std::optional<std::uint32_t> parseHex(std::u16string_view digits, std::size_t maxDigits) {
  if (digits.empty() || digits.size() > maxDigits) return std::nullopt;
  std::uint32_t n = 0;
  for (char16_t c : digits) {
    int d = hexDigit(c);
    if (d < 0) return std::nullopt;
    n = n << 4 | static_cast<std::uint32_t>(d);
  }
  return n;
}

void appendHex(std::u16string& out, std::uint32_t n, int digits) {
  for (int shift = (digits - 1) * 4; shift >= 0; shift -= 4)
    out += u"0123456789abcdef"[(n >> shift) & 0xF];
}

void appendQuoted(std::u16string& out, std::u16string_view text) {
  out += u'"';
  for (char16_t c : text) {
    if (c == u'\\' || c == u'"') out += u'\\';
    out += c;
  }
  out += u'"';
}

// The data bytes of a value as UTF-16LE text (an odd last byte left out).
std::u16string textOfData(const std::vector<std::uint8_t>& data) {
  return utf16FromLittleEndian(
      std::string_view(reinterpret_cast<const char*>(data.data()), data.size() & ~std::size_t(1)));
}

// The text of a REG_SZ value that the quoted form can hold exactly, if it is one.
std::optional<std::u16string> plainText(const Value& v) {
  if (v.type != REG_SZ || v.data.size() < 2 || v.data.size() % 2 != 0) return std::nullopt;
  std::u16string text = textOfData(v.data);
  if (text.back() != u'\0') return std::nullopt;
  text.pop_back();
  if (text.find_first_of(std::u16string_view(u"\0\r\n", 3)) != std::u16string::npos)
    return std::nullopt;
  return text;
}

void appendValue(std::u16string& out, const Value& v) {
  if (v.name.empty()) out += u'@';
  else appendQuoted(out, v.name);
  out += u'=';
  if (std::optional<std::u16string> text = plainText(v)) {
    appendQuoted(out, *text);
  } else if (std::optional<std::uint32_t> number = dwordOf(v)) {
    out += u"dword:";
    appendHex(out, *number, 8);
  } else {
    if (v.type == REG_BINARY) {
      out += u"hex:";
    } else {
      out += u"hex(";
      std::u16string type;
      appendHex(type, v.type, 8);
      type.erase(0, std::min(type.find_first_not_of(u'0'), type.size() - 1));
      out += type + u"):";
    }
    for (std::size_t i = 0; i < v.data.size(); ++i) {
      if (i > 0) out += i % kHexBytesPerLine == 0 ? u",\\\n  " : u",";
      appendHex(out, v.data[i], 2);
    }
  }
  out += u'\n';
}

std::u16string decode(std::string_view bytes) {
  if (bytes.starts_with("\xFF\xFE")) return utf16FromLittleEndian(bytes.substr(2));
  if (bytes.starts_with("\xEF\xBB\xBF")) bytes.remove_prefix(3);
  return utf16FromUtf8(bytes);
}

std::vector<std::u16string_view> splitLines(std::u16string_view text) {
  std::vector<std::u16string_view> lines;
  for (std::size_t start = 0; start <= text.size();) {
    std::size_t end = std::min(text.find(u'\n', start), text.size());
    std::u16string_view line = text.substr(start, end - start);
    if (!line.empty() && line.back() == u'\r') line.remove_suffix(1);
    lines.push_back(line);
    start = end + 1;
  }
  return lines;
}

using Problem = std::optional<std::u16string>;

// Reads a quoted string at s[pos] (which is '"'), leaving pos after the closing quote.
Problem readQuoted(std::u16string_view s, std::size_t& pos, std::u16string& out) {
  for (++pos; pos < s.size(); ++pos) {
    char16_t c = s[pos];
    if (c == u'"') {
      ++pos;
      return std::nullopt;
    }
    if (c == u'\\') {
      if (++pos == s.size()) break;
      if (s[pos] != u'\\' && s[pos] != u'"')
        return u"invalid escape sequence '\\" + std::u16string(1, s[pos]) + u"'";
    }
    out += s[pos];
  }
  return u"unterminated string";
}

// Reads "hex:..." or "hex(N):..." data (`rest` follows the word "hex").
Problem readHexValue(std::u16string_view rest, Value& v) {
  v.type = REG_BINARY;
  if (!rest.empty() && rest.front() == u'(') {
    std::size_t close = rest.find(u')');
    std::optional<std::uint32_t> type =
        close == std::u16string_view::npos ? std::nullopt : parseHex(rest.substr(1, close - 1), 8);
    if (!type) return u"invalid hex value type";
    v.type = *type;
    rest.remove_prefix(close + 1);
  }
  if (rest.empty() || rest.front() != u':') return u"expected ':' after the value type";
  rest.remove_prefix(1);
  if (trim(rest).empty()) return std::nullopt;
  for (std::size_t start = 0; start <= rest.size();) {
    std::size_t end = std::min(rest.find(u',', start), rest.size());
    std::u16string_view item = trim(rest.substr(start, end - start));
    std::optional<std::uint32_t> byte = parseHex(item, 2);
    if (!byte) return u"invalid hex byte '" + std::u16string(item) + u"'";
    v.data.push_back(static_cast<std::uint8_t>(*byte));
    start = end + 1;
  }
  return std::nullopt;
}

class Parser {
public:
  ParseOutcome run(std::u16string_view text);

private:
  Problem keyLine(std::u16string_view line);
  Problem valueLine(std::u16string_view line);
  Problem valueData(std::u16string_view data, Value& v);

  Store store_;
  std::optional<KeyPath> current_;
};

ParseOutcome Parser::run(std::u16string_view text) {
  std::vector<std::u16string_view> lines = splitLines(text);
  if (text.find_first_not_of(u" \t\r\n") == std::u16string_view::npos) return {};
  if (trim(lines[0]) != kHeader)
    return {{}, ParseError{1, u"the first line is not \"" + std::u16string(kHeader) + u"\""}};
  for (std::size_t i = 1; i < lines.size(); ++i) {
    std::size_t lineNumber = i + 1;
    std::u16string logical(trim(lines[i]));
    if (logical.empty() || logical.front() == u';') continue;
    Problem problem;
    if (logical.front() == u'[') {
      problem = keyLine(logical);
    } else {
      // Long data continues on the next line after a trailing backslash.
      while (!logical.empty() && logical.back() == u'\\' && i + 1 < lines.size()) {
        logical.pop_back();
        logical += trim(lines[++i]);
      }
      problem = valueLine(logical);
    }
    if (problem) return {{}, ParseError{lineNumber, std::move(*problem)}};
  }
  return {std::move(store_), std::nullopt};
}

Problem Parser::keyLine(std::u16string_view line) {
  if (line.back() != u']') return u"a key line must end with ']'";
  std::u16string_view inner = line.substr(1, line.size() - 2);
  bool deletion = !inner.empty() && inner.front() == u'-';
  if (deletion) inner.remove_prefix(1);
  KeyPath path;
  for (std::size_t start = 0; start <= inner.size();) {
    std::size_t end = std::min(inner.find(u'\\', start), inner.size());
    if (end == start) return u"empty key name in '" + std::u16string(inner) + u"'";
    path.emplace_back(inner.substr(start, end - start));
    start = end + 1;
  }
  auto root = std::find_if(std::begin(kRoots), std::end(kRoots),
                           [&](const RootName& r) { return foldCase(path[0]) == r.name; });
  if (root == std::end(kRoots)) return u"unknown root key '" + path[0] + u"'";
  path[0] = root->name;
  current_.reset();
  if (deletion) {
    store_.deleteTree(path);
  } else {
    store_.createKey(path);
    current_ = std::move(path);
  }
  return std::nullopt;
}

Problem Parser::valueLine(std::u16string_view line) {
  if (!current_) return u"value outside a key";
  Value v;
  std::size_t pos = 1;
  if (line.starts_with(u'"')) {
    pos = 0;
    if (Problem p = readQuoted(line, pos, v.name)) return p;
  } else if (!line.starts_with(u'@')) {
    return u"expected a quoted value name or '@'";
  }
  std::u16string_view rest = trim(line.substr(pos));
  if (rest.empty() || rest.front() != u'=') return u"expected '=' after the value name";
  std::u16string_view data = trim(rest.substr(1));
  if (data == u"-") {
    store_.deleteValue(*current_, v.name);
    return std::nullopt;
  }
  if (Problem p = valueData(data, v)) return p;
  store_.setValue(*current_, std::move(v));
  return std::nullopt;
}

Problem Parser::valueData(std::u16string_view data, Value& v) {
  if (!data.empty() && data.front() == u'"') {
    std::size_t pos = 0;
    std::u16string text;
    if (Problem p = readQuoted(data, pos, text)) return p;
    if (!withoutComment(data.substr(pos)).empty()) return u"unexpected text after the string";
    v.type = REG_SZ;
    v.data = stringData(text);
    return std::nullopt;
  }
  // Outside a string, a ';' starts a comment that runs to the end of the line.
  data = withoutComment(data);
  if (startsWithNoCase(data, u"dword:")) {
    std::optional<std::uint32_t> n = parseHex(data.substr(6), 8);
    if (!n) return u"invalid dword value";
    v.type = REG_DWORD;
    v.data = dwordData(*n);
    return std::nullopt;
  }
  if (startsWithNoCase(data, u"hex")) return readHexValue(data.substr(3), v);
  return u"unknown value type";
}

} // namespace

std::vector<std::uint8_t> stringData(std::u16string_view text) {
  std::string bytes = littleEndianFromUtf16(text);
  std::vector<std::uint8_t> data(bytes.begin(), bytes.end());
  data.insert(data.end(), {0, 0});
  return data;
}

std::vector<std::uint8_t> dwordData(std::uint32_t n) {
  return {std::uint8_t(n), std::uint8_t(n >> 8), std::uint8_t(n >> 16), std::uint8_t(n >> 24)};
}

std::optional<std::u16string> stringOf(const Value& value) {
  if (value.type != REG_SZ && value.type != REG_EXPAND_SZ) return std::nullopt;
  std::u16string text = textOfData(value.data);
  return text.substr(0, text.find(u'\0'));
}

std::optional<std::uint32_t> dwordOf(const Value& value) {
  if (value.type != REG_DWORD || value.data.size() != 4) return std::nullopt;
  const std::vector<std::uint8_t>& d = value.data;
  return d[0] | d[1] << 8 | d[2] << 16 | std::uint32_t(d[3]) << 24;
}

std::u16string_view rootName(Root root) {
  for (const RootName& r : kRoots)
    if (r.root == root) return r.name;
  return {};
}

KeyPath splitPath(std::u16string_view path) {
  KeyPath names;
  for (std::size_t start = 0; start <= path.size();) {
    std::size_t end = std::min(path.find(u'\\', start), path.size());
    if (end > start) names.emplace_back(path.substr(start, end - start));
    start = end + 1;
  }
  return names;
}

std::u16string joinPath(const KeyPath& path) {
  std::u16string joined;
  for (const std::u16string& name : path) {
    if (!joined.empty()) joined += u'\\';
    joined += name;
  }
  return joined;
}

std::u16string foldCase(std::u16string_view name) {
  std::u16string folded(name);
  for (char16_t& c : folded) c = toUpper(c);
  return folded;
}

KeyPath Store::fold(const KeyPath& key) {
  KeyPath folded;
  folded.reserve(key.size());
  for (const std::u16string& name : key) folded.push_back(foldCase(name));
  return folded;
}

Store::Key& Store::record(const KeyPath& key) {
  auto [it, inserted] = keys_.try_emplace(fold(key));
  if (inserted) it->second.names = key;
  return it->second;
}

bool Store::hasKey(const KeyPath& key) const {
  if (key.size() <= 1) return true;
  KeyPath folded = fold(key);
  auto it = keys_.lower_bound(folded);
  return it != keys_.end() && hasPrefix(it->first, folded);
}

std::vector<Value> Store::values(const KeyPath& key) const {
  auto it = keys_.find(fold(key));
  return it == keys_.end() ? std::vector<Value>() : it->second.values;
}

std::optional<Value> Store::value(const KeyPath& key, std::u16string_view name) const {
  auto it = keys_.find(fold(key));
  if (it == keys_.end()) return std::nullopt;
  std::u16string folded = foldCase(name);
  for (const Value& v : it->second.values)
    if (foldCase(v.name) == folded) return v;
  return std::nullopt;
}

std::vector<std::u16string> Store::subkeys(const KeyPath& key) const {
  KeyPath folded = fold(key);
  std::vector<std::u16string> names;
  const std::u16string* previous = nullptr;
  // Keys below `key` follow it in the map, grouped by their next name.
  for (auto it = keys_.lower_bound(folded); it != keys_.end() && hasPrefix(it->first, folded);
       ++it) {
    if (it->first.size() == folded.size()) continue;
    const std::u16string& child = it->first[folded.size()];
    if (previous && *previous == child) continue;
    previous = &child;
    names.push_back(it->second.names[folded.size()]);
  }
  return names;
}

void Store::createKey(const KeyPath& key) { record(key); }

void Store::setValue(const KeyPath& key, Value value) {
  std::vector<Value>& values = record(key).values;
  std::u16string folded = foldCase(value.name);
  auto it = std::find_if(values.begin(), values.end(),
                         [&](const Value& v) { return foldCase(v.name) == folded; });
  if (it == values.end()) {
    values.push_back(std::move(value));
  } else {
    it->type = value.type;
    it->data = std::move(value.data);
  }
}

void Store::deleteValue(const KeyPath& key, std::u16string_view name) {
  auto it = keys_.find(fold(key));
  if (it == keys_.end()) return;
  std::u16string folded = foldCase(name);
  std::erase_if(it->second.values, [&](const Value& v) { return foldCase(v.name) == folded; });
}

void Store::deleteTree(const KeyPath& key) {
  KeyPath folded = fold(key);
  auto it = keys_.lower_bound(folded);
  while (it != keys_.end() && hasPrefix(it->first, folded)) it = keys_.erase(it);
}

void Store::addMissing(const Store& other) {
  for (const auto& [folded, key] : other.keys_) {
    Key& mine = record(key.names);
    for (const Value& v : key.values) {
      std::u16string name = foldCase(v.name);
      if (std::none_of(mine.values.begin(), mine.values.end(),
                       [&](const Value& m) { return foldCase(m.name) == name; }))
        mine.values.push_back(v);
    }
  }
}

std::u16string Store::text() const {
  std::u16string out(kHeader);
  out += u'\n';
  for (const auto& [folded, key] : keys_) {
    out += u"\n[" + joinPath(key.names) + u"]\n";
    for (const Value& v : key.values) appendValue(out, v);
  }
  return out;
}

ParseOutcome parseStore(std::string_view bytes) { return Parser().run(decode(bytes)); }

} // namespace os::registry
