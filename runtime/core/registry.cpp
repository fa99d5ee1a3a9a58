#include "runtime/core/registry.h"

#include <cstdlib>

#include "os/registry.h"
#include "os/text.h"
#include "runtime/core/exception.h"

namespace registry {
namespace {

using os::registry::Value;
using ValueResult = os::Result<Value>;

// Longest subkey name the enumeration buffer holds.
constexpr std::size_t kMaxKeyName = 255;

// Throws the failure of a store operation: a malformed store as a vexception with the store's
// own text, anything else as the OS error of the code with `where`.
[[noreturn]] void raise(const os::Failure& failure, const std::u16string& where,
                        ExceptionContext context) {
  if (failure.code == os::err::badConfiguration) throw vexception(failure.detail, std::move(context));
  throwOSError(where, failure.code, std::move(context));
}

std::u16string operator+(std::u16string_view a, std::u16string_view b) {
  std::u16string joined(a);
  return joined.append(b);
}

// %NAME% replaced by the environment variable NAME where it is set, as the system expands a
// REG_EXPAND_SZ value when it is read.
std::u16string expandEnvironment(std::u16string_view text) {
  std::u16string out;
  for (std::size_t i = 0; i < text.size();) {
    std::size_t close = text[i] == u'%' ? text.find(u'%', i + 1) : text.npos;
    const char* value =
        close == text.npos
            ? nullptr
            : std::getenv(os::utf8FromUtf16(text.substr(i + 1, close - i - 1)).c_str());
    if (!value) {
      out += text[i++];
      continue;
    }
    out += os::utf16FromUtf8(value);
    i = close + 1;
  }
  return out;
}

// The text of a string value up to its first NUL, expanded for REG_EXPAND_SZ; nothing for a
// value of another type.
std::optional<std::u16string> textOf(const Value& v) {
  std::optional<std::u16string> text = os::registry::stringOf(v);
  if (text && v.type == REG_EXPAND_SZ) return expandEnvironment(*text);
  return text;
}

ValueResult query(const Key& key, std::u16string_view name) {
  if (key.empty()) return ValueResult::failure(os::err::invalidHandle);
  return os::registry::queryValue(key.handle(), name);
}

// Opens the subkey for querying in the view and reads the value. A malformed store throws;
// every other failure is the status of the result.
ValueResult lookupValue(Root root, std::u16string_view subKey, std::u16string_view valueName,
                        unsigned view) {
  os::Result<os::registry::KeyHandle> key =
      os::registry::openKey(root, subKey, KEY_QUERY_VALUE | viewFlag(view));
  ValueResult value = key.ok() ? os::registry::queryValue(key.value(), valueName)
                               : ValueResult(key.error());
  if (value.code() == os::err::badConfiguration)
    raise(value.error(), {}, VCONTEXT("registry::lookup"));
  return value;
}

std::u16string quotedName(std::u16string_view subKey, std::u16string_view valueName) {
  return u"'" + subKey + u"\\" + valueName + u"'";
}

void setValue(Key& key, std::u16string_view valueName, std::uint32_t type,
              std::vector<std::uint8_t> data) {
  os::Result<bool> set =
      key.empty() ? os::Result<bool>::failure(os::err::invalidHandle)
                  : os::registry::setValue(key.handle(), {std::u16string(valueName), type, std::move(data)});
  if (!set.ok()) raise(set.error(), u"RegSetValueEx valueName=" + valueName, VCONTEXT("registry::set"));
}

} // namespace

std::uint32_t viewFlag(unsigned view) {
  if (view == VIEW_32) return KEY_WOW64_32KEY;
  if (view == 2 || view == 3) return KEY_WOW64_64KEY;
  return 0;
}

Key::Key() = default;
Key::Key(Root root, std::u16string_view subKey, std::uint32_t access, bool openOnly) {
  if (openOnly) open(*this, root, subKey, access);
  else create(*this, root, subKey, access);
}
Key::Key(Key&&) noexcept = default;
Key& Key::operator=(Key&&) noexcept = default;
Key::~Key() = default;

const os::registry::KeyHandle& Key::handle() const { return *handle_; }

void create(Key& key, Root root, std::u16string_view subKey, std::uint32_t access) {
  os::Result<os::registry::KeyHandle> r = os::registry::createKey(root, subKey, access);
  if (!r.ok()) raise(r.error(), u"RegCreateKeyEx subKey=" + subKey, VCONTEXT("registry::create"));
  key.handle_ = std::make_unique<os::registry::KeyHandle>(std::move(r.value()));
}

void open(Key& key, Root root, std::u16string_view subKey, std::uint32_t access) {
  os::Result<os::registry::KeyHandle> r = os::registry::openKey(root, subKey, access);
  if (!r.ok()) raise(r.error(), u"RegOpenKeyEx subKey=" + subKey, VCONTEXT("registry::open"));
  key.handle_ = std::make_unique<os::registry::KeyHandle>(std::move(r.value()));
}

std::uint32_t get(const Key& key, std::u16string_view valueName) {
  ValueResult r = query(key, valueName);
  if (!r.ok())
    raise(r.error(), u"RegQueryValueEx valueName=" + valueName, VCONTEXT("registry::get"));
  if (r.value().type != REG_DWORD)
    throw vexception(u"Type mismatch valueName=" + valueName, VCONTEXT("registry::get"));
  std::optional<std::uint32_t> number = os::registry::dwordOf(r.value());
  if (!number) throw vexception(u"size mismatch valueName=" + valueName, VCONTEXT("registry::get"));
  return *number;
}

std::uint32_t get(const Key& key, std::u16string_view valueName, std::uint32_t defaultValue) {
  try {
    return get(key, valueName);
  } catch (const vexception&) {
    return defaultValue;
  }
}

std::u16string getString(const Key& key, std::u16string_view valueName) {
  ValueResult r = query(key, valueName);
  if (!r.ok()) raise(r.error(), u"RegGetValue valueName=" + valueName, VCONTEXT("registry::get"));
  std::optional<std::u16string> text = textOf(r.value());
  if (!text) throw vexception(u"Type mismatch valueName=" + valueName, VCONTEXT("registry::get"));
  return std::move(*text);
}

std::uint32_t lookup(Root root, std::u16string_view subKey, std::u16string_view valueName,
                     std::uint32_t& out, unsigned view) {
  ValueResult r = lookupValue(root, subKey, valueName, view);
  if (!r.ok()) return r.code();
  if (r.value().type != REG_DWORD)
    throw vexception(u"RegQueryValueEx invalid type of " + quotedName(subKey, valueName),
                     VCONTEXT("registry::lookup"));
  std::optional<std::uint32_t> number = os::registry::dwordOf(r.value());
  if (!number)
    throw vexception(u"RegQueryValueEx invalid size of " + quotedName(subKey, valueName),
                     VCONTEXT("registry::lookup"));
  out = *number;
  return os::err::success;
}

std::uint32_t lookup(Root root, std::u16string_view subKey, std::u16string_view valueName,
                     std::u16string& out, unsigned view) {
  ValueResult r = lookupValue(root, subKey, valueName, view);
  if (!r.ok()) return r.code();
  std::optional<std::u16string> text = textOf(r.value());
  if (!text)
    throw vexception(u"RegGetValue invalid type of " + quotedName(subKey, valueName),
                     VCONTEXT("registry::lookup"));
  out = std::move(*text);
  return os::err::success;
}

std::u16string getstr(Root root, std::u16string_view subKey, std::u16string_view valueName,
                      unsigned view) {
  std::u16string value;
  if (std::uint32_t status = lookup(root, subKey, valueName, value, view))
    throwOSError(u"lookup subKey=" + subKey + u" value=" + valueName, status,
                 VCONTEXT("registry::getstr"));
  return value;
}

bool exists(Root root, std::u16string_view subKey, unsigned view) {
  os::Result<os::registry::KeyHandle> r =
      os::registry::openKey(root, subKey, READ_CONTROL | viewFlag(view));
  if (r.code() == os::err::badConfiguration) raise(r.error(), {}, VCONTEXT("registry::open"));
  return r.ok();
}

std::uint32_t subkeyNames(const Key& key, std::vector<std::u16string>& names) {
  for (std::uint32_t index = 0;; ++index) {
    if (key.empty()) return os::err::invalidHandle;
    os::Result<std::u16string> r = os::registry::enumSubkey(key.handle(), index);
    if (!r.ok()) return r.code();
    if (r.value().size() > kMaxKeyName) return os::err::moreData;
    names.push_back(std::move(r.value()));
  }
}

void set(Key& key, std::u16string_view valueName, std::u16string_view value) {
  setValue(key, valueName, REG_SZ, os::registry::stringData(value));
}

void set(Key& key, std::u16string_view valueName, std::uint32_t value) {
  setValue(key, valueName, REG_DWORD, os::registry::dwordData(value));
}

std::uint32_t productDword(std::u16string_view valueName, std::uint32_t defaultValue) {
  std::uint32_t value = defaultValue;
  // A missing key or value leaves the default in place.
  lookup(HKEY_LOCAL_MACHINE, PRODUCT_CONFIG_KEY, valueName, value, VIEW_32);
  return value;
}

} // namespace registry
